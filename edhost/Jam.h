#pragma once
// One JAM message base (rev. 1): the four files BASE.jhr, .jdt, .jdx and .jlr, read and written
// the way other FidoNet tools expect, so they can share an area with edhost.
//
// Every field is packed explicitly as little-endian 32-bit values: tools that map the records
// onto C structs with `long` fields are exactly the ones that break on 64-bit machines.
// Writers hold the write lock on byte 0 of the .jhr file (an open-file-description record lock,
// which other tools' POSIX record locks see); readers hold the read lock on the same byte.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace pb::jam {

class JamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The JAM CRC-32: polynomial 0xEDB88320, seed 0xFFFFFFFF, no final inversion, A-Z folded to
// a-z before hashing (bytes above 0x7F are left alone).
std::uint32_t crc(std::string_view data);
// The table of the reflected CRC-32 polynomial 0xEDB88320, shared by every checksum of the base.
const std::array<std::uint32_t, 256>& crc32Table();

namespace attr {
constexpr std::uint32_t Local = 0x1, InTransit = 0x2, Private = 0x4, Read = 0x8, Sent = 0x10,
                        KillSent = 0x20, Hold = 0x80, Crash = 0x100, FileRequest = 0x1000,
                        FileAttach = 0x2000, TypeLocal = 0x800000, TypeEcho = 0x1000000,
                        TypeNet = 0x2000000, Locked = 0x40000000, Deleted = 0x80000000;
}

namespace sub {
constexpr std::uint16_t OAddress = 0, DAddress = 1, SenderName = 2, ReceiverName = 3, MsgId = 4,
                        ReplyId = 5, Subject = 6, Pid = 7, Trace = 8, FtsKludge = 2000,
                        SeenBy2D = 2001, Path2D = 2002, Flags = 2003, TzUtcInfo = 2004;
}

struct Subfield {
    std::uint16_t LoID = 0;
    std::uint16_t HiID = 0;
    std::string Data;
};

// The four files of a base: its path with these extensions.
constexpr std::array<const char*, 4> kFileExtensions = {".jhr", ".jdt", ".jdx", ".jlr"};

constexpr std::size_t kInfoSize = 1024;      // the .jhr header-info block
constexpr std::size_t kFixedHeader = 76;     // a message header before its subfields
constexpr std::uint32_t kNone = 0xFFFFFFFF;  // no CRC, no password, empty index slot

struct BaseInfo {
    std::uint32_t DateCreated = 0;
    std::uint32_t ModCounter = 0;
    std::uint32_t ActiveMsgs = 0;
    std::uint32_t PasswordCRC = kNone;
    std::uint32_t BaseMsgNum = 1;
};

struct MsgHeader {
    std::uint16_t Revision = 1;
    std::uint32_t TimesRead = 0;
    std::uint32_t MSGIDcrc = kNone;
    std::uint32_t REPLYcrc = kNone;
    std::uint32_t ReplyTo = 0;
    std::uint32_t Reply1st = 0;
    std::uint32_t ReplyNext = 0;
    std::uint32_t DateWritten = 0;    // local wall-clock seconds
    std::uint32_t DateReceived = 0;
    std::uint32_t DateProcessed = 0;
    std::uint32_t MessageNumber = 0;
    std::uint32_t Attribute = 0;
    std::uint32_t Attribute2 = 0;
    std::uint32_t TxtOffset = 0;
    std::uint32_t TxtLen = 0;
    std::uint32_t PasswordCRC = kNone;
    std::uint32_t Cost = 0;
    std::vector<Subfield> Subfields;

    // The first subfield of that id, if any.
    const std::string* find(std::uint16_t loId) const;
};

std::string encodeInfo(const BaseInfo& info);
// Throws JamError unless data begins with a header-info block.
BaseInfo decodeInfo(std::string_view data);
// The fixed part and the subfields, SubfieldLen counted from them.
std::string encodeHeader(const MsgHeader& h);
// Decodes the header at the start of data; nullopt when the signature is wrong, the fixed part
// is cut off, or SubfieldLen or a subfield's DatLen runs past the data. *size gets the bytes
// the header takes.
std::optional<MsgHeader> decodeHeader(std::string_view data, std::size_t* size = nullptr);

// A message as a reader sees it: its index slot and where its header lies.
struct Message {
    std::uint32_t Slot = 0;         // index record number; MessageNumber = Slot + BaseMsgNum
    std::uint32_t HdrOffset = 0;
    std::uint32_t HdrSize = 0;
    MsgHeader Header;
    std::string Text;               // the .jdt bytes, lines ended by CR
};

// An open JAM base. Not copyable; the files stay open while it lives.
class Area {
public:
    // Opens the base at path (without extension); throws JamError when one of the four files
    // is missing or the .jhr is not a JAM base.
    explicit Area(std::string path);
    ~Area();
    Area(const Area&) = delete;
    Area& operator=(const Area&) = delete;

    // Makes the four files of an empty base. Throws JamError when any of them exists already:
    // creating over a base would wipe it.
    static void create(const std::string& path);
    static bool exists(const std::string& path);

    const std::string& path() const { return path_; }
    // ModCounter as it is on disk now (read without the lock; a cheap check for changes).
    std::uint32_t modCounter() const;

    // Every live message in index order (empty slots, deleted headers and damaged ones
    // skipped), read under the read lock. problems counts the damaged ones.
    std::vector<Message> readAll(BaseInfo& info, std::size_t* problems = nullptr) const;
    // The same, handed to `each` one at a time, so that a large base is never held whole.
    void forEach(BaseInfo& info, std::size_t* problems, const std::function<void(Message&)>& each) const;
    // The message in index slot `slot` as it is on disk now (its header where the index points
    // today, should another tool have moved it), read under the read lock; nullopt when the
    // slot is empty, or its header damaged or deleted.
    std::optional<Message> read(std::uint32_t slot) const;

    // Appends a message (text with CR line ends) in the order other tools rely on: text,
    // header, index record, then the header-info block with ActiveMsgs and ModCounter raised.
    // Fills in MessageNumber, TxtOffset, TxtLen; returns the new message. *modBefore gets the
    // ModCounter found under the lock (so the caller knows whether others wrote meanwhile).
    Message append(MsgHeader h, std::string text, std::uint32_t* modBefore = nullptr);

    // Changes the header of a stored message: under the write lock, reads the header as it
    // is on disk now, lets change() alter it, and writes it back: in place when its size is
    // unchanged, else as a new copy at the end of the .jhr that the index then points to, the
    // old copy marked deleted with no text. Raises ModCounter. Throws JamError when the
    // message moved or vanished since m was read (the caller reads again).
    void update(Message& m, const std::function<void(MsgHeader&)>& change,
                std::uint32_t* modBefore = nullptr);

    // Holds the lock on byte 0 of the .jhr while it lives: writers take the write lock,
    // readers the read lock. Waits up to timeoutMs, then throws JamError.
    class Lock {
    public:
        Lock(int fd, bool write, int timeoutMs = 10000);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        int fd_;
    };
    int headerFd() const { return jhr_; }

    // Puts what was written so far on disk (text, headers, index); throws JamError when the
    // disk refuses.
    void sync();

private:
    void closeAll();
    void startWriteback(off_t textAt, off_t textEnd);
    std::string path_;
    int jhr_ = -1, jdt_ = -1, jdx_ = -1, jlr_ = -1;
    // Texts appended from here on have not been handed to the disk yet (-1: nothing appended).
    off_t writebackFrom_ = -1;
};

// Little-endian access, for the tests as well.
void putU32(std::string& out, std::uint32_t v);
std::uint32_t getU32(std::string_view in, std::size_t at);

} // namespace pb::jam
