#pragma once
// The text rules of Internet mail that the mail components share: character sets (through
// iconv), quoted-printable, RFC 2047 encoded words in header values, MIME header parameters
// with RFC 2231 continuations and charsets, and the Date and Message-ID values of a new mail.
//
// The program's own text is Windows-1252 (see ExStrings.h); what arrives in other charsets is
// converted into it, with transliteration where Windows-1252 lacks a character and "?" as the
// last resort. File names of attachments are UTF-8, which is what the desktop shows.
#include <cstddef>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace pb {

// Whether Bytes is well-formed UTF-8 (7-bit text is).
bool IsUtf8(std::string_view Bytes);
// Whether any byte is 0x80 or above.
bool HasEightBit(std::string_view Bytes);

// Converts Text from Charset (a MIME charset name, any case) into Windows-1252 in place.
// An empty Charset means undeclared: 8-bit text that is valid UTF-8 is read as UTF-8, any
// other is taken to be Windows-1252 already. US-ASCII, ISO-8859-1 and Windows-1252 are kept
// byte for byte (Windows-1252 is the superset mail programs mean by them). Returns false, with
// Text unchanged, when the charset is unknown.
bool ConvertToWindows1252(std::string& Text, std::string_view Charset);
// The same into UTF-8 (for file names and for the HTML parser).
bool ConvertToUtf8(std::string& Text, std::string_view Charset);
// Windows-1252 into UTF-8; the five bytes Windows-1252 leaves undefined become "?".
std::string Windows1252ToUtf8(std::string_view Text);
// UTF-8 into Windows-1252, transliterated where needed ("?" as the last resort).
std::string Utf8ToWindows1252(std::string_view Text);

// Decodes quoted-printable escapes in Text from byte offset Start on: "=" CR LF (a soft line
// break) is removed, "=" and two hexadecimal digits (either case) become that byte, which is
// not looked at again. Any other "=" stays as it is and is reported through OnMalformed, once
// per escape. An "=" as the very last byte is left alone.
void DecodeQuotedPrintable(std::string& Text, std::size_t Start,
                           const std::function<void()>& OnMalformed = {});

// RFC 2047 encoded words (B and Q, any charset) in a header value, decoded into Windows-1252
// (ToUtf8: into UTF-8). Adjacent encoded words are joined without the blanks between them;
// malformed words and words in an unknown charset stay as they stand.
std::string DecodeEncodedWords(std::string_view Value, bool ToUtf8 = false);

// A structured MIME header value: "type/subtype; name=value; ...". Value is the part before
// the first ";" in lower case without blanks; parameter names are lower case. Quoted strings
// are unquoted; RFC 2231 parameters (name*=charset'lang'%XX, name*0=, name*1*=, ...) are joined
// and decoded into UTF-8 under their plain name, and win over a plain parameter of that name.
struct TMimeField {
    std::string Value;
    std::map<std::string, std::string> Params;
    // Params[Name], or empty.
    std::string Param(const std::string& Name) const;
};
TMimeField ParseMimeField(std::string_view Text);

// A header value for a new mail: Text (Windows-1252) as RFC 2047 encoded words in UTF-8 when it
// holds an 8-bit byte, folded (CR LF blank) so that no line outgrows 76 characters; UsedOnLine
// is what stands before the value on its first line. 7-bit text comes back as it is.
std::string EncodeHeaderWords(std::string_view Text, std::size_t UsedOnLine);
// UTF-8 text lines as quoted-printable, soft-broken so that no encoded line exceeds 76
// characters. Line ends in Text (CR LF or LF) stay hard line breaks (CR LF).
std::string EncodeQuotedPrintable(std::string_view Text);

// The Date value of a mail written at Time: "Mon, 07 Dec 2026 15:04:05 +0100", local time
// with its zone, English names whatever the user's locale.
std::string MailDate(std::time_t Time);
// A Message-ID value unique to this mail, "<...@domain>" at the domain of Address (the host
// name part after "@"; "localhost" when there is none).
std::string NewMessageId(std::string_view Address);

} // namespace pb
