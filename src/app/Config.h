#pragma once
// "pbridge.ini": ten lines of Windows-1252 text, one value per line, no keys, CR LF endings.
// Read once at start-up, written only by the "Konfiguration" action.
#include "mail/Settings.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pb {

// The settings file's fixed name; it lives in the process's current directory.
inline constexpr const char* kConfigFileName = "pbridge.ini";

// The integer conversion used for port texts everywhere (dialog check, take-over, file read):
// leading blanks and one optional sign, then decimal digits, or hexadecimal digits after "$",
// "x" or "0x". Anything else (empty text, trailing blanks, other characters, a value outside
// 32 bits) raises EConvertError "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);
// The same conversion without raising; false when the text is not an integer.
bool TryStrToInt(std::string_view text, std::int32_t& value);

// Fills `settings` from the file at `path`. Lines missing at the end of a short file read as
// empty texts, a missing port line as 0. A port line whose first word is not an integer, and a
// file that cannot be read, raise EInOutError; values read before that line keep their new
// values.
void ReadConfig(TSettings& settings, const std::string& path = kConfigFileName);

// Replaces the file at `path` with the ten values. The new file is written aside and renamed
// over the old one, so the old file stays whole until the new one is complete; it is created
// readable and writable by its owner only, since it holds the POP3 password in plain text.
// Failures raise EInOutError and leave the old file as it was.
void WriteConfig(const TSettings& settings, const std::string& path = kConfigFileName);

} // namespace pb
