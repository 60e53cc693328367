#pragma once
// Turning a message the user wrote in the host's "EMAIL" area into a mail the SMTP component
// can send: cutting the host text into body lines and wrapping them, dropping the host's head
// lines, finding the recipients (from "To:" lines at the top of the text, else from the host
// message's recipient name, else by asking the user), and tidying the text.
//
// Texts are Windows-1252 bytes, one byte per character, so lengths and positions count bytes.
// None of these steps fails: a recipient that cannot be found is logged or handed to the user,
// and a message left without any is refused later by the SMTP component.
#include "mail/PB_addressbook.h"
#include "mime/ExStrings.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// Body lines longer than this are wrapped, unless they quote another text.
inline constexpr std::size_t kBodyLineWidth = 72;
// A line that has ">" within its first this many characters quotes another text.
inline constexpr std::size_t kQuoteMarkReach = 5;

// ">" within the first five characters.
bool IsQuoteLine(std::string_view Line);
// First character byte 1: a host control line, never meant for the reader.
bool IsKludgeLine(std::string_view Line);
// At least three characters: "T" and "O" in either case, then ":".
bool IsToLine(std::string_view Line);

// Replaces Body with the lines of Text. A CR ends a line, and one LF right after it belongs to
// the line end, so CR LF and a lone CR both end a line. The text after the last CR is the last
// line when there is any; an empty text is one empty line. A line longer than 72 characters that
// is not a quote line is broken at its last blank within the first 72 characters (the blank
// goes), or after 72 characters when there is none, and so on for the rest while it is longer
// than 72 and not a quote line itself.
void PrepareBody(std::string_view Text, TStringList& Body);

// Removes the host's own first line whatever it holds, then the control lines right after it.
void DropHeadLines(TStringList& Body);

// The name a To line names: the line without "To:" and without the blanks after it.
std::string ToLineName(std::string_view Line);
// The recipient entry a To line gives (LookupRecipient of its name; kRecipientNotFound when the
// name is neither an address nor in the book).
std::string ResolveToLine(std::string_view Line, const TAddressBook& Book);

// Writes one activity log entry (Windows-1252).
using TLogFn = std::function<void(const std::string& Entry)>;
// Asks the user for the recipients of the message being prepared; returns the entries in order,
// possibly none.
using TPromptFn = std::function<std::vector<std::string>()>;

// Finds the recipients of a prepared body (head lines dropped) and appends them to ToAddress:
//  - when the body starts with a To line, from it and the To lines right after it, each removed
//    from the text. When the first one cannot be resolved, it is logged with its name, removed,
//    and nothing more is taken from the text (later To lines stay in it);
//  - otherwise from ToUserName (the host message's recipient) through the book, and when that
//    fails, from the user through Prompt.
// Then logs every entry of ToAddress.
void ResolveRecipients(TStringList& Body, std::string_view ToUserName, const TAddressBook& Book,
                       TStringList& ToAddress, const TLogFn& Log, const TPromptFn& Prompt);

// Removes the first line when it is empty (that one line only).
void DropLeadingEmptyLine(TStringList& Body);

// Quote initials: a line whose first ">" stands at position 1 to 5 loses everything before that
// ">" (" EM> text" becomes "> text"). Other lines stay as they are.
void StripQuoteInitials(TStringList& Body);

// All steps in order, for one host message: Body from Text, head dropped, recipients appended to
// ToAddress, one leading empty line dropped, quote initials stripped when StripInitials is on.
void PrepareOutgoing(std::string_view Text, std::string_view ToUserName, const TAddressBook& Book,
                     bool StripInitials, TStringList& Body, TStringList& ToAddress, const TLogFn& Log,
                     const TPromptFn& Prompt);

} // namespace pb
