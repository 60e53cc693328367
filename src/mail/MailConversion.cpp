#include "mail/MailConversion.h"

#include "host/Fidoaddr.h"
#include "net/Pop3Client.h"
#include "platform/AnsiText.h"

#include <algorithm>

namespace pb {
namespace {

constexpr char SOH = '\x01';
constexpr std::string_view CRLF = "\r\n";
constexpr std::size_t NameWidth = 35;
constexpr std::size_t SubjectWidth = 71;

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

std::string ExtractDisplayName(std::string_view Text) {
    auto between = [&](std::size_t open, char close) -> std::string {
        const std::size_t end = Text.find(close, open + 1);
        return end == std::string_view::npos ? std::string() : std::string(Text.substr(open + 1, end - open - 1));
    };
    if (const std::size_t q = Text.find('"'); q != std::string_view::npos)
        return between(q, '"');
    if (const std::size_t p = Text.find('('); p != std::string_view::npos)
        return between(p, ')');
    const std::size_t lt = Text.find('<');
    if (lt == std::string_view::npos)
        return std::string(Text);
    std::string_view name = Text.substr(0, lt);
    while (!name.empty() && name.back() == ' ')
        name.remove_suffix(1);
    if (!name.empty())
        return std::string(name);
    return between(lt, '>');
}

void CompactQuoteMarks(TStringList& Body) {
    for (int i = 0; i < Body.Count(); ++i) {
        std::string line = Body[i];
        compactQuoteLine(line);
        if (line.size() != Body[i].size())
            Body.Put(i, std::move(line));
    }
}

TNewMsg ConvertMail(const TMailMessage& Mail, const std::function<void(const std::string&)>& Log) {
    auto log = [&](const std::string& entry) {
        if (Log)
            Log(entry);
    };
    for (const std::string& entry : Mail.ParseLog)
        log(entry);

    std::string text;
    std::size_t bodyBytes = 0;
    for (const std::string& line : Mail.Body)
        bodyBytes += line.size() + 2;
    std::size_t headBytes = 0;
    for (const std::string& line : Mail.Head)
        headBytes += line.size() + 3;
    // The record holds its header, the text and a NUL.
    const std::size_t maxText = kMaxRecordSize - sizeof(TNewMsgHeader) - 1;
    text.reserve(std::min(maxText, headBytes + bodyBytes + 2 * Mail.From.size() + 64));

    // The header as hidden kludge lines, the empty line that ends it included.
    for (const std::string& line : Mail.Head) {
        text += SOH;
        text += line;
        text += CRLF;
    }
    std::string replyTo;
    const bool hasReplyTo = FindReplyTo(Mail.Head, replyTo);
    text += SOH;
    text += "REPLYADDR ";
    text += hasReplyTo ? replyTo : Mail.From;
    text += CRLF;
    text += "From: ";
    text += DecodeEncodedWords(Mail.From);
    text += CRLF;
    if (hasReplyTo) {
        text += "Reply-To: ";
        text += DecodeEncodedWords(replyTo);
        text += CRLF;
    }
    text += CRLF;

    // The body from its first non-empty line on; a body of empty lines only is stored empty.
    const std::string note = ansi("*** Der Text dieser Nachricht war zu lang für die Nachrichtenbasis und ist hier "
                                  "gekürzt. Die Anhänge sind vollständig als Dateien gespeichert. ***");
    const std::size_t room = maxText - note.size() - 2 * CRLF.size();
    bool cut = false;
    int first = 0;
    while (first < Mail.Body.Count() && Mail.Body[first].empty())
        ++first;
    for (int i = first; i < Mail.Body.Count() && !cut; ++i) {
        const std::string& line = Mail.Body[i];
        if (text.size() + line.size() + CRLF.size() > room) {
            cut = true;
            text.append(line, 0, room > text.size() ? room - text.size() : 0);
            break;
        }
        const std::size_t start = text.size();
        text += line;
        if (text.size() > start && text.find('>', start) < start + 4) {
            std::string quoted = text.substr(start);
            compactQuoteLine(quoted);
            text.resize(start);
            text += quoted;
        }
        if (i + 1 < Mail.Body.Count() || !Mail.BodyEndsOpen)
            text += CRLF;
    }
    if (cut || Mail.TextCut) {
        text.resize(std::min(text.size(), room));
        text += CRLF;
        text += note;
        text += CRLF;
        log(ansi("POP3 Nachricht für die Nachrichtenbasis zu lang, Text gekürzt"));
    }

    TFidoAddr addr{};
    ParseFidoAddr("0:0/0", addr);

    TNewMsg rec(text);
    TNewMsgHeader& h = rec.Header();
    auto field = [](std::string_view raw, std::size_t width) {
        return std::string(firstChars(TrimLeadingBlanks(DecodeEncodedWords(raw)), width));
    };
    h.ToUserName.assign(field(ExtractDisplayName(FindToHeader(Mail.Head)), NameWidth));
    h.FromUserName.assign(field(ExtractDisplayName(Mail.From), NameWidth));
    h.Subject.assign(field(Mail.Subject, SubjectWidth));
    h.AuxText.assign("");
    h.Addr1 = addr;
    h.Addr2 = addr;
    h.Flags = kIncomingMailFlags;
    return rec;
}

} // namespace pb
