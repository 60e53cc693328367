#include "mail/MailConversion.h"

#include "host/Fidoaddr.h"
#include "net/Pop3Client.h"
#include "platform/AnsiText.h"
#include "platform/PageRelease.h"
#include "platform/RecordLimit.h"

#include <algorithm>
#include <cstring>

namespace pb {
namespace {

constexpr char SOH = '\x01';
constexpr std::string_view CRLF = "\r\n";
constexpr std::size_t NameWidth = 35;
constexpr std::size_t SubjectWidth = 71;
// How much of a body is converted between two calls of the caller's turn.
constexpr std::size_t TurnStep = 1 << 20;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view firstChars(std::string_view text, std::size_t n) { return text.substr(0, n); }

// The quote marks of one line; see CompactQuoteMarks.
void compactQuoteLine(std::string& line) {
    const std::size_t first = line.find('>');
    if (first == std::string::npos || first >= 4)
        return;
    std::size_t j = first;
    while (j + 1 < line.size() && (line[j] == '>' || line[j] == ' ')) {
        if (line[j] == ' ' && line[j + 1] == '>')
            line.erase(j, 1);
        else
            ++j;
    }
}

} // namespace

std::string UpperCaseText(std::string_view Text) {
    std::string out(Text);
    for (char& c : out)
        c = upper(c);
    return out;
}

std::string TrimLeadingBlanks(std::string_view Text) {
    const std::size_t first = Text.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string() : std::string(Text.substr(first));
}

bool FindReplyTo(const TStringList& Head, std::string& Value) {
    Value.clear();
    for (const std::string& line : Head) {
        if (UpperCaseText(firstChars(line, 9)) == "REPLY-TO:") {
            Value = TrimLeadingBlanks(std::string_view(line).substr(9));
            return true;
        }
    }
    return false;
}

std::string FindToHeader(const TStringList& Head) {
    for (int i = 0; i < Head.Count(); ++i) {
        if (firstChars(Head[i], 3) != "To:")
            continue;
        std::string value = Head[i].substr(3);
        // A long list of recipients goes on over lines that begin with a blank.
        for (int k = i + 1; k < Head.Count() && !Head[k].empty() && (Head[k][0] == ' ' || Head[k][0] == '\t'); ++k)
            value += Head[k];
        return value;
    }
    return {};
}

namespace {

// The first mailbox of an address header value: its display name (see ExtractDisplayName) and
// its address (between "<" and ">", or the bare address; empty when there is none).
struct TMailbox {
    std::string name, address;
};

TMailbox parseMailbox(std::string_view Text) {
    std::string phrase;    // the words before the angle address, quoted strings unquoted
    std::string comment;   // the first comment, without its parentheses
    std::string address;   // between "<" and ">"
    bool angle = false, haveComment = false, blank = false;
    auto put = [&](char c) {
        if (blank && !phrase.empty())
            phrase += ' ';
        blank = false;
        phrase += c;
    };
    for (std::size_t i = 0; i < Text.size(); ++i) {
        const char c = Text[i];
        if (c == '"') {
            // A quoted string; a backslash quotes the next character. An unclosed one runs to
            // the end of the value.
            if (blank && !phrase.empty())
                phrase += ' ';
            blank = false;
            for (++i; i < Text.size() && Text[i] != '"'; ++i) {
                if (Text[i] == '\\' && i + 1 < Text.size())
                    ++i;
                if (!angle && Text[i] != '\r' && Text[i] != '\n')
                    phrase += Text[i];
            }
        } else if (c == '(') {
            // A comment, nested ones inside it kept as its text; it separates words.
            std::string text;
            std::size_t depth = 1;
            for (++i; i < Text.size(); ++i) {
                if (Text[i] == '\\' && i + 1 < Text.size()) {
                    text += Text[++i];
                    continue;
                }
                if (Text[i] == '(')
                    ++depth;
                else if (Text[i] == ')' && --depth == 0)
                    break;
                text += Text[i];
            }
            if (!haveComment) {
                haveComment = true;
                comment = Trim(text);
            }
            blank = true;
        } else if (c == '<' && !angle) {
            angle = true;
            const std::size_t close = Text.find('>', i + 1);
            const std::size_t stop = close == std::string_view::npos ? Text.size() : close;
            address = Trim(Text.substr(i + 1, stop - i - 1));
            i = stop;
        } else if (c == ':' && !angle) {
            return {Trim(phrase), {}};   // a group: its name
        } else if (c == ',' && !angle && phrase.find('@') == std::string::npos) {
            put(c);   // no address before it: a comma some programs leave unquoted in a name
        } else if (c == ',' || c == ';') {
            break;   // the first address ends here
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = true;
        } else if (!angle) {
            put(c);
        }
    }
    phrase = Trim(phrase);
    const std::string bare = !angle && phrase.find('@') != std::string::npos && phrase.find(' ') == std::string::npos
                                 ? phrase
                                 : std::string();
    if (angle && !phrase.empty())
        return {phrase, address};
    if (haveComment && !comment.empty())
        return {comment, angle ? address : bare};
    return {angle ? address : phrase, angle ? address : bare};
}

} // namespace

std::string ExtractDisplayName(std::string_view Text) { return parseMailbox(Text).name; }

void CompactQuoteMarks(TStringList& Body) {
    for (int i = 0; i < Body.Count(); ++i) {
        std::string line = Body[i];
        compactQuoteLine(line);
        if (line.size() != Body[i].size())
            Body.Put(i, std::move(line));
    }
}

namespace {

// Readers of the base hide a line that begins with SOH and end a line at CR: a sender's SOH
// could plant a kludge of its own (a second REPLYADDR, an MSGID) wherever a reader starts a
// line. Only the program's own kludge lines begin with it; any other shows as "@".
void defuseSoh(char* begin, char* end) {
    for (char* at = begin; (at = static_cast<char*>(std::memchr(at, SOH, static_cast<std::size_t>(end - at))));)
        *at++ = '@';
}

// A header line or value as a kludge carries it: its bytes as received, but no SOH and no CR
// that would begin a line of its own inside it.
std::string kludgeText(std::string_view raw) {
    std::string s(raw);
    defuseSoh(s.data(), s.data() + s.size());
    std::replace(s.begin(), s.end(), '\r', ' ');
    return s;
}

// A header value decoded for the visible lines and the name fields. An encoded word may carry
// any byte: a line end would make lines of its own (a kludge among them) and a NUL would end
// the record's text there, so control characters become blanks (a tab of a folded line stays),
// and SOH "@" as everywhere.
std::string decodedLine(std::string_view raw) {
    std::string s = DecodeEncodedWords(raw);
    for (char& c : s)
        if (c == SOH)
            c = '@';
        else if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
            c = ' ';
    return s;
}

// Whether a name in Windows-1252 has a letter or digit in it (not only "?" for what the base
// could not hold, blanks and signs).
bool readable(std::string_view name) {
    for (const char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= 0xC0 && c != 0xD7 && c != 0xF7) ||
            c == 0x83 || c == 0x8A || c == 0x8C || c == 0x8E || c == 0x9A || c == 0x9C || c == 0x9E || c == 0x9F)
            return true;
    }
    return false;
}

// A name field of the record: the display name of an address header value, decoded, written as
// well as Windows-1252 allows, cut to the field. A name of which nothing readable remains (all
// of it in a script the base cannot hold) gives way to the address when that fits the field
// whole; a cut address would lead a reply astray.
} // namespace

std::string NameField(std::string_view raw) {
    const TMailbox box = parseMailbox(raw);
    std::string name = TrimLeadingBlanks(decodedLine(box.name));
    if (!readable(name)) {
        const std::string address = decodedLine(box.address);
        if (!address.empty() && address.size() <= NameWidth && readable(address))
            return address;
    }
    return std::string(firstChars(name, NameWidth));
}

std::string SubjectField(std::string_view Value) {
    return std::string(firstChars(TrimLeadingBlanks(decodedLine(Value)), SubjectWidth));
}

namespace {

// The body's lines from `pos` on into the record, quote lines compacted, while the record's
// text (its header of TNewMsgHeader not counted) stays within `room`; true when the body had to
// be cut there. With `consumable` (the body itself) the lines copied go back to the system on
// the way; `turn` is called every TurnStep bytes.
bool appendBody(std::string& rec, const std::string& body, std::size_t pos, std::size_t room,
                std::string* consumable, const std::function<void()>& turn) {
    constexpr std::size_t H = sizeof(TNewMsgHeader);
    std::size_t released = pos;
    std::size_t turnAt = pos + TurnStep;
    while (pos < body.size()) {
        std::size_t end = body.find(CRLF, pos);
        if (end == std::string::npos)
            end = body.size();
        const std::string_view line(body.data() + pos, end - pos);
        const std::size_t textBytes = rec.size() - H;
        if (textBytes + line.size() + CRLF.size() > room) {
            rec.append(line.substr(0, room > textBytes ? room - textBytes : 0));
            return true;
        }
        const std::size_t start = rec.size();
        rec += line;
        if (rec.find('>', start) < start + 4) {
            std::string quoted = rec.substr(start);
            compactQuoteLine(quoted);
            rec.resize(start);
            rec += quoted;
        }
        rec += CRLF;
        pos = end + CRLF.size();
        if (consumable && pos - released >= ReleaseStep) {
            ReleasePages(consumable->data() + released, pos - released);
            released = pos;
        }
        if (turn && pos >= turnAt) {
            turn();
            turnAt = pos + TurnStep;
        }
    }
    return false;
}

// The record is built once, in the buffer the host is handed: the header's bytes, the prefix, the
// body and the NUL. With `consumable` (the body's own buffer, not read again afterwards) the
// part of the body already copied goes back to the system on the way, so body and record
// together stay near the size of one of them. `turn` is called every TurnStep bytes of the body:
// a text near the record limit takes a tenth of a second.
TNewMsg convert(const TMailMessage& Mail, const std::function<void(const std::string&)>& Log,
                std::string* consumable, const std::function<void()>& turn) {
    auto log = [&](const std::string& entry) {
        if (Log)
            Log(entry);
    };
    for (const std::string& entry : Mail.ParseLog)
        log(entry);

    constexpr std::size_t H = sizeof(TNewMsgHeader);
    // The record holds its header, the text and a NUL.
    const std::size_t maxText = kMaxRecordSize - H - 1;
    const std::string note = ansi("*** Der Text dieser Nachricht war zu lang für die Nachrichtenbasis und ist hier "
                                  "gekürzt. Die Anhänge sind vollständig als Dateien gespeichert. ***");
    const std::size_t room = maxText - note.size() - 2 * CRLF.size();

    std::string replyTo;
    const bool hasReplyTo = FindReplyTo(Mail.Head, replyTo);
    const std::string from = decodedLine(Mail.From);
    const std::string replyShown = hasReplyTo ? decodedLine(replyTo) : std::string();
    std::string rec(H, '\0');

    // The header as hidden kludge lines, the empty line that ends it included.
    for (const std::string& line : Mail.Head) {
        rec += SOH;
        rec += kludgeText(line);
        rec += CRLF;
    }
    rec += SOH;
    rec += "REPLYADDR ";
    rec += kludgeText(hasReplyTo ? replyTo : Mail.From);
    rec += CRLF;
    rec += "From: ";
    rec += from;
    rec += CRLF;
    if (hasReplyTo) {
        rec += "Reply-To: ";
        rec += replyShown;
        rec += CRLF;
    }
    // A subject longer than the host's field would lose its end there: the text shows it whole.
    const std::string subject = TrimLeadingBlanks(decodedLine(Mail.Subject));
    if (subject.size() > SubjectWidth) {
        rec += "Subject: ";
        rec += subject;
        rec += CRLF;
    }
    rec += CRLF;

    // Sized once for the body, so that a text near the record limit is never moved.
    const std::string& body = Mail.Body.Text();
    std::size_t pos = Mail.Body.LeadingEmptyBytes();
    rec.reserve(H + std::min(maxText, (rec.size() - H) + (body.size() - pos) + note.size() + 2 * CRLF.size()) + 1);

    // The body from its first non-empty line on; a body of empty lines only is stored empty.
    const std::size_t bodyStart = rec.size();
    const bool cut = appendBody(rec, body, pos, room, consumable, turn);
    defuseSoh(rec.data() + bodyStart, rec.data() + rec.size());
    if (turn)
        turn();
    if (!cut && Mail.BodyEndsOpen && rec.size() > bodyStart)
        rec.resize(rec.size() - CRLF.size());
    if (cut || Mail.TextCut) {
        rec.resize(std::min(rec.size(), H + room));
        rec += CRLF;
        rec += note;
        rec += CRLF;
        log(ansi("POP3 Nachricht für die Nachrichtenbasis zu lang, Text gekürzt"));
    }
    // The host takes the text up to its first NUL: one sent raw in a header line or the body
    // would silently cut off everything after it, so it shows as a blank.
    for (char* at = rec.data() + H; (at = static_cast<char*>(std::memchr(at, '\0', rec.data() + rec.size() - at)));)
        *at++ = ' ';
    rec += '\0';

    TFidoAddr addr{};
    ParseFidoAddr("0:0/0", addr);

    TNewMsg msg = TNewMsg::Adopt(std::move(rec));
    TNewMsgHeader& h = msg.Header();
    h.ToUserName.assign(NameField(FindToHeader(Mail.Head)));
    h.FromUserName.assign(NameField(Mail.From));
    h.Subject.assign(std::string(firstChars(subject, SubjectWidth)));
    h.AuxText.assign("");
    h.Addr1 = addr;
    h.Addr2 = addr;
    h.Flags = kIncomingMailFlags;
    return msg;
}

} // namespace

TNewMsg ConvertMail(const TMailMessage& Mail, const std::function<void(const std::string&)>& Log) {
    return convert(Mail, Log, nullptr, {});
}

TNewMsg ConvertMail(TMailMessage&& Mail, const std::function<void(const std::string&)>& Log,
                    const std::function<void()>& Turn) {
    TNewMsg rec = convert(Mail, Log, &Mail.Body.Text(), Turn);
    Mail.Body.Clear();
    return rec;
}

} // namespace pb
