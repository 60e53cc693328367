#pragma once
// "pbridge.ini": lines of Windows-1252 text, one value per line, no keys, CR LF endings: the
// ten of old, then the connection security and the SMTP login (lines 11 to 15), the place of the
// passwords (16), then how each server is logged in to (lines 17 to 36, TTokenLogin); later
// settings follow as further lines. Read once at start-up, written only by the "Konfiguration"
// action (and by a run whose provider replaced the refresh token).
//
// "pbridge.crt" beside it: the certificates the user trusts although they fail the CA or name
// check, one per line "host port fingerprint" (SHA-256 of the certificate, 64 lower-case hex
// digits).
#include "mail/Settings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// The settings file's fixed name; it lives in the process's current directory.
inline constexpr const char* kConfigFileName = "pbridge.ini";
inline constexpr const char* kTrustFileName = "pbridge.crt";

// The integer conversion used for port texts everywhere (dialog check, take-over, file read):
// leading blanks and one optional sign, then decimal digits, or hexadecimal digits after "$",
// "x" or "0x". Anything else (empty text, trailing blanks, other characters, a value outside
// 32 bits) raises EConvertError "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);
// The same conversion without raising; false when the text is not an integer.
bool TryStrToInt(std::string_view text, std::int32_t& value);

// Fills `settings` from the file at `path`. Lines missing at the end of a short file read as
// empty texts, a missing port or security line as 0. A security line that holds anything but
// 0, 1 or 2 is an error like a bad port line: guessing "none" would send passwords in clear. A port line whose first word is not an integer, and a
// file that cannot be read, raise EInOutError; values read before that line keep their new
// values.
void ReadConfig(TSettings& settings, const std::string& path = kConfigFileName);

// Replaces the file at `path` with the values: the ten of old, lines 11 to 15 when any of them
// differs from its default or a later line is written, line 16 once the passwords' place is
// chosen or a token login follows, and lines 17 to 36 when a token login differs from its
// default. The values are written as they are (SaveSettings leaves out what the keyring holds).
// The new file is written aside and renamed over the old one, so the old file stays whole
// until the new one is complete; it is created readable and writable by its owner only, since
// it may hold the passwords in plain text.
// Failures raise EInOutError and leave the old file as it was.
void WriteConfig(const TSettings& settings, const std::string& path = kConfigFileName);

} // namespace pb

namespace pb {

struct TTrustedCertificate {
    std::string Host;
    std::int32_t Port = 0;
    std::string Fingerprint;
    bool operator==(const TTrustedCertificate&) const = default;
};
using TTrustList = std::vector<TTrustedCertificate>;

// The trusted certificates; a missing file is an empty list, lines that are not of the form
// are skipped. Unreadable file: EInOutError.
TTrustList ReadTrustList(const std::string& path = kTrustFileName);
// Replaces the file (0600, written aside and renamed). EInOutError.
void WriteTrustList(const TTrustList& list, const std::string& path = kTrustFileName);
// A fingerprint as people compare it: upper-case byte pairs joined by ":", 16 bytes to a line
// ("AB:CD:...:EF\n12:..."). Anything but an even number of hex digits is returned as it is.
std::string GroupedFingerprint(const std::string& hex);
// The fingerprint trusted for host and port, or empty.
std::string TrustedFingerprint(const TTrustList& list, const std::string& host, std::int32_t port);
// Trusts `fingerprint` for host and port from now on, in place of any certificate trusted for
// them before, and saves the list.
void TrustCertificate(const std::string& host, std::int32_t port, const std::string& fingerprint,
                      const std::string& path = kTrustFileName);

} // namespace pb
