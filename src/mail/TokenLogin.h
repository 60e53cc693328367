#pragma once
// Access tokens for the servers' token logins (TTokenLogin): from the OAuth 2.0 provider, kept
// and renewed with the refresh token the sign-in left, or printed by the user's command.
//
// The sign-in (TSignIn) is the authorization code flow with PKCE (S256) and a loopback
// redirect: a listener on 127.0.0.1 alone, on a port the system picks, open only until the
// browser comes back or the time limit passes; the answer must carry the state this sign-in
// made. Tokens go to the provider's endpoints and to the mail servers, and into the settings
// file (the refresh token); never into the log, a status text or a box.
//
// Every wait turns the message loop, like the socket component's: the window stays responsive.
#include "mail/Settings.h"
#include "net/Sasl.h"
#include "platform/Exceptions.h"

#include <functional>
#include <string>

namespace pb {

// A new sign-in is needed: there is no refresh token, or the provider no longer takes it.
class ESignInNeeded : public Exception {
public:
    using Exception::Exception;
};

// Getting a token failed otherwise (the provider unreachable or answering nonsense, the
// browser not coming back, the user's command failing). The message is German, Windows-1252,
// and holds no token.
class ETokenFailure : public Exception {
public:
    using Exception::Exception;
};

struct TOAuthEndpoints {
    std::string AuthorizeUrl;
    std::string TokenUrl;
    std::string Scope;
};
// The preset's endpoints and scope (the scope covers POP3 and SMTP, so one sign-in serves
// both), or the login's own fields for "Anderer Anbieter".
TOAuthEndpoints OAuthEndpoints(const TTokenLogin& Login);
// "Google", "Microsoft", "Anderer Anbieter".
const char* OAuthPresetName(TOAuthPreset Preset);

// Time limits, in ms. Process-wide; tests shorten them.
struct TTokenTimeLimits {
    int RequestMs = 30000;     // one request to the token endpoint
    int CommandMs = 30000;     // the user's command
    int SignInMs = 300000;     // the browser's way back to the listener
};
inline TTokenTimeLimits TokenTimeLimits;

// Token requests this process made so far (sign-ins and refreshes).
int TokenRequests();

// The access token for a server's login, as its client asks for it (TBearerTokenEvent): for
// OAuth 2.0 the one kept in this process while it is valid for a while longer, else one got
// with the refresh token (Renew: always a new one); for "Befehl" the command's output (Renew:
// the command once more, "" when it prints the same again). The command's standard error and
// what the provider says about a failure go to `Log` (may be empty). A refresh token the
// provider replaces is used from then on and saved into the settings file of the working
// folder at once (SaveRefreshToken): the next run would hold a dead one otherwise.
// Raises ESignInNeeded and ETokenFailure.
TBearerTokenEvent TokenEvent(const TTokenLogin& Login, std::function<void(const std::string&)> Log);

// The refresh token this process now holds for a login read from the settings with `Login`'s
// values (a replacement, if the provider gave one), for a save of the settings.
std::string CurrentRefreshToken(const TTokenLogin& Login);

// Replaces the refresh token `Old` by `New` in the settings at `Path` (the file, or the keyring
// where the settings keep their secrets), in every login that holds it. Raises EInOutError and
// EKeyringError.
void SaveRefreshToken(const std::string& Old, const std::string& New, const std::string& Path);

// The sign-in at the provider: opens `OpenUrl` (the user's browser) at the authorization
// endpoint and waits for the browser's way back. `LoginHint` names the account to the
// provider. On success the login's RefreshToken and SignedInAs are set and the access token is
// kept for the runs. Raises ETokenFailure (EAbortError when `Cancelled` says so).
class TSignIn {
public:
    std::function<bool(const std::string& Url)> OpenUrl;
    std::function<bool()> Cancelled;
    void Run(TTokenLogin& Login, const std::string& LoginHint);
    // The loopback address the browser comes back to, once Run has opened it (for tests).
    std::string RedirectUri;
};

} // namespace pb
