#pragma once
// Turning a retrieved Internet mail into a host message for the "EMAIL" area.
//
// The Internet header is kept whole as hidden kludge lines (SOH + line) at the top of the text,
// bytes as received, followed by the reply kludge "REPLYADDR " (the raw address, so a reply
// still reaches it), a visible "From: " line, a visible "Reply-To: " line when the mail has one,
// a visible "Subject: " line with the whole subject when the host's field has to cut it, and an
// empty line; together they form the prefix. The body follows with its leading empty
// lines dropped and its quote marks tidied. The parser has already undone the transfer
// encodings and converted the text into Windows-1252; the encoded words of the names, the
// subject and the visible lines are decoded here. The host's name fields get the display names
// of recipient and sender (35 characters) and the subject (71 characters); both addresses are
// 0:0/0 and the flag word is 0x2014. A text the host's record cannot hold is cut to fit, with
// a note saying so.
#include "host/EchodeskAPI.h"
#include "mime/ExStrings.h"
#include "mime/MimeText.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pb {

class TMailMessage;

// Flag word of a stored Internet mail.
inline constexpr std::uint16_t kIncomingMailFlags = 0x2014;

// ASCII letters a-z become A-Z; every other byte stays.
std::string UpperCaseText(std::string_view Text);

// Text without its leading blanks (character 32 only; tabs stay).
std::string TrimLeadingBlanks(std::string_view Text);

// Whether a header line begins with "Reply-To:" in any letter case. Value: the rest of the
// first such line without its leading blanks, or empty.
bool FindReplyTo(const TStringList& Head, std::string& Value);

// The rest of the first header line that begins exactly with "To:" (letter case as written),
// the blank after the colon included, with its continuation lines joined; empty when the mail
// has no such line.
std::string FindToHeader(const TStringList& Head);

// The display name of the first address of an address header value (RFC 5322), its bytes as
// received (encoded words are left to the caller): the phrase before "<", quoted strings
// unquoted with their quoted pairs, comments dropped and blanks run together
// ("Peter \"Pit\" Meier" <pit@example.org> gives Peter "Pit" Meier); without a phrase the first
// comment ("a@example.org (Anna)" -> "Anna"); without either the address itself, between "<" and
// ">" or bare. Of a list only the first address counts; a group gives its group name. A comma
// with no address before it belongs to the name (Müller, Anna <a@example.org>, as some programs
// send it unquoted). An unclosed quote, comment or bracket runs to the end of the value.
std::string ExtractDisplayName(std::string_view Text);

// The host's fields as ConvertMail fills them: the name of an address header value (From, To)
// and a subject, each decoded and cut to its field.
std::string NameField(std::string_view Value);
std::string SubjectField(std::string_view Value);

// Quote marks within the first four characters of a line are closed up: "> > >" becomes
// ">>>", also behind short initials ("AB> > x" -> "AB>> x"). Blanks before the first mark
// and the blank after the last stay; lines whose first mark comes later are left alone.
void CompactQuoteMarks(TStringList& Body);

// The host message for a retrieved mail. Log receives the program's log entries (Windows-1252
// text with its tag): those of the parse, and the cut of a text too long for the record.
TNewMsg ConvertMail(const TMailMessage& Mail, const std::function<void(const std::string&)>& Log = {});
// The same, using the mail's body up on the way (it is empty afterwards): a text near the record
// limit is then not held twice. Turn is called now and then while a long text is converted, so
// that the caller's window can go on handling its events.
TNewMsg ConvertMail(TMailMessage&& Mail, const std::function<void(const std::string&)>& Log = {},
                    const std::function<void()>& Turn = {});

} // namespace pb
