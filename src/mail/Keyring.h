#pragma once
// The desktop keyring as the place of the settings' secrets: the Secret Service of the user's
// session (GNOME Keyring, KWallet), reached through QtKeychain. While the settings keep their
// secrets there, "pbridge.ini" holds their lines empty and the keyring one entry per working
// folder, kind of secret and server. Nothing here ever falls back to a file of its own: where
// the keyring fails, the caller is told and decides.
//
// Every wait for the keyring is bounded. A run without a window must never wait for a prompt
// that nobody answers: it asks whether the keyring is open first, and gives up when it is not.
#include "mail/Config.h"
#include "platform/Exceptions.h"

#include <functional>
#include <string>

namespace pb {

// One secret of the settings: a text field that the keyring holds in place of the file, under
// the entry of its kind and the server it belongs to. Every secret field of the settings is in
// kSecretFields; a new one goes into the keyring by being added there.
struct TSecretField {
    const char* Name;                      // the kind, in the entry's name and the log: "POP3-Passwort"
    std::string& (*Value)(TSettings&);     // the secret
    std::string TSettings::*Server;        // the server it opens
    std::string& operator()(TSettings& s) const { return Value(s); }
    const std::string& operator()(const TSettings& s) const { return Value(const_cast<TSettings&>(s)); }
};

inline constexpr TSecretField kSecretFields[] = {
    {"POP3-Passwort", [](TSettings& s) -> std::string& { return s.POP3Password; }, &TSettings::POP3Server},
    {"SMTP-Passwort", [](TSettings& s) -> std::string& { return s.SMTPPassword; }, &TSettings::SMTPServer},
    {"POP3-Client-Secret", [](TSettings& s) -> std::string& { return s.POP3TokenLogin.ClientSecret; }, &TSettings::POP3Server},
    {"POP3-Anmeldung", [](TSettings& s) -> std::string& { return s.POP3TokenLogin.RefreshToken; }, &TSettings::POP3Server},
    {"SMTP-Client-Secret", [](TSettings& s) -> std::string& { return s.SMTPTokenLogin.ClientSecret; }, &TSettings::SMTPServer},
    {"SMTP-Anmeldung", [](TSettings& s) -> std::string& { return s.SMTPTokenLogin.RefreshToken; }, &TSettings::SMTPServer},
};

enum class TKeyringState {
    Unreachable,   // no session bus, no Secret Service on it, or no answer in time
    Locked,        // there, but its default keyring is locked (or not made yet): only a prompt helps
    Open,
};

// Asks the session's Secret Service whether it is there and its default keyring open; the
// question waits at most limitMs and opens no prompt.
TKeyringState ProbeKeyring(int limitMs = 5000);

// How long one keyring operation may take. In the window the keyring may ask the user to
// unlock it, and that takes a person's time; without a window only the service's own.
inline constexpr int kKeyringWindowMs = 120000;
inline constexpr int kKeyringHeadlessMs = 10000;

// The keyring could not be used; the message is German, Windows-1252, and names what failed.
class EKeyringError : public Exception {
public:
    EKeyringError(const std::string& message, TKeyringState state)
        : Exception(message), State(state) {}
    TKeyringState State;
};

// The entries belong to the folder of the settings file at `path`.
//
// Fills every secret field the file left empty from the keyring, when the settings keep their
// secrets there (a missing entry leaves the field empty). EKeyringError when no keyring answers
// and, with mayPrompt false, when it is not open: before anything could open a prompt. Each
// entry waits at most limitMs; EKeyringError when one fails or does not come in time.
void LoadSecrets(TSettings& settings, int limitMs, bool mayPrompt,
                 const std::string& path = kConfigFileName);

// Writes "pbridge.ini" (at `path`) with the settings `now`, which replace `before`. With the
// keyring chosen, the secrets go into it first (an empty one's entry is removed, as is the
// entry of a server no longer used) and the file gets their lines empty; a secret that came
// from the file is reported to `log` as moved. When the keyring fails, EKeyringError and the
// file stays as it was. Leaving the keyring removes its entries where it can.
void SaveSettings(const TSettings& now, const TSettings& before, int limitMs,
                  const std::function<void(const std::string&)>& log, const std::string& path = kConfigFileName);

} // namespace pb
