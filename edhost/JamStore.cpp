// The JAM store: an area list of edhost's own (name, type, code, JAM base), rewritten aside and
// renamed into place, and one JAM base per area. The mapping of records is in JAM.md.
#include "JamStore.h"
#include "MailDate.h"

#include "platform/PrivateFiles.h"
#include "platform/Session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pb::edhost {
namespace jammap {
namespace {

constexpr std::uint16_t kIncoming = 0x2014;   // Internet mail brought in
constexpr std::uint16_t kUnsent = 0x0840;     // written here, waiting to be sent
constexpr std::uint16_t kSent = 0x0080;
// The attribute bits the private subfield's flag word is valid for: when another tool changes
// them (a tosser sending the message, say), the attributes tell the truth, not the old word.
constexpr std::uint32_t kFlagBits = jam::attr::Local | jam::attr::Sent;

// The private subfield: kind, flag word, attributes written, options, then the record header
// and, when needed, the rest of the record.
constexpr std::uint8_t kKindRecord = 1;
constexpr std::uint8_t kKindFlagsOnly = 2;
constexpr std::uint8_t kChrsAdded = 1;
constexpr std::size_t kPrivateHead = 8;

// JAM limits for subfields that have them.
constexpr std::size_t kLimitName = 100, kLimitPid = 40, kLimitKludge = 255;

std::string fidoAddress(const TFidoAddr& a) {
    char buf[32];
    const int n = a.point ? std::snprintf(buf, sizeof buf, "%u:%u/%u.%u", a.zone, a.net, a.node, a.point)
                          : std::snprintf(buf, sizeof buf, "%u:%u/%u", a.zone, a.net, a.node);
    return std::string(buf, static_cast<std::size_t>(n));
}

// Z:N/F[.P][@domain]; what does not parse stays 0.
TFidoAddr parseAddress(std::string_view s) {
    TFidoAddr a;
    std::uint16_t* parts[] = {&a.zone, &a.net, &a.node, &a.point};
    const char seps[] = {':', '/', '.', '@'};
    std::size_t i = 0;
    for (int k = 0; k < 4; ++k) {
        unsigned long v = 0;
        std::size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && v <= 0xFFFF)
            v = v * 10 + static_cast<unsigned long>(s[i++] - '0');
        if (i == start || v > 0xFFFF)
            return a;
        *parts[k] = static_cast<std::uint16_t>(v);
        if (i >= s.size() || s[i] != seps[k])
            return a;
        ++i;
    }
    return a;
}

std::string trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return std::string(s);
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// p in lower case.
bool startsWithAnyCase(std::string_view s, std::string_view p) {
    return s.size() >= p.size() && std::equal(p.begin(), p.end(), s.begin(), [](char a, char b) {
               return a == static_cast<char>(std::tolower(static_cast<unsigned char>(b)));
           });
}

// Kludges that have subfields of their own, by the text that starts them.
struct KludgeKind {
    std::string_view prefix;
    std::uint16_t id;
    std::size_t limit;
};
constexpr KludgeKind kKinds[] = {
    {"MSGID: ", jam::sub::MsgId, kLimitName}, {"REPLY: ", jam::sub::ReplyId, kLimitName},
    {"PID: ", jam::sub::Pid, kLimitPid},      {"Via ", jam::sub::Trace, kLimitKludge},
    {"FLAGS ", jam::sub::Flags, kLimitKludge}, {"PATH: ", jam::sub::Path2D, kLimitKludge},
};

// What the charset of a text hinges on: whether it is well-formed UTF-8 with a multi-byte
// character, and whether a byte lies in 0x80-0x9F. Plain ASCII, most of any text, is passed
// over eight bytes at a time.
struct CharsetClues {
    bool valid = true, multi = false, c1 = false;

    void scan(std::string_view s) {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        const std::size_t n = s.size();
        for (std::size_t i = 0; i < n;) {
            if (std::uint64_t w; i + 8 <= n && (std::memcpy(&w, p + i, 8), (w & 0x8080808080808080ull) == 0)) {
                i += 8;
                continue;
            }
            const unsigned c = p[i];
            if (c < 0x80) {
                ++i;
                continue;
            }
            c1 = c1 || c <= 0x9F;
            const std::size_t len = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
            bool whole = len != 0 && i + len <= n;
            for (std::size_t k = 1; whole && k < len; ++k)
                whole = (p[i + k] & 0xC0) == 0x80;
            if (!whole) {   // not UTF-8; the bytes after this one are still looked at for c1
                valid = false;
                ++i;
                continue;
            }
            for (std::size_t k = 1; k < len; ++k)
                c1 = c1 || p[i + k] <= 0x9F;
            multi = true;
            i += len;
        }
    }
};

// The CHRS kludge of a text, judged by what a reader shows of it: its visible lines, names and
// subject (the kludge lines keep the bytes of an Internet header as received and say nothing of
// the text). UTF-8 with multi-byte characters; else Windows-1252 when a byte lies in 0x80-0x9F,
// where Latin-1 has only control codes (the euro sign, typographic quotes and dashes that
// Postbridge writes); else Latin-1, pure ASCII included.
std::string_view chrsOf(std::initializer_list<std::string_view> shown) {
    CharsetClues clues;
    for (std::string_view s : shown)
        clues.scan(s);
    if (clues.valid && clues.multi)
        return "CHRS: UTF-8 4";
    return clues.c1 ? "CHRS: CP1252 2" : "CHRS: LATIN-1 2";
}

// "[-]hhmm" to seconds east of UTC.
std::optional<int> parseTzutc(std::string_view v) {
    std::string s = trimmed(v);
    bool neg = !s.empty() && s[0] == '-';
    if (neg || (!s.empty() && s[0] == '+'))
        s.erase(0, 1);
    if (s.size() != 4 || s.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    int secs = (std::stoi(s.substr(0, 2)) * 60 + std::stoi(s.substr(2))) * 60;
    return neg ? -secs : secs;
}

std::string formatTzutc(int offset) {
    char buf[16];
    int m = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(buf, sizeof buf, "%s%02d%02d", offset < 0 ? "-" : "", m / 60, m % 60);
    return buf;
}

int localOffsetAt(std::int64_t utc) {
    std::time_t t = static_cast<std::time_t>(utc);
    std::tm tm{};
    localtime_r(&t, &tm);
    return static_cast<int>(tm.tm_gmtoff);
}

// The zone DateWritten is in: the message's own TZUTC, else this machine's.
int zoneOf(const jam::MsgHeader& h) {
    if (const std::string* tz = h.find(jam::sub::TzUtcInfo))
        if (auto off = parseTzutc(*tz))
            return *off;
    for (const auto& s : h.Subfields)
        if (s.LoID == jam::sub::FtsKludge && startsWith(s.Data, "TZUTC:"))
            if (auto off = parseTzutc(std::string_view(s.Data).substr(6)))
                return *off;
    // Local wall-clock seconds taken as UTC give about the right zone; a second look settles
    // the hour around a change of daylight saving time.
    int guess = localOffsetAt(h.DateWritten);
    return localOffsetAt(static_cast<std::int64_t>(h.DateWritten) - guess);
}

// What goes before a subfield's data in the kludge line (without SOH) it stands for; nullopt
// for subfields that are not kludges.
std::optional<std::string_view> kludgePrefix(const jam::Subfield& s) {
    if (s.HiID != 0)
        return std::nullopt;
    if (s.LoID == jam::sub::FtsKludge)
        return "";
    if (s.LoID == jam::sub::TzUtcInfo)
        return "TZUTC: ";
    for (const auto& k : kKinds)
        if (k.id == s.LoID)
            return k.prefix;
    return std::nullopt;
}

// A subfield as its SOH kludge line, handed to put in pieces.
template <class Put>
void putKludge(const jam::Subfield& s, Put& put) {
    if (auto prefix = kludgePrefix(s)) {
        put("\x01");
        put(*prefix);
        put(s.Data);
        put("\r\n");
    }
}

// The line ends of one text, looked for from front to back (`from` never goes down): the next
// CR and the next LF are each searched with memchr only once the scan has passed the last one
// found. (find_first_of with a set calls memchr on the set for every byte, which made the
// line-end conversion the host's largest cost per stored message.)
class LineEnds {
public:
    explicit LineEnds(std::string_view t) : t_(t), cr_(t.find('\r')), lf_(t.find('\n')) {}
    // The first CR or LF at or after `from`, or npos.
    std::size_t next(std::size_t from) {
        if (cr_ < from)
            cr_ = t_.find('\r', from);
        if (lf_ < from)
            lf_ = t_.find('\n', from);
        return std::min(cr_, lf_);
    }

private:
    std::string_view t_;
    std::size_t cr_, lf_;
};

// Text with CR (or CR LF, or LF) line ends to CR LF, handed to put in pieces.
template <class Put>
void putCrlfText(std::string_view t, Put& put) {
    LineEnds ends(t);
    for (std::size_t i = 0; i < t.size();) {
        std::size_t e = ends.next(i);
        if (e == std::string_view::npos) {
            put(t.substr(i));
            break;
        }
        put(t.substr(i, e - i));
        put("\r\n");
        i = (t[e] == '\r' && e + 1 < t.size() && t[e + 1] == '\n') ? e + 2 : e + 1;
    }
}

// The record text (NUL included) that a message written by edhost rebuilds to, handed to put
// in pieces: its kludges in the order stored, minus what the store added, then the text.
template <class Put>
void putOwnText(const jam::MsgHeader& h, std::string_view text, std::uint8_t options, Put& put) {
    for (const auto& s : h.Subfields) {
        if (s.LoID == jam::sub::TzUtcInfo)
            continue;
        if ((options & kChrsAdded) && s.LoID == jam::sub::FtsKludge && startsWith(s.Data, "CHRS: "))
            continue;
        putKludge(s, put);
    }
    putCrlfText(text, put);
    put(std::string_view("\0", 1));
}

std::string ownText(const jam::MsgHeader& h, std::string_view text, std::uint8_t options) {
    std::string out;
    out.reserve(text.size() + text.size() / 16 + 256);
    auto put = [&out](std::string_view piece) { out += piece; };
    putOwnText(h, text, options, put);
    return out;
}

// Whether the message rebuilds to exactly `expected`, compared piece by piece (no copy of a
// text that may be megabytes long is made for it).
bool ownTextIs(const jam::MsgHeader& h, std::string_view text, std::uint8_t options, std::string_view expected) {
    std::size_t at = 0;
    bool same = true;
    auto put = [&](std::string_view piece) {
        same = same && expected.substr(at, piece.size()) == piece;
        at += piece.size();
    };
    putOwnText(h, text, options, put);
    return same && at == expected.size();
}

// The text of a message another tool wrote: the host's own first line (the MSGID kludge, or
// one made from the origin and the message number), the other kludges, then the text.
std::string foreignText(const jam::MsgHeader& h, std::string_view text) {
    std::string out;
    if (const std::string* id = h.find(jam::sub::MsgId)) {
        out = "\x01MSGID: " + *id + "\r\n";
    } else {
        const std::string* o = h.find(jam::sub::OAddress);
        char serial[16];
        std::snprintf(serial, sizeof serial, "%08X", h.MessageNumber);
        out = "\x01MSGID: " + (o ? *o : std::string("0:0/0")) + " " + serial + "\r\n";
    }
    auto put = [&out](std::string_view piece) { out += piece; };
    for (const auto& s : h.Subfields)
        if (s.LoID != jam::sub::MsgId)
            putKludge(s, put);
    putCrlfText(text, put);
    out.push_back('\0');
    return out;
}

std::string cut(std::string_view s, std::size_t n) { return std::string(s.substr(0, n)); }

void add(jam::MsgHeader& h, std::uint16_t id, std::string data) {
    h.Subfields.push_back({id, 0, std::move(data)});
}

std::string privateField(std::uint8_t kind, std::uint16_t flags, std::uint32_t attributes,
                         std::uint8_t options) {
    std::string p;
    p.push_back(static_cast<char>(kind));
    p.push_back(static_cast<char>(flags & 0xFF));
    p.push_back(static_cast<char>(flags >> 8));
    jam::putU32(p, attributes & kFlagBits);
    p.push_back(static_cast<char>(options));
    return p;
}

} // namespace

std::uint32_t attributesFor(std::uint16_t flags, std::uint32_t old, bool isNew) {
    using namespace jam::attr;
    constexpr std::uint32_t types = TypeLocal | TypeEcho | TypeNet;
    if (flags == kIncoming)   // read here, never exported by a scanner
        return (isNew ? 0 : old & ~(Local | Sent | types)) | TypeNet | Private;
    if (flags == kUnsent)     // the one word that means "to be sent"
        return isNew ? (Local | Private | TypeNet) : ((old & ~Sent) | Local);
    // Anything else has nothing left to send: marked sent, so no scanner picks it up either.
    return (isNew ? (Local | TypeLocal) : old) | Sent;
}

std::uint16_t flagsFromAttributes(std::uint32_t a) {
    if (!(a & jam::attr::Local))
        return kIncoming;
    return (a & jam::attr::Sent) ? kSent : kUnsent;
}

void setFlags(jam::MsgHeader& h, std::uint16_t flags) {
    h.Attribute = attributesFor(flags, h.Attribute, false);
    for (auto& s : h.Subfields)
        if (s.LoID == kEdhostSubfield && s.HiID == 0 && s.Data.size() >= kPrivateHead) {
            std::string head = privateField(static_cast<std::uint8_t>(s.Data[0]), flags,
                                            h.Attribute, static_cast<std::uint8_t>(s.Data[7]));
            s.Data.replace(0, kPrivateHead, head);
            return;
        }
    if (flagsFromAttributes(h.Attribute) != flags)   // the attributes alone do not say it
        add(h, kEdhostSubfield, privateField(kKindFlagsOnly, flags, h.Attribute, 0));
}

JamForm toJam(std::string_view record, std::int64_t nowUtc, int utcOffset) {
    TNewMsgHeader rh;
    std::memcpy(&rh, record.data(), sizeof rh);
    std::string_view body = record.substr(sizeof rh);
    body = body.substr(0, body.find('\0'));

    JamForm f;
    jam::MsgHeader& h = f.Header;
    h.Subfields.reserve(16);
    add(h, jam::sub::OAddress, fidoAddress(rh.Addr1));
    add(h, jam::sub::DAddress, fidoAddress(rh.Addr2));
    add(h, jam::sub::SenderName, rh.FromUserName.str());
    add(h, jam::sub::ReceiverName, rh.ToUserName.str());
    add(h, jam::sub::Subject, rh.Subject.str());

    // The kludge lines at the head of the text become subfields.
    bool hasChrs = false;
    std::optional<int> ownZone;
    // The value of the Internet header's Date: line (folded lines joined), up to the empty
    // kludge line that ends that header.
    std::string date;
    bool dateSeen = false, inDate = false, headEnded = false;
    std::size_t pos = 0;
    LineEnds kludgeEnds(body);
    while (pos < body.size() && body[pos] == '\x01') {
        std::size_t end = kludgeEnds.next(pos);
        std::string_view line = body.substr(pos + 1, (end == std::string_view::npos ? body.size() : end) - pos - 1);
        pos = end == std::string_view::npos ? body.size()
              : (body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n') ? end + 2
                                                                                      : end + 1;
        if (!headEnded) {
            headEnded = line.empty();
            if (inDate && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
                date += line;
            } else {
                inDate = !dateSeen && startsWithAnyCase(line, "date:");
                if (inDate) {
                    dateSeen = true;
                    date.assign(line.substr(5));
                }
            }
        }
        // Derived from the addresses by every tool that needs them; never stored.
        if (startsWith(line, "INTL ") || startsWith(line, "FMPT ") || startsWith(line, "TOPT "))
            continue;
        hasChrs = hasChrs || startsWith(line, "CHRS:") || startsWith(line, "CHARSET:");
        if (startsWith(line, "TZUTC:"))
            ownZone = parseTzutc(line.substr(6));
        const KludgeKind* kind = nullptr;
        for (const auto& k : kKinds)
            if (startsWith(line, k.prefix))
                kind = &k;
        if (kind)
            add(h, kind->id, cut(line.substr(kind->prefix.size()), kind->limit));
        else
            add(h, jam::sub::FtsKludge, cut(line, kLimitKludge));
    }
    std::string_view rest = body.substr(pos);
    f.Text.reserve(rest.size());
    LineEnds ends(rest);
    for (std::size_t i = 0; i < rest.size();) {
        std::size_t e = ends.next(i);
        if (e == std::string_view::npos) {
            f.Text.append(rest.substr(i));
            break;
        }
        f.Text.append(rest.substr(i, e - i));
        f.Text += '\r';
        i = (rest[e] == '\r' && e + 1 < rest.size() && rest[e + 1] == '\n') ? e + 2 : e + 1;
    }

    std::uint8_t options = 0;
    if (!hasChrs) {
        // The names and subject as stored a moment ago.
        add(h, jam::sub::FtsKludge,
            std::string(chrsOf({rest, h.Subfields[2].Data, h.Subfields[3].Data, h.Subfields[4].Data})));
        options |= kChrsAdded;
    }
    // A mail is filed under the time it was written, as its Date: says, in the writer's zone
    // (unless the record names a zone of its own); a date before 1980, or later than a day
    // after now, is a wrong clock or a forgery, and the mail keeps the time it was stored.
    int zone = ownZone.value_or(utcOffset);
    std::int64_t written = nowUtc;
    constexpr std::int64_t k1980 = 315532800;
    if (const auto d = dateSeen ? parseMailDate(date) : std::nullopt;
        d && d->Utc >= k1980 && d->Utc <= nowUtc + 86400) {
        written = d->Utc;
        zone = ownZone.value_or(d->Offset);
    }
    if (!ownZone)
        add(h, jam::sub::TzUtcInfo, formatTzutc(zone));
    if (const std::string* id = h.find(jam::sub::MsgId))
        h.MSGIDcrc = jam::crc(trimmed(*id));
    if (const std::string* id = h.find(jam::sub::ReplyId))
        h.REPLYcrc = jam::crc(trimmed(*id));
    h.DateWritten = static_cast<std::uint32_t>(written + zone);
    h.DateProcessed = static_cast<std::uint32_t>(nowUtc + zone);
    h.Attribute = attributesFor(rh.Flags, 0, true);

    // Whatever the JAM form cannot give back byte for byte is kept whole.
    std::string privateData = privateField(kKindRecord, rh.Flags, h.Attribute, options);
    privateData.append(record.data(), sizeof rh);
    if (!ownTextIs(h, f.Text, options, record.substr(sizeof rh)))
        privateData.append(record.substr(sizeof rh));
    add(h, kEdhostSubfield, std::move(privateData));
    return f;
}

std::uint16_t flagsOf(const jam::MsgHeader& h) {
    const std::string* p = h.find(kEdhostSubfield);
    if (p && p->size() >= kPrivateHead && (jam::getU32(*p, 3) & kFlagBits) == (h.Attribute & kFlagBits))
        return static_cast<std::uint16_t>(static_cast<unsigned char>((*p)[1]) |
                                          static_cast<unsigned char>((*p)[2]) << 8);
    return flagsFromAttributes(h.Attribute);
}

StoredMessage fromJam(const jam::MsgHeader& h, std::string_view text, std::uint32_t number,
                      std::string* madeFrom) {
    StoredMessage m;
    m.Number = number;
    m.Written = static_cast<std::int64_t>(h.DateWritten) - zoneOf(h);
    m.Flags = flagsOf(h);
    const std::string* p = h.find(kEdhostSubfield);
    if (p && p->size() >= kPrivateHead && (*p)[0] == kKindRecord &&
        p->size() >= kPrivateHead + sizeof(TNewMsgHeader)) {
        if (madeFrom) {
            // toJam checked that this header and text give the record back byte for byte:
            // no need to build its text again.
            m.Record = std::move(*madeFrom);
            return m;
        }
        m.Record = p->substr(kPrivateHead);
        if (m.Record.size() == sizeof(TNewMsgHeader))
            m.Record += ownText(h, text, static_cast<std::uint8_t>((*p)[7]));
        if (m.Record.back() != '\0')
            m.Record.push_back('\0');
        // Unchanged when the text is as it was stored; right again when a tool edited it.
        auto* rh = reinterpret_cast<TNewMsgHeader*>(m.Record.data());
        rh->Size = static_cast<std::int32_t>(m.Record.size());
        return m;
    }
    std::string body = foreignText(h, text);
    m.Record.assign(sizeof(TNewMsgHeader), '\0');
    auto* rh = reinterpret_cast<TNewMsgHeader*>(m.Record.data());
    auto field = [&](std::uint16_t id) {
        const std::string* s = h.find(id);
        return s ? *s : std::string();
    };
    rh->ToUserName.assign(field(jam::sub::ReceiverName));
    rh->FromUserName.assign(field(jam::sub::SenderName));
    rh->Subject.assign(field(jam::sub::Subject));
    rh->Addr1 = parseAddress(field(jam::sub::OAddress));
    rh->Addr2 = parseAddress(field(jam::sub::DAddress));
    rh->Flags = m.Flags;
    rh->Size = static_cast<std::int32_t>(sizeof(TNewMsgHeader) + body.size());
    m.Record += body;
    return m;
}

} // namespace jammap

namespace {

using jammap::fromJam;

std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

// The base holds mail. A neighbour who owns a folder or file of it, or may write to one, could
// swap a file for one she can read and so read the next message stored: such a base is refused
// whole, before anything is written to it. One of the user's own that others may only read
// (as older versions left the files) is narrowed to `mode`. The folder the user named is
// looked at through a link; links inside it are not followed (and refused when opened).
// mode 07777 looks without narrowing (a folder of someone's choosing outside the base).
void ensurePrivate(const std::string& path, bool folder, mode_t mode) {
    struct stat st{};
    if ((folder ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
        return;   // missing: made privately when needed
    const bool foreign = st.st_uid != ::geteuid();
    if (foreign || writableByOthers(st)) {
        char rights[8];
        std::snprintf(rights, sizeof rights, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw StoreError((folder ? "Der Ordner der Nachrichtenbasis " + path
                                 : "Die Datei " + path + " der Nachrichtenbasis") +
                         (foreign ? " gehört " + userName(st.st_uid) + " (Rechte " + rights + ")"
                                  : " ist für andere Benutzer beschreibbar (Rechte " + std::string(rights) + ")") +
                         "; edhost benutzt nur eine Nachrichtenbasis, die allein Ihnen gehört und "
                         "in die allein Sie schreiben dürfen.");
    }
    if ((st.st_mode & 07777 & ~mode) != 0 && !S_ISLNK(st.st_mode))
        ::chmod(path.c_str(), st.st_mode & mode & 07777);
}

constexpr const char* kListName = "/areas.lst";
constexpr const char* kListHead =
    "# edhost areas: name, type, code, JAM base (relative to this folder); tab-separated, %XX "
    "escapes\n";

std::string escape(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == '%' || c == 0x7F) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool unescape(std::string_view s, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
            return false;
        out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
        i += 2;
    }
    return true;
}

// A file name for an area's JAM base: letters and digits of its name, lower case.
std::string baseName(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) && c < 0x80)
            out += static_cast<char>(std::tolower(c));
        else if (!out.empty() && out.back() != '_')
            out += '_';
        if (out.size() >= 32)
            break;
    }
    while (!out.empty() && out.back() == '_')
        out.pop_back();
    return out.empty() ? "area" : out;
}

struct Entry {
    std::uint32_t Slot = 0, HdrOffset = 0, HdrSize = 0;
    MessageInfo Info;
};

Entry entryOf(const jam::Message& m, const StoredMessage& s) {
    return {m.Slot, m.HdrOffset, m.HdrSize, {s.Flags, s.Written, s.Header()}};
}

struct Area {
    AreaInfo info;
    std::string file;   // as written in the list
    std::unique_ptr<jam::Area> jam;
    bool loaded = false;
    // Messages appended or changed since the last sync. A host that starts does not know
    // whether the one before it, killed or crashed, had synced what it wrote: the kernel may
    // still hold those pages, and a plug-in that is told its stores are durable at the first
    // close would be told so wrongly. So the first close of every area syncs.
    bool unsynced = true;
    std::uint32_t mod = 0;
    // By number - 1: where each message's header lies, and what a list shows of it. Texts
    // and records stay on disk: keeping them made the host's memory grow with the base.
    std::vector<Entry> index;
};

class JamStore final : public MessageStore {
public:
    explicit JamStore(std::string dir) : dir_(std::move(dir)) {
        // The base holds mail: its folder is the user's alone, also one an older version made.
        ::mkdir(dir_.c_str(), 0700);
        ensurePrivate(dir_, true, 0700);
        ensurePrivate(dir_ + "/lock", false, 0600);
        lockFd_ = openLockFile(dir_ + "/lock");
        if (lockFd_ < 0)
            throw StoreError(sysError("cannot open the base in " + dir_));
        // One edhost per base (the JAM files themselves are shared through their own locks).
        try {
            if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0)
                throw BaseInUseError("the base in " + dir_ + " is in use by another edhost");
            if (::access((dir_ + kListName).c_str(), F_OK) != 0) {
                makeArea({"NETMAIL", "Netmail", 0});
                makeArea({"REPORT", "Local", 0});
                saveList();
                return;
            }
            ensurePrivate(dir_ + kListName, false, 0600);
            loadList();
        } catch (...) {
            ::close(lockFd_);   // a base refused is let go at once, not held by a store never made
            throw;
        }
    }

    ~JamStore() override {
        if (lockFd_ >= 0)
            ::close(lockFd_);
    }

    std::vector<AreaInfo> areas() const override {
        std::vector<AreaInfo> out;
        for (const auto& a : areas_)
            out.push_back(a.info);
        return out;
    }

    std::optional<std::size_t> findArea(std::string_view name) const override {
        for (std::size_t i = 0; i < areas_.size(); ++i)
            if (sameAreaName(areas_[i].info.Name, name)) {
                refresh(areas_[i]);
                return i;
            }
        return std::nullopt;
    }

    std::size_t createArea(const AreaInfo& info) override {
        if (info.Name.empty() || info.Name.size() > 255 || info.Type.size() > 255)
            throw StoreError("bad area name or type");
        if (findArea(info.Name))
            throw StoreError("the area exists");
        makeArea(info);
        try {
            saveList();
        } catch (...) {
            areas_.pop_back();
            throw;
        }
        return areas_.size() - 1;
    }

    std::uint32_t messageCount(std::size_t area) const override {
        Area& a = areas_.at(area);
        refresh(a);
        return static_cast<std::uint32_t>(a.index.size());
    }

    // No re-read here: the numbers a caller got from messageCount stay valid.
    const MessageInfo* info(std::size_t area, std::uint32_t number) const override {
        Area& a = areas_.at(area);
        if (!a.loaded)
            refresh(a);
        if (number < 1 || number > a.index.size())
            return nullptr;
        return &a.index[number - 1].Info;
    }

    std::optional<StoredMessage> message(std::size_t area, std::uint32_t number) const override {
        Area& a = areas_.at(area);
        if (!a.loaded)
            refresh(a);
        if (number < 1 || number > a.index.size())
            return std::nullopt;
        Entry& e = a.index[number - 1];
        std::optional<jam::Message> m;
        try {
            m = a.jam->read(e.Slot);
        } catch (const jam::JamError& err) {
            std::fprintf(stderr, "edhost: area %s: %s\n", a.info.Name.c_str(), err.what());
        }
        if (!m)
            return std::nullopt;
        // Another tool may have moved the header (its index slot follows it).
        e.HdrOffset = m->HdrOffset;
        e.HdrSize = m->HdrSize;
        return fromJam(m->Header, m->Text, number);
    }

    std::uint32_t addMessage(std::size_t area, std::string record) override {
        if (auto problem = recordProblem(record); !problem.empty())
            throw StoreError(problem);
        Area& a = areas_.at(area);
        // Whether others wrote since the last look is told by the append itself, under the lock.
        if (!a.loaded)
            refresh(a);
        std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        jammap::JamForm f = jammap::toJam(record, now, localOffset(now));
        std::uint32_t before = 0;
        jam::Message m;
        try {
            m = a.jam->append(std::move(f.Header), std::move(f.Text), &before);
        } catch (const jam::JamError& e) {
            throw StoreError(std::string("area ") + a.info.Name + ": " + e.what());
        }
        if (before != a.mod) {   // others wrote meanwhile: read the area afresh
            a.loaded = false;
            refresh(a);
            return static_cast<std::uint32_t>(a.index.size());
        }
        a.mod = before + 1;
        a.unsynced = true;
        auto number = static_cast<std::uint32_t>(a.index.size() + 1);
        a.index.push_back(entryOf(m, fromJam(m.Header, {}, number, &record)));
        return number;
    }

    void makeDurable(std::size_t area) override {
        Area& a = areas_.at(area);
        if (!a.unsynced)
            return;
        try {
            a.jam->sync();
        } catch (const jam::JamError& e) {
            throw StoreError(std::string("area ") + a.info.Name + ": " + e.what());
        }
        a.unsynced = false;
    }

    void setFlags(std::size_t area, std::uint32_t number, std::uint16_t flags) override {
        Area& a = areas_.at(area);
        if (!a.loaded)
            refresh(a);
        if (number < 1 || number > a.index.size())
            throw StoreError("no message " + std::to_string(number));
        std::uint32_t before = 0;
        auto change = [&](jam::MsgHeader& h) { jammap::setFlags(h, flags); };
        jam::Message m;
        auto locate = [&] {
            const Entry& e = a.index[number - 1];
            m.Slot = e.Slot;
            m.HdrOffset = e.HdrOffset;
            m.HdrSize = e.HdrSize;
        };
        locate();
        try {
            a.jam->update(m, change, &before);
        } catch (const jam::JamError&) {
            // Another tool moved the header meanwhile: find the message in its index slot
            // again and try once more.
            std::uint32_t slot = m.Slot;
            a.loaded = false;
            refresh(a);
            number = 0;
            for (std::size_t i = 0; i < a.index.size(); ++i)
                if (a.index[i].Slot == slot)
                    number = static_cast<std::uint32_t>(i + 1);
            if (number == 0)
                throw StoreError("area " + a.info.Name + ": the message is gone");
            locate();
            try {
                a.jam->update(m, change, &before);
            } catch (const jam::JamError& e) {
                a.loaded = false;
                throw StoreError(std::string("area ") + a.info.Name + ": " + e.what());
            }
        }
        a.unsynced = true;
        Entry& e = a.index[number - 1];
        e.HdrOffset = m.HdrOffset;
        e.HdrSize = m.HdrSize;
        e.Info.Flags = jammap::flagsOf(m.Header);
        if (before != a.mod)
            a.loaded = false;   // read afresh next time; this message is right already
        else
            a.mod = before + 1;
    }

private:
    static int localOffset(std::int64_t now) {
        std::time_t t = static_cast<std::time_t>(now);
        std::tm tm{};
        localtime_r(&t, &tm);
        return static_cast<int>(tm.tm_gmtoff);
    }

    std::string fullPath(const std::string& file) const {
        return file.rfind('/', 0) == 0 ? file : dir_ + "/" + file;
    }

    // Never throws: the channel and the command line look at areas everywhere.
    void refresh(Area& a) const {
        if (a.loaded && a.jam->modCounter() == a.mod)
            return;
        jam::BaseInfo info;
        std::size_t problems = 0;
        std::vector<Entry> index;
        try {
            a.jam->forEach(info, &problems, [&index](jam::Message& m) {
                index.push_back(entryOf(m, fromJam(m.Header, m.Text, static_cast<std::uint32_t>(index.size() + 1))));
            });
        } catch (const jam::JamError& e) {
            // A base another program keeps locked or has damaged: the host goes on with what
            // it read last (nothing, the first time) and reads again at the next look.
            std::fprintf(stderr, "edhost: area %s: %s\n", a.info.Name.c_str(), e.what());
            return;
        }
        if (problems)
            std::fprintf(stderr, "edhost: area %s: %zu damaged message(s) skipped\n",
                         a.info.Name.c_str(), problems);
        a.index = std::move(index);
        a.mod = info.ModCounter;
        a.loaded = true;
    }

    void makeArea(const AreaInfo& info) {
        std::string stem = baseName(info.Name), file = stem;
        for (int n = 2; jam::Area::exists(fullPath(file)) || listed(file); ++n)
            file = stem + "_" + std::to_string(n);
        Area a;
        a.info = info;
        a.file = file;
        try {
            jam::Area::create(fullPath(file));
            a.jam = std::make_unique<jam::Area>(fullPath(file));
        } catch (const jam::JamError& e) {
            throw StoreError(e.what());
        }
        areas_.push_back(std::move(a));
    }

    bool listed(const std::string& file) const {
        for (const auto& a : areas_)
            if (a.file == file)
                return true;
        return false;
    }

    void saveList() {
        std::string out = kListHead;
        for (const auto& a : areas_)
            out += escape(a.info.Name) + "\t" + escape(a.info.Type) + "\t" +
                   std::to_string(a.info.Code) + "\t" + escape(a.file) + "\n";
        // Written aside and renamed into place: the list on disk is always the old or the new.
        std::string tmp = dir_ + kListName + ".new";
        ::unlink(tmp.c_str());   // one left by a kill; the new one is made afresh
        int fd = createPrivateFile(tmp);
        bool ok = fd >= 0 && ::write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size()) &&
                  ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!ok || ::rename(tmp.c_str(), (dir_ + kListName).c_str()) != 0)
            throw StoreError(sysError("cannot write the area list in " + dir_));
        int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
    }

    void loadList() {
        std::FILE* f = std::fopen((dir_ + kListName).c_str(), "rb");
        if (!f)
            throw StoreError(sysError("cannot read " + dir_ + kListName));
        std::string data;
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            data.append(buf, n);
        std::fclose(f);
        std::size_t lineNo = 0;
        for (std::size_t pos = 0; pos < data.size();) {
            std::size_t end = data.find('\n', pos);
            std::string_view line(data.data() + pos, (end == std::string::npos ? data.size() : end) - pos);
            pos = end == std::string::npos ? data.size() : end + 1;
            ++lineNo;
            if (line.empty() || line[0] == '#')
                continue;
            std::vector<std::string> cols;
            for (std::size_t s = 0;;) {
                std::size_t t = line.find('\t', s);
                std::string col;
                if (!unescape(line.substr(s, t == std::string_view::npos ? line.npos : t - s), col))
                    cols.clear();
                cols.push_back(col);
                if (t == std::string_view::npos)
                    break;
                s = t + 1;
            }
            int code = -1;
            if (cols.size() == 4 && !cols[2].empty() &&
                cols[2].find_first_not_of("0123456789") == std::string::npos && cols[2].size() <= 3)
                code = std::stoi(cols[2]);
            if (code < 0 || code > 255 || cols[0].empty() || cols[3].empty())
                throw StoreError(dir_ + kListName + ": line " + std::to_string(lineNo) +
                                 " is not name, type, code, base");
            Area a;
            a.info = {cols[0], cols[1], static_cast<std::uint8_t>(code)};
            a.file = cols[3];
            const std::string path = fullPath(a.file);
            if (const auto slash = path.rfind('/'); path.compare(0, slash, dir_) != 0)
                ensurePrivate(path.substr(0, slash), true, 07777);   // a base kept elsewhere
            for (const char* ext : jam::kFileExtensions)
                ensurePrivate(path + ext, false, 0600);
            try {
                a.jam = std::make_unique<jam::Area>(fullPath(a.file));
            } catch (const jam::JamError& e) {
                throw StoreError("area " + a.info.Name + ": " + e.what());
            }
            areas_.push_back(std::move(a));
        }
    }

    std::string dir_;
    int lockFd_ = -1;
    mutable std::vector<Area> areas_;
};

} // namespace

std::unique_ptr<MessageStore> openStore(const std::string& dir) {
    // The single-file form that came before the JAM bases is not read any more. A JAM base is
    // never made beside it: the user would see an empty base and think the mail gone.
    if (::access((dir + kListName).c_str(), F_OK) != 0 &&
        ::access((dir + "/areas.dat").c_str(), F_OK) == 0)
        throw OldBaseError(dir + " holds a message base of the older single-file form "
                                 "(areas.dat), which edhost no longer reads; move it aside "
                                 "or name another folder");
    return std::make_unique<JamStore>(dir);
}

} // namespace pb::edhost
