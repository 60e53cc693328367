#pragma once
// What the plug-in and the host share about their channel: the message numbers, the status
// codes, the block name prefixes, the records that travel in shared blocks, and the two small
// handle classes THandledObject and TSharedMem. Both `postbridge` and `edhost` build on it.
//
// Records are byte layouts (little-endian integers, short strings of one length byte and N
// bytes, texts in Windows-1252), declared packed so that their size is the size on the wire.
#include "host/Fidoaddr.h"
#include "platform/RecordLimit.h"
#include "platform/SharedMemory.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace pb {

// ---- Message numbers ------------------------------------------------------------------------
namespace edapi {
constexpr std::uint32_t Attach = 1025;         // main -> host window (sent): attach
constexpr std::uint32_t Release = 1026;        // main -> host: last result block read
constexpr std::uint32_t Reply = 1027;          // both ways: reply to a posted command
constexpr std::uint32_t Detach = 1029;         // plug-in leaves / host ends the connection
constexpr std::uint32_t DescriptionReq = 1030; // host -> worker: send the description
constexpr std::uint32_t Version = 1031;        // main -> host: interface version query
constexpr std::uint32_t AreaList = 1032;
constexpr std::uint32_t OpenArea = 1033;
constexpr std::uint32_t CloseArea = 1034;
constexpr std::uint32_t MsgList = 1035;
constexpr std::uint32_t GetMsg = 1036;
constexpr std::uint32_t RegisterService = 1037;
constexpr std::uint32_t StoreNewMsg = 1039;
constexpr std::uint32_t StopWorker = 1040;     // main -> worker (internal)
constexpr std::uint32_t GetMsgFlags = 1041;
constexpr std::uint32_t SetMsgFlags = 1042;
constexpr std::uint32_t CreateArea = 1043;
constexpr std::uint32_t Forward = 1048;        // worker -> main (internal)
constexpr std::uint32_t FirstMessage = 1025;   // the range the worker takes
constexpr std::uint32_t LastMessage = 3072;

// Host status codes: negative reply values.
constexpr std::int32_t status(std::uint32_t code) { return static_cast<std::int32_t>(code); }
constexpr std::int32_t ParamFailed = status(0x80001001);    // cannot take over the parameters
constexpr std::int32_t NoAreaOpen = status(0x80001002);
constexpr std::int32_t WrongFormat = status(0x80001003);
constexpr std::int32_t BadIndex = status(0x80002001);
constexpr std::int32_t AreaOpenFailed = status(0x80003001);
constexpr std::int32_t AreaUnknown = status(0x80003002);
constexpr std::int32_t AreaInUse = status(0x80003003);
constexpr std::int32_t AreaExists = status(0x80003004);
constexpr std::int32_t UplinkUnknown = status(0x80005002);

constexpr std::string_view HostWindowClass = "TEDMainWindow";

// Block name prefixes; the full name appends a thread id as 8 upper-case hex digits.
constexpr std::string_view BlkAreaList = "EDAreaList";
constexpr std::string_view BlkOpenArea = "EDOpenArea";
constexpr std::string_view BlkMsgList = "EDMsgList";
constexpr std::string_view BlkMsg = "EDMsg";
constexpr std::string_view BlkRegisterService = "EDRegisterService";
constexpr std::string_view BlkStoreNew = "EDStoreNew";
constexpr std::string_view BlkCreateArea = "EDCreateArea";
constexpr std::string_view BlkPluginInfo = "EDPluginInfo";

// prefix + tid as "000001A4".
std::string blockName(std::string_view prefix, std::uint32_t tid);
} // namespace edapi

// ---- Short strings --------------------------------------------------------------------------
#pragma pack(push, 1)

// string[N]: a length byte and N bytes of text; bytes after the text mean nothing.
template <std::size_t N>
struct ShortString {
    std::uint8_t Len = 0;
    char Chars[N] = {};

    // The text; a length byte above N is read as N, so a bad record cannot lead past the field.
    std::string str() const { return std::string(Chars, Len > N ? N : Len); }
    // Stores text, cut to N bytes.
    void assign(std::string_view text) {
        std::size_t n = text.size() > N ? N : text.size();
        Len = static_cast<std::uint8_t>(n);
        std::memcpy(Chars, text.data(), n);
    }
};

// The plug-in description (784 bytes).
struct TPluginInfo {
    ShortString<255> PIName;
    ShortString<255> PICopyright;
    ShortString<255> PIDescription;
    std::int32_t PIVersion = 0;
    std::int32_t PIRevision = 0;
    std::int32_t PIAPIRequiered = 0;
    std::int32_t PIAPISupported = 0;
};
static_assert(sizeof(TPluginInfo) == 784);

// The header of a host message record for StoreNewMsg (238 bytes); the text and its NUL
// follow it, and Size counts the whole record.
struct TNewMsgHeader {
    ShortString<35> ToUserName;
    ShortString<35> FromUserName;
    ShortString<71> Subject;
    ShortString<71> AuxText;
    TFidoAddr Addr1;
    TFidoAddr Addr2;
    std::uint16_t Flags = 0;
    std::int32_t Size = 0;
};
static_assert(sizeof(TNewMsgHeader) == 238);

// Parameters of CreateArea (513 bytes).
struct TCreateAreaParams {
    ShortString<255> Name;
    ShortString<255> AreaType;
    std::uint8_t AreaCode = 0;
};
static_assert(sizeof(TCreateAreaParams) == 513);

// Parameters of RegisterService (528 bytes).
struct TServiceInfo {
    std::int32_t Kind = 0;
    ShortString<255> Text1;
    ShortString<255> Text2;
    std::int32_t Command = 0;
    std::int32_t WorkerThread = 0;
    std::uint8_t Unused[4] = {};
};
static_assert(sizeof(TServiceInfo) == 528);

// The first 34 bytes of a message block as edhost builds them. The plug-in does not read them;
// they are declared here so host and tools agree.
struct HostMsgBlockHeader {
    std::int32_t Number = 0;
    std::uint16_t Flags = 0;
    TFidoAddr Addr1;
    TFidoAddr Addr2;
    std::int64_t Written = 0;        // seconds since 1970, UTC
    std::int32_t TextLength = 0;     // bytes of the text without its NUL
};
static_assert(sizeof(HostMsgBlockHeader) == 34);

// One 256-byte message list entry as edhost builds it (the plug-in stores entries unread).
struct HostMsgListEntry {
    std::int32_t Number = 0;
    std::uint16_t Flags = 0;
    std::uint16_t Reserved = 0;
    std::int64_t Written = 0;
    std::int32_t Size = 0;
    ShortString<35> FromUserName;
    ShortString<35> ToUserName;
    ShortString<71> Subject;
    std::uint8_t Unused[256 - 20 - 36 - 36 - 72] = {};
};
static_assert(sizeof(HostMsgListEntry) == 256);

#pragma pack(pop)

// ---- Handles --------------------------------------------------------------------------------

// An object that owns one handle (0 when none) and closes it when destroyed.
class THandledObject {
public:
    virtual ~THandledObject() = default;
    // Non-zero while the object holds a handle.
    virtual std::uintptr_t Handle() const = 0;
};

// One named shared block. Creating it makes the block or maps an existing one; Created says
// which. Data is null when the block could not be mapped, or when an existing block is smaller
// than Size (so a reader never runs past it).
class TSharedMem : public THandledObject {
public:
    TSharedMem(const std::string& Name, std::size_t Size) : map_(Name, Size) {}
    std::uintptr_t Handle() const override { return map_.valid() ? 1 : 0; }
    const std::string& Name() const { return map_.Name(); }
    std::size_t Size() const { return map_.Size(); }
    bool Created() const { return map_.Created(); }
    void* Data() const { return map_.Data(); }
    std::uint8_t* Bytes() const { return static_cast<std::uint8_t*>(map_.Data()); }

    // A result block made by the other side: it existed and it could be mapped in full.
    bool acceptableResult() const { return !Created() && Data() != nullptr; }
    // A parameter block of our own: newly made and mapped.
    bool acceptableParameter() const { return Created() && Data() != nullptr; }
    // For a block of our own kept between commands (see SharedMapping).
    bool stillNamed() const { return map_.stillNamed(); }
    void forgetName() { map_.forgetName(); }

private:
    SharedMapping map_;
};

} // namespace pb
