#include "mail/MailConversion.h"

#include "host/Fidoaddr.h"
#include "net/Pop3Client.h"

namespace pb {
namespace {

constexpr char SOH = '\x01';
constexpr std::string_view CRLF = "\r\n";
constexpr std::size_t NameWidth = 35;
constexpr std::size_t SubjectWidth = 71;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

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

// A header line that says the body is quoted-printable, or multipart/alternative (whose first
// part, the one kept as text, is quoted-printable more often than not).
bool needsDecoding(const TStringList& head) {
    for (const std::string& line : head) {
        const std::string u = UpperCaseText(line);
        if (u == "CONTENT-TRANSFER-ENCODING: QUOTED-PRINTABLE" || u == "CONTENT-TYPE: MULTIPART/ALTERNATIVE;")
            return true;
    }
    return false;
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
    for (const std::string& line : Head)
        if (firstChars(line, 3) == "To:")
            return line.substr(3);
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

void DecodeQuotedPrintable(std::string& Text, std::size_t Start, const std::function<void()>& OnMalformed) {
    if (Start >= Text.size())
        return;
    // One pass with separate read and write positions: a text with many escapes costs no more
    // than one with few. The decoded byte is written behind the read position, so it is never
    // taken for the start of another escape.
    const std::size_t n = Text.size();
    std::size_t w = Text.find('=', Start);
    if (w == std::string::npos || w + 1 >= n)
        return;
    std::size_t r = w;
    while (r < n) {
        const char c = Text[r];
        if (c != '=' || r + 1 >= n) {
            Text[w++] = c;
            ++r;
            continue;
        }
        const char c1 = upper(Text[r + 1]);
        const char c2 = r + 2 < n ? upper(Text[r + 2]) : '\0';
        if (c1 == '\r' && c2 == '\n') {
            r += 3;
        } else if (hexValue(c1) >= 0 && hexValue(c2) >= 0) {
            Text[w++] = static_cast<char>(hexValue(c1) * 16 + hexValue(c2));
            r += 3;
        } else {
            if (OnMalformed)
                OnMalformed();
            Text[w++] = '=';
            ++r;
        }
    }
    Text.resize(w);
}

TNewMsg ConvertMail(const TMailMessage& Mail, const std::function<void(const std::string&)>& Log) {
    std::string text;
    std::size_t bodyBytes = 0;
    for (const std::string& line : Mail.Body)
        bodyBytes += line.size() + 2;
    std::size_t headBytes = 0;
    for (const std::string& line : Mail.Head)
        headBytes += line.size() + 3;
    text.reserve(headBytes + bodyBytes + 2 * Mail.From.size() + 64);

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
    text += Mail.From;
    text += CRLF;
    if (hasReplyTo) {
        text += "Reply-To: ";
        text += replyTo;
        text += CRLF;
    }
    text += CRLF;
    const std::size_t prefixLength = text.size();

    // The body from its first non-empty line on; a body of empty lines only is stored empty.
    int first = 0;
    while (first < Mail.Body.Count() && Mail.Body[first].empty())
        ++first;
    for (int i = first; i < Mail.Body.Count(); ++i) {
        const std::size_t start = text.size();
        text += Mail.Body[i];
        if (text.size() > start && text.find('>', start) < start + 4) {
            std::string line = text.substr(start);
            compactQuoteLine(line);
            text.resize(start);
            text += line;
        }
        text += CRLF;
    }

    if (needsDecoding(Mail.Head))
        DecodeQuotedPrintable(text, prefixLength, [&] {
            if (Log)
                Log("DEQP Fehler in Quoted-Printable-Nachricht");
        });

    TFidoAddr addr{};
    ParseFidoAddr("0:0/0", addr);

    TNewMsg rec(text);
    TNewMsgHeader& h = rec.Header();
    h.ToUserName.assign(firstChars(TrimLeadingBlanks(ExtractDisplayName(FindToHeader(Mail.Head))), NameWidth));
    h.FromUserName.assign(firstChars(TrimLeadingBlanks(ExtractDisplayName(Mail.From)), NameWidth));
    h.Subject.assign(firstChars(TrimLeadingBlanks(Mail.Subject), SubjectWidth));
    h.AuxText.assign("");
    h.Addr1 = addr;
    h.Addr2 = addr;
    h.Flags = kIncomingMailFlags;
    return rec;
}

} // namespace pb
