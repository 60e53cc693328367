#pragma once
// Readable text from an HTML mail, for mails that come without a plain-text part. The HTML is
// read by a real HTML parser (gumbo), so broken markup, entities and comments come out as a
// browser would see them.
#include <string>
#include <string_view>

namespace pb {

// The text of an HTML document (UTF-8 in, UTF-8 out, lines ended by LF): paragraphs, headings,
// table rows and <br> make lines, list items become "* " lines, a link becomes
// "text <url>"; script, style and the document head are dropped; runs of blanks are one blank
// outside <pre>; never more than one empty line in a row, none at the start or the end. Only
// the first 100,000 tags are read.
std::string HtmlToText(std::string_view Html);

} // namespace pb
