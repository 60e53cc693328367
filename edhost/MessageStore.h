#pragma once
// edhost's message base, seen through a small interface so that the storage can change
// without touching the host channel or the command line.
//
// A base holds areas (name, type, code) and, per area, messages numbered 1, 2, ... in the order
// they were stored. A message keeps the record exactly as the plug-in sent it (the 238-byte
// header, the text and its NUL), the current flag word (which starts as the record's own) and
// the time it was written. Area names are compared without regard to letter case.
#include "host/EDAPICommon.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pb::edhost {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct AreaInfo {
    std::string Name;   // Windows-1252, 1..255 bytes
    std::string Type;
    std::uint8_t Code = 0;
};

struct StoredMessage {
    std::uint32_t Number = 0;
    std::uint16_t Flags = 0;
    std::int64_t Written = 0;   // seconds since 1970, UTC
    std::string Record;         // at least 239 bytes, checked when stored

    const TNewMsgHeader& Header() const {
        return *reinterpret_cast<const TNewMsgHeader*>(Record.data());
    }
    // The text without its NUL.
    std::string Text() const {
        std::string t = Record.substr(sizeof(TNewMsgHeader));
        auto nul = t.find('\0');
        return nul == std::string::npos ? t : t.substr(0, nul);
    }
};

// What the host keeps of a message while the base is open: what a list of the area shows. The
// text stays on disk, so that a base costs memory by its number of messages, not their size.
struct MessageInfo {
    std::uint16_t Flags = 0;
    std::int64_t Written = 0;
    TNewMsgHeader Header;   // the record's header, Size the record's size
};

class MessageStore {
public:
    virtual ~MessageStore() = default;
    virtual std::vector<AreaInfo> areas() const = 0;
    virtual std::optional<std::size_t> findArea(std::string_view name) const = 0;
    // Throws StoreError when the name exists or the base cannot be written.
    virtual std::size_t createArea(const AreaInfo& area) = 0;
    virtual std::uint32_t messageCount(std::size_t area) const = 0;
    // Number 1..messageCount; nullptr otherwise.
    virtual const MessageInfo* info(std::size_t area, std::uint32_t number) const = 0;
    // The message with its record, read from disk; nullopt for a number out of range, or a
    // message the disk cannot give back.
    virtual std::optional<StoredMessage> message(std::size_t area, std::uint32_t number) const = 0;
    // Stores a checked record (see validRecord); returns its number. Throws StoreError.
    virtual std::uint32_t addMessage(std::size_t area, std::string record) = 0;
    virtual void setFlags(std::size_t area, std::uint32_t number, std::uint16_t flags) = 0;
    // Puts what was written to the area on disk, so that it survives a crash or a power cut.
    // A plug-in may take the answer to its close as the sign that its mails are safe (and
    // have them deleted on the server then). Throws StoreError.
    virtual void makeDurable(std::size_t area) = 0;
};

// Why a record from the plug-in cannot be stored ("" when it can): its Size field must equal the
// block size, it must hold at least the header and the NUL, the NUL must end it, and no short
// string may claim more than its field.
std::string recordProblem(std::string_view record);

bool sameAreaName(std::string_view a, std::string_view b);

} // namespace pb::edhost
