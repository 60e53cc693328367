#pragma once
// edhost's message base with every area kept as a JAM message base, so that FidoNet tools
// (newsreader gateways, tossers, editors) read and write the same mail. The mapping between the
// plug-in's records and JAM is described in JAM.md.
#include "Jam.h"
#include "MessageStore.h"

namespace pb::edhost {

// A folder holding a base of the older single-file form (areas.dat without areas.lst).
class OldBaseError : public StoreError {
public:
    using StoreError::StoreError;
};

// The base's lock is held by another process: a serving host, or a command that looks into the
// base for a moment.
class BaseInUseError : public StoreError {
public:
    using StoreError::StoreError;
};

// Opens the base in dir: a base with the JAM area list, or a new one (areas "NETMAIL" and
// "REPORT" as JAM bases) when dir holds none. Throws OldBaseError for a base of the older
// single-file form, BaseInUseError when another edhost holds the base.
std::unique_ptr<MessageStore> openStore(const std::string& dir);

// The mapping of one message, exposed for tests.
namespace jammap {

// The private subfield that keeps what JAM cannot hold: the flag word and the attributes it
// was written with, and the plug-in's record header (and, only when the record cannot be
// rebuilt from JAM byte for byte, the rest of the record).
constexpr std::uint16_t kEdhostSubfield = 0x4544;

struct JamForm {
    jam::MsgHeader Header;
    std::string Text;   // lines ended by CR
};

// A checked record as a JAM message written at nowUtc by a host whose zone is utcOffset
// seconds east of UTC.
JamForm toJam(std::string_view record, std::int64_t nowUtc, int utcOffset);
// The message as the plug-in sees it, from what a JAM base holds (whoever wrote it). madeFrom,
// when given, is the checked record toJam made h and text from; it is taken over as the record.
StoredMessage fromJam(const jam::MsgHeader& h, std::string_view text, std::uint32_t number,
                      std::string* madeFrom = nullptr);
// The flag word the plug-in reads for a message.
std::uint16_t flagsOf(const jam::MsgHeader& h);
// The attributes after the plug-in set the flag word.
std::uint32_t attributesFor(std::uint16_t flags, std::uint32_t old, bool isNew);
// The flag word a message without a valid record of its own reads as.
std::uint16_t flagsFromAttributes(std::uint32_t attributes);
// Sets the flag word of a JAM message header (attributes and the private subfield).
void setFlags(jam::MsgHeader& h, std::uint16_t flags);

} // namespace jammap

} // namespace pb::edhost
