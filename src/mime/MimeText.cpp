#include "mime/MimeText.h"

#include "mime/ExStrings.h"
#include "platform/AnsiText.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>

#include <iconv.h>
#include <unistd.h>

namespace pb {
namespace {

char lowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The names mail programs use for the program's own code page. Latin-1's C1 controls are never
// meant as such in mail: Windows-1252 is what its senders write.
bool meansWindows1252(std::string_view charset) {
    const std::string c = AsciiLower(trim(charset));
    return c == "us-ascii" || c == "ascii" || c == "iso-8859-1" || c == "iso8859-1" || c == "iso_8859-1" ||
           c == "latin1" || c == "latin-1" || c == "l1" || c == "windows-1252" || c == "cp1252" ||
           c == "x-cp1252" || c == "ansi_x3.4-1968";
}

// Charsets in which a 7-bit byte may stand for something other than its ASCII character.
bool sevenBitIsAscii(std::string_view charset) {
    const std::string c = AsciiLower(trim(charset));
    for (std::string_view other : {"utf-7", "utf-16", "utf-32", "ucs-", "unicode", "iso-2022", "hz"})
        if (c.compare(0, other.size(), other) == 0)
            return false;
    return true;
}

constexpr std::string_view ToWindows1252 = "WINDOWS-1252//TRANSLIT";

bool namesUtf8(std::string_view charset) {
    const std::string c = AsciiLower(trim(charset.substr(0, charset.find('*'))));
    return c == "utf-8" || c == "utf8";
}

// Where the run of 7-bit bytes from `i` on ends: the first byte of 0x80 or more, or `n`. Mail
// text is mostly such runs, so they are passed eight bytes at a time.
std::size_t asciiRunEnd(const unsigned char* p, std::size_t i, std::size_t n) {
    for (; n - i >= 8; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        if (word & 0x8080808080808080u)
            break;
    }
    while (i < n && p[i] < 0x80)
        ++i;
    return i;
}

// Latin letters that Unicode does not decompose into a base letter and a mark (Đ đ Ħ ħ ı Ŀ ŀ Ł ł
// ŉ Ŋ ŋ Ŧ ŧ ..., by code point).
constexpr std::pair<char32_t, std::string_view> LatinLetters[] = {
    {0x0110, "D"}, {0x0111, "d"}, {0x0126, "H"}, {0x0127, "h"}, {0x0131, "i"}, {0x013F, "L"}, {0x0140, "l"}, {0x0141, "L"},
    {0x0142, "l"}, {0x0149, "'n"}, {0x014A, "N"}, {0x014B, "n"}, {0x0166, "T"}, {0x0167, "t"}, {0x0180, "b"}, {0x0181, "B"},
    {0x0187, "C"}, {0x0188, "c"}, {0x018A, "D"}, {0x0191, "F"}, {0x0193, "G"}, {0x0197, "I"}, {0x0198, "K"}, {0x0199, "k"},
    {0x019A, "l"}, {0x019D, "N"}, {0x019E, "n"}, {0x01A4, "P"}, {0x01A5, "p"}, {0x01AB, "t"}, {0x01AC, "T"}, {0x01AD, "t"},
    {0x01AE, "T"}, {0x01B2, "V"}, {0x01B3, "Y"}, {0x01B4, "y"}, {0x01B5, "Z"}, {0x01B6, "z"}, {0x01E4, "G"}, {0x01E5, "g"},
    {0x0221, "d"}, {0x0234, "l"}, {0x0235, "n"}, {0x0236, "t"}, {0x0237, "j"}, {0x023A, "A"}, {0x023B, "C"}, {0x023C, "c"},
    {0x023D, "L"}, {0x023E, "T"}, {0x0243, "B"}, {0x0246, "E"}, {0x0247, "e"}, {0x0248, "J"}, {0x0249, "j"}, {0x024C, "R"},
    {0x024D, "r"}, {0x024E, "Y"}, {0x024F, "y"}, {0x0138, "k"}, {0x0132, "IJ"}, {0x0133, "ij"}, {0x1E9E, "SS"},
};

// A character Windows-1252 lacks, written as well as its letters allow: a letter with marks as
// the letter ("ō" -> "o", "ș" -> "s"), a compatibility form as what it stands for ("ﬁ" -> "fi",
// "①" -> "1"), the Latin letters that have no such form from the table above. The same on
// every system, whatever the locale says (iconv's transliteration depends on it). Empty when
// nothing of the character can be written.
std::string latinForm(char32_t cp) {
    for (const auto& [letter, form] : LatinLetters)
        if (letter == cp)
            return std::string(form);
    const QString decomposed = QString::fromUcs4(&cp, 1).normalized(QString::NormalizationForm_KD);
    std::string out;
    for (const char32_t c : decomposed.toUcs4()) {
        if (QChar::isMark(c))
            continue;
        const int b = c < 0x80 ? static_cast<int>(c) : c >= 0xA0 ? windows1252Byte(c) : -1;
        if (b < 0 || c == cp)
            return {};
        out.push_back(static_cast<char>(b));
    }
    return out;
}

// The last resort for one character: iconv's transliteration where the locale has one ("?"
// otherwise). Opened once per text, when first needed.
struct IconvOne {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    ~IconvOne() {
        if (cd != reinterpret_cast<iconv_t>(-1))
            ::iconv_close(cd);
    }
    void operator()(std::string_view utf8, std::string& out) {
        if (cd == reinterpret_cast<iconv_t>(-1))
            cd = ::iconv_open(std::string(ToWindows1252).c_str(), "UTF-8");
        char buf[64];
        char* in = const_cast<char*>(utf8.data());
        std::size_t inLeft = utf8.size();
        char* o = buf;
        std::size_t oLeft = sizeof buf;
        if (cd == reinterpret_cast<iconv_t>(-1) || ::iconv(cd, &in, &inLeft, &o, &oLeft) == static_cast<std::size_t>(-1) ||
            o == buf) {
            if (cd != reinterpret_cast<iconv_t>(-1))
                ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out += '?';
            return;
        }
        out.append(buf, static_cast<std::size_t>(o - buf));
    }
};

// UTF-8 text into Windows-1252. Mail text is mostly 7-bit runs and characters Windows-1252
// has, converted here directly (iconv, which goes through UCS-4 a character at a time, took a
// tenth of a retrieval's time); a character it lacks is written in its Latin form, else as
// iconv transliterates it; a byte that is no UTF-8 becomes "?".
void utf8ToWindows1252(std::string_view s, std::string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    IconvOne iconvOne;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t run = asciiRunEnd(p, i, n);
        out.append(s.data() + i, run - i);
        i = run;
        if (i == n)
            break;
        const unsigned char c = p[i];
        const std::size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        bool whole = len > 0 && i + len <= n;
        char32_t cp = whole ? c & (0x7F >> len) : 0;
        for (std::size_t k = 1; whole && k < len; ++k) {
            whole = (p[i + k] & 0xC0) == 0x80;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and what lies beyond Unicode are no characters.
        if (!whole || (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
            out += '?';
            ++i;
            continue;
        }
        const int b = cp >= 0xA0 ? windows1252Byte(cp) : -1;
        if (b >= 0)
            out.push_back(static_cast<char>(b));
        else if (const std::string form = cp >= 0xA0 ? latinForm(cp) : std::string(); !form.empty())
            out += form;
        else
            iconvOne(s.substr(i, len), out);
        i += len;
    }
}

// iconv from one charset to another over the whole text. A byte that is no character of the
// source charset becomes "?". Into Windows-1252 the text goes through UTF-8, so that characters
// it lacks are transliterated alike from every charset. False when iconv does not know a name.
bool iconvText(std::string& text, const std::string& to, std::string_view from) {
    // RFC 2231 allows a language after the charset ("utf-8*de"); iconv does not.
    const std::string source(trim(from.substr(0, from.find('*'))));
    if (to == ToWindows1252) {
        if (!namesUtf8(source) && !iconvText(text, "UTF-8", source))
            return false;
        std::string out;
        out.reserve(text.size());
        utf8ToWindows1252(text, out);
        text = std::move(out);
        return true;
    }
    std::string out;
    out.reserve(text.size() + text.size() / 2 + 16);
    iconv_t cd = ::iconv_open(to.c_str(), source.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    char* in = text.data();
    std::size_t inLeft = text.size();
    char buf[16384];
    for (;;) {
        char* o = buf;
        std::size_t oLeft = sizeof buf;
        const std::size_t r = inLeft > 0 ? ::iconv(cd, &in, &inLeft, &o, &oLeft)
                                         : ::iconv(cd, nullptr, nullptr, &o, &oLeft);
        out.append(buf, static_cast<std::size_t>(o - buf));
        if (r != static_cast<std::size_t>(-1)) {
            if (inLeft == 0 && o == buf)
                break;
            continue;
        }
        if (errno == E2BIG)
            continue;
        if (inLeft == 0)
            break;
        // EILSEQ or EINVAL (a sequence cut off at the end): one byte given up.
        out += '?';
        ++in;
        --inLeft;
    }
    ::iconv_close(cd);
    text = std::move(out);
    return true;
}

bool convert(std::string& text, std::string_view charset, bool toUtf8) {
    const std::string_view cs = trim(charset);
    if (cs.empty()) {
        if (!HasEightBit(text))
            return true;
        if (IsUtf8(text))
            return toUtf8 || iconvText(text, std::string(ToWindows1252), "UTF-8");
        if (toUtf8)
            text = Windows1252ToUtf8(text);
        return true;
    }
    if (meansWindows1252(cs)) {
        if (toUtf8)
            text = Windows1252ToUtf8(text);
        return true;
    }
    if (!HasEightBit(text) && namesUtf8(cs))
        return true;
    if (!HasEightBit(text) && sevenBitIsAscii(cs)) {
        // Known names only: an unknown charset is reported whatever the text holds.
        iconv_t cd = ::iconv_open("UTF-8", std::string(cs.substr(0, cs.find('*'))).c_str());
        if (cd == reinterpret_cast<iconv_t>(-1))
            return false;
        ::iconv_close(cd);
        return true;
    }
    return iconvText(text, toUtf8 ? "UTF-8" : std::string(ToWindows1252), cs);
}

// Base64 or Q text of an encoded word into its bytes; false when it is not well-formed.
bool decodeWordText(char encoding, std::string_view text, std::string& out) {
    if (encoding == 'B' || encoding == 'b') {
        for (char c : text)
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                  c == '/' || c == '='))
                return false;
        const QByteArray bytes = QByteArray::fromBase64(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
        out.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        return true;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=') {
            if (i + 2 >= text.size())
                return false;
            const int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

struct EncodedWord {
    std::size_t end = 0;   // position after "?="
    std::string charset;
    std::string bytes;
};

// An encoded word starting at `at` ("=?charset?B|Q?text?="), or false.
bool readEncodedWord(std::string_view s, std::size_t at, EncodedWord& word) {
    if (s.compare(at, 2, "=?") != 0)
        return false;
    const std::size_t q1 = s.find('?', at + 2);
    if (q1 == std::string_view::npos || q1 == at + 2 || q1 + 2 >= s.size() || s[q1 + 2] != '?')
        return false;
    const char enc = s[q1 + 1];
    if (enc != 'B' && enc != 'b' && enc != 'Q' && enc != 'q')
        return false;
    const std::size_t textStart = q1 + 3;
    const std::size_t close = s.find("?=", textStart);
    if (close == std::string_view::npos)
        return false;
    const std::string_view text = s.substr(textStart, close - textStart);
    if (text.find_first_of(" \t\r\n") != std::string_view::npos)
        return false;
    const std::string_view charset = s.substr(at + 2, q1 - at - 2);
    if (charset.find_first_of(" \t\r\n") != std::string_view::npos)
        return false;
    word.bytes.clear();
    if (!decodeWordText(enc, text, word.bytes))
        return false;
    word.charset = AsciiLower(charset.substr(0, charset.find('*')));
    word.end = close + 2;
    return true;
}

// A parameter value of RFC 2231 form "charset'language'%XX..." (the first section of an
// extended parameter), or a later extended section ("%XX..." only).
std::string percentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

constexpr std::size_t MaxEncodedLine = 76;

bool qSafe(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' || c == '*' ||
           c == '+' || c == '-' || c == '/';
}

const char* const HexDigits = "0123456789ABCDEF";

// Length of the UTF-8 character that begins with byte c.
std::size_t utf8Length(unsigned char c) {
    if (c >= 0xF0)
        return 4;
    if (c >= 0xE0)
        return 3;
    if (c >= 0xC0)
        return 2;
    return 1;
}

} // namespace

bool IsUtf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            i = asciiRunEnd(reinterpret_cast<const unsigned char*>(s.data()), i, n);
            continue;
        }
        std::size_t len = 0;
        char32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF)
            len = 2, min = 0x80;
        else if (c >= 0xE0 && c <= 0xEF)
            len = 3, min = 0x800;
        else if (c >= 0xF0 && c <= 0xF4)
            len = 4, min = 0x10000;
        else
            return false;
        if (i + len > n)
            return false;
        char32_t cp = c & (0xFF >> (len + 1));
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

bool HasEightBit(std::string_view s) {
    return asciiRunEnd(reinterpret_cast<const unsigned char*>(s.data()), 0, s.size()) != s.size();
}

bool ConvertToWindows1252(std::string& Text, std::string_view Charset) { return convert(Text, Charset, false); }

bool ConvertToUtf8(std::string& Text, std::string_view Charset) { return convert(Text, Charset, true); }

std::string Windows1252ToUtf8(std::string_view Text) {
    if (!HasEightBit(Text))
        return std::string(Text);
    std::string defined(Text);
    for (char& c : defined) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u == 0x81 || u == 0x8D || u == 0x8F || u == 0x90 || u == 0x9D)
            c = '?';
    }
    return toUtf8(defined);
}

std::string Utf8ToWindows1252(std::string_view Text) {
    std::string out(Text);
    if (HasEightBit(out))
        iconvText(out, std::string(ToWindows1252), "UTF-8");
    return out;
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
    auto upperHex = [](char c) { return hexValue(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c); };
    while (r < n) {
        if (Text[r] != '=') {
            // The plain run up to the next escape moves as a whole.
            const void* eq = std::memchr(Text.data() + r, '=', n - r);
            const std::size_t end = eq ? static_cast<std::size_t>(static_cast<const char*>(eq) - Text.data()) : n;
            std::memmove(Text.data() + w, Text.data() + r, end - r);
            w += end - r;
            r = end;
            continue;
        }
        if (r + 1 >= n) {
            Text[w++] = '=';
            ++r;
            continue;
        }
        const char c1 = Text[r + 1];
        const char c2 = r + 2 < n ? Text[r + 2] : '\0';
        if (c1 == '\r' && c2 == '\n') {
            r += 3;
        } else if (upperHex(c1) >= 0 && upperHex(c2) >= 0) {
            Text[w++] = static_cast<char>(upperHex(c1) * 16 + upperHex(c2));
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

std::string DecodeEncodedWords(std::string_view Value, bool ToUtf8) {
    // Text outside encoded words is undeclared: raw UTF-8 is read as such.
    auto undeclared = [ToUtf8](std::string& text) {
        if (ToUtf8)
            ConvertToUtf8(text, {});
        else
            ConvertToWindows1252(text, {});
    };
    if (Value.find("=?") == std::string_view::npos) {
        std::string out(Value);
        undeclared(out);
        return out;
    }
    std::string out;
    std::string plain;
    auto flushPlain = [&] {
        undeclared(plain);
        out += plain;
        plain.clear();
    };
    // A run of adjacent words in one charset is converted as one text: a character may be
    // split across two words.
    std::string run, runCharset;
    auto flushRun = [&] {
        if (run.empty() && runCharset.empty())
            return;
        std::string bytes = std::move(run);
        // An unknown charset leaves the decoded bytes as they are.
        (void)(ToUtf8 ? ConvertToUtf8(bytes, runCharset) : ConvertToWindows1252(bytes, runCharset));
        out += bytes;
        run.clear();
        runCharset.clear();
    };
    std::size_t i = 0;
    bool afterWord = false;   // only blanks since the last encoded word
    while (i < Value.size()) {
        EncodedWord word;
        if (Value[i] == '=' && readEncodedWord(Value, i, word)) {
            if (afterWord)
                plain.clear();   // only blanks between two encoded words: they go
            if (!plain.empty() || word.charset != runCharset)
                flushRun();
            flushPlain();
            runCharset = word.charset;
            run += word.bytes;
            i = word.end;
            afterWord = true;
            continue;
        }
        if (afterWord && !isBlank(Value[i])) {
            flushRun();
            afterWord = false;
        }
        plain += Value[i++];
    }
    flushRun();
    flushPlain();
    return out;
}

std::string TMimeField::Param(const std::string& Name) const {
    const auto it = Params.find(Name);
    return it == Params.end() ? std::string() : it->second;
}

TMimeField ParseMimeField(std::string_view Text) {
    TMimeField f;
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < Text.size() && isBlank(Text[i]))
            ++i;
    };
    {
        const std::size_t semi = Text.find(';');
        std::string v;
        for (char c : Text.substr(0, semi))
            if (!isBlank(c))
                v += lowerChar(c);
        f.Value = v;
        i = semi == std::string_view::npos ? Text.size() : semi + 1;
    }
    // Sections of RFC 2231 parameters: name -> (section number -> (extended, value)).
    std::map<std::string, std::map<int, std::pair<bool, std::string>>> sections;
    while (i < Text.size()) {
        skipBlanks();
        const std::size_t nameStart = i;
        while (i < Text.size() && Text[i] != '=' && Text[i] != ';')
            ++i;
        std::string name = AsciiLower(trim(Text.substr(nameStart, i - nameStart)));
        if (i >= Text.size() || Text[i] == ';') {
            ++i;
            continue;
        }
        ++i;   // '='
        skipBlanks();
        std::string value;
        if (i < Text.size() && Text[i] == '"') {
            ++i;
            while (i < Text.size() && Text[i] != '"') {
                // A backslash quotes only a quote or itself: Windows paths come unescaped.
                if (Text[i] == '\\' && i + 1 < Text.size() && (Text[i + 1] == '"' || Text[i + 1] == '\\'))
                    ++i;
                value += Text[i++];
            }
            ++i;   // closing quote
            while (i < Text.size() && Text[i] != ';')
                ++i;
        } else {
            const std::size_t start = i;
            while (i < Text.size() && Text[i] != ';')
                ++i;
            value = std::string(trim(Text.substr(start, i - start)));
        }
        ++i;   // ';'
        if (name.empty())
            continue;
        const std::size_t star = name.find('*');
        if (star == std::string::npos) {
            f.Params.emplace(name, std::move(value));
            continue;
        }
        const std::string base = name.substr(0, star);
        std::string_view rest = std::string_view(name).substr(star + 1);
        int section = 0;
        bool extended = false;
        if (rest.empty()) {
            extended = true;   // name*=charset'lang'value
        } else {
            if (!rest.empty() && rest.back() == '*') {
                extended = true;
                rest.remove_suffix(1);
            }
            section = 0;
            for (char c : rest) {
                if (c < '0' || c > '9' || section > 999) {
                    section = -1;
                    break;
                }
                section = section * 10 + (c - '0');
            }
            if (section < 0)
                continue;
        }
        // A section given twice keeps its first value; the number of sections is bounded by
        // the value's length.
        sections[base].emplace(section, std::make_pair(extended, std::move(value)));
    }
    for (auto& [name, parts] : sections) {
        std::string charset;
        std::string bytes;
        int expect = 0;
        for (auto& [number, part] : parts) {
            if (number != expect++)
                break;   // a missing section ends the value
            auto& [extended, value] = part;
            std::string_view v = value;
            if (extended && number == 0) {
                const std::size_t q1 = v.find('\'');
                const std::size_t q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
                if (q2 != std::string_view::npos) {
                    charset = std::string(v.substr(0, q1));
                    v = v.substr(q2 + 1);
                }
            }
            bytes += extended ? percentDecode(v) : std::string(v);
        }
        ConvertToUtf8(bytes, charset);
        f.Params[name] = std::move(bytes);
    }
    return f;
}

std::string EncodeHeaderWords(std::string_view Text, std::size_t UsedOnLine) {
    if (!HasEightBit(Text))
        return std::string(Text);
    const std::string utf8 = Windows1252ToUtf8(Text);
    static constexpr std::string_view Open = "=?utf-8?q?";
    static constexpr std::string_view Close = "?=";
    std::string out;
    std::string word;
    std::size_t lineUsed = UsedOnLine;
    auto finishWord = [&] {
        if (word.empty())
            return;
        if (!out.empty()) {
            out += "\r\n ";
            lineUsed = 1;
        }
        out += Open;
        out += word;
        out += Close;
        lineUsed += Open.size() + word.size() + Close.size();
        word.clear();
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t len = std::min(utf8Length(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
        std::string encoded;
        for (std::size_t k = 0; k < len; ++k) {
            const unsigned char c = static_cast<unsigned char>(utf8[i + k]);
            if (c == ' ') {
                encoded += '_';
            } else if (qSafe(c)) {
                encoded += static_cast<char>(c);
            } else {
                encoded += '=';
                encoded += HexDigits[c >> 4];
                encoded += HexDigits[c & 15];
            }
        }
        const std::size_t room = MaxEncodedLine - std::min(MaxEncodedLine - 20, out.empty() ? lineUsed : 1);
        if (!word.empty() && Open.size() + word.size() + encoded.size() + Close.size() > room)
            finishWord();
        word += encoded;
        i += len;
    }
    finishWord();
    return out;
}

std::string EncodeQuotedPrintable(std::string_view Text) {
    std::string out;
    out.reserve(Text.size() + Text.size() / 4 + 8);
    std::size_t lineLength = 0;
    auto put = [&](std::string_view piece) {
        // A soft break keeps every encoded line at 76 characters or fewer, the "=" included.
        if (lineLength + piece.size() > MaxEncodedLine - 1) {
            out += "=\r\n";
            lineLength = 0;
        }
        out += piece;
        lineLength += piece.size();
    };
    std::size_t i = 0;
    while (i <= Text.size()) {
        std::size_t end = Text.find('\n', i);
        const bool last = end == std::string_view::npos;
        if (last)
            end = Text.size();
        std::string_view line = Text.substr(i, end - i);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        for (std::size_t k = 0; k < line.size(); ++k) {
            const unsigned char c = static_cast<unsigned char>(line[k]);
            const bool trailingBlank = (c == ' ' || c == '\t') && k + 1 == line.size();
            if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !trailingBlank)) {
                const char ch = static_cast<char>(c);
                put(std::string_view(&ch, 1));
            } else {
                // Multi-byte characters are escaped byte by byte but never split by a soft
                // break: the escapes of one character go onto one line.
                std::size_t len = c >= 0xC0 ? std::min(utf8Length(c), line.size() - k) : 1;
                std::string esc;
                for (std::size_t b = 0; b < len; ++b) {
                    const unsigned char d = static_cast<unsigned char>(line[k + b]);
                    esc += '=';
                    esc += HexDigits[d >> 4];
                    esc += HexDigits[d & 15];
                }
                put(esc);
                k += len - 1;
            }
        }
        if (last)
            break;
        out += "\r\n";
        lineLength = 0;
        i = end + 1;
    }
    return out;
}

std::string MailDate(std::time_t Time) {
    static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t{};
    ::localtime_r(&Time, &t);
    const long offset = t.tm_gmtoff / 60;
    const long zone = (offset < 0 ? -offset : offset);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", Days[t.tm_wday % 7], t.tm_mday,
                  Months[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, offset < 0 ? '-' : '+',
                  zone / 60, zone % 60);
    return buf;
}

std::string NewMessageId(std::string_view Address) {
    static std::atomic<unsigned> counter{0};
    static const std::uint64_t seed = std::random_device{}();
    std::string domain;
    if (const std::size_t at = Address.rfind('@'); at != std::string_view::npos)
        domain = std::string(trim(Address.substr(at + 1)));
    std::string clean;
    for (char c : domain)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-')
            clean += c;
    if (clean.empty())
        clean = "localhost";
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    char buf[96];
    std::snprintf(buf, sizeof buf, "<%llx.%x.%x.%llx@", static_cast<unsigned long long>(now),
                  static_cast<unsigned>(::getpid()), counter.fetch_add(1) + 1,
                  static_cast<unsigned long long>(seed & 0xFFFFFFFFFFull));
    return buf + clean + ">";
}

} // namespace pb
