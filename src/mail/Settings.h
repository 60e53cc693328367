#pragma once
// The plug-in's settings and the runs' state. Kept in a header of their own, below the window,
// so that the runs and the dialogs can take settings without pulling in the main window.
#include <cstdint>
#include <string>

namespace pb {

// How one server is logged in to, beside the user name: "Passwort", "OAuth 2.0" (a token from
// the provider, renewed with the refresh token the sign-in left) or "Befehl" (a command of the
// user prints the token). Lines 17 to 26 of "pbridge.ini" for POP3, 27 to 36 for SMTP; a file
// without them means the password, as always.
enum class TLoginMethod : std::int32_t { Password = 0, OAuth = 1, Command = 2 };
// The provider presets of the dialog; "Anderer Anbieter" takes its endpoints from the fields.
enum class TOAuthPreset : std::int32_t { Google = 0, Microsoft = 1, Other = 2 };

struct TTokenLogin {
    TLoginMethod Method = TLoginMethod::Password;
    TOAuthPreset Preset = TOAuthPreset::Google;
    std::string AuthorizeUrl;   // the provider's authorization endpoint
    std::string TokenUrl;       // its token endpoint
    std::string Scope;
    std::string ClientId;       // registered by the user: Postbridge ships none
    std::string ClientSecret;   // secret; empty where the provider gives none
    std::string RefreshToken;   // secret: what the sign-in left
    std::string Command;        // "Befehl": its standard output is the access token
    std::string SignedInAs;     // who signed in, as the provider named them

    bool operator==(const TTokenLogin&) const = default;
};

// The values of "pbridge.ini", in file order. Texts are Windows-1252 bytes. Defaults before
// anything is read or entered: empty texts, ports 0, switches off.
struct TSettings {
    std::string SMTPServer;
    std::int32_t SMTPPort = 0;
    std::string SMTPEmail;
    std::string SMTPLogin;
    bool StripInitials = false;
    std::string POP3Server;
    std::int32_t POP3Port = 0;
    std::string POP3User;
    std::string POP3Password;
    bool DeleteFromServer = false;
    // Lines 11 to 15: how each connection is protected (0 none, 1 STLS/STARTTLS, 2 TLS from
    // the first byte) and the SMTP login. A file of ten lines leaves them as here.
    std::int32_t POP3Security = 0;
    std::int32_t SMTPSecurity = 0;
    bool SMTPAuth = false;
    std::string SMTPUser;       // empty: the e-mail address is the login name
    std::string SMTPPassword;
    // Line 16: where the passwords are kept. A file without it (an earlier version's, or one
    // saved while no keyring was reachable) keeps them in its own lines.
    enum class TSecretPlace : std::uint8_t {
        Unchosen,   // nobody chose: in this file, and the dialog offers the keyring when it is there
        File,       // in this file, as the user chose
        Keyring,    // in the desktop keyring; their lines in this file are empty
    };
    TSecretPlace SecretPlace = TSecretPlace::Unchosen;
    // Lines 17 to 36: token logins (a file without them leaves both at the password).
    TTokenLogin POP3TokenLogin;
    TTokenLogin SMTPTokenLogin;

    bool operator==(const TSettings&) const = default;
};

// What the runs are doing; the byte values are the ones the program always used.
enum class TRunState : std::uint8_t { Receiving = 0, Sending = 1, Cancelled = 2, Idle = 3 };

// "keine", "STARTTLS" or "SSL/TLS": the name of a security mode as the dialog shows it.
inline const char* SecurityName(std::int32_t mode) {
    return mode == 1 ? "STARTTLS" : mode == 2 ? "SSL/TLS" : "keine";
}

} // namespace pb
