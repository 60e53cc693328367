#pragma once
// Text as the program keeps it: Windows-1252 bytes in std::string. The German texts are written
// once in the source (UTF-8) and turned into those bytes by `ansi`; the UI converts to Unicode
// for display and back for input with `toUnicode` / `fromUnicode`.
#include <QString>
#include <string>
#include <string_view>

namespace pb {

// UTF-8 source text -> Windows-1252 bytes. Characters without a Windows-1252 form become '?'.
std::string ansi(std::string_view utf8);

// Windows-1252 bytes -> Unicode (every byte maps to a character; the five unassigned bytes
// 0x81, 0x8D, 0x8F, 0x90, 0x9D map to the C1 control of the same value, as Windows does).
QString toUnicode(std::string_view cp1252);

// Unicode -> Windows-1252 bytes ('?' for characters the code page lacks).
std::string fromUnicode(const QString& text);

// The Windows-1252 byte of a character, -1 when the code page lacks it. Of the C1 controls
// (0x80..0x9F) only the five that toUnicode gives for the unassigned bytes have one.
int windows1252Byte(char32_t cp);

// Windows-1252 bytes -> UTF-8, for terminals and logs meant for people.
std::string toUtf8(std::string_view cp1252);

} // namespace pb
