#pragma once
// Logging in with an OAuth 2.0 access token (a bearer token) instead of a password, for the
// POP3 and the SMTP client alike: SASL OAUTHBEARER (RFC 7628), which is preferred, or XOAUTH2,
// the older form the large providers still offer, chosen from what the server lists.
//
// A server that refuses a token sends its reason as base64 JSON in a challenge; the client
// then ends the exchange (OAUTHBEARER: the byte 0x01, XOAUTH2: an empty line) and reads the
// final refusal. The token travels only inside the exchange: never into Status, an exception
// text or a log line, and only over TLS.
#include "net/AsyncSocket.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// How a client logs in: the user name and password, or a bearer token.
enum class TAuthMethod { Password, Bearer };

enum class TBearerMechanism { None, OAuthBearer, XOAuth2 };

// Asked for the access token before the login; Renew is set after the server refused the
// token given, so that the owner gets a fresh one (empty: none to be had). Its exceptions leave
// Connect as they are, after the connection has been ended.
using TBearerTokenEvent = std::function<std::string(bool Renew)>;

// The server refused the token. Reply is the final refusal line; Detail what the server said
// about the token in its challenge, made printable ("invalid_token", "401 bearer"), or empty.
class EBearerRefused : public ELoginRefused {
public:
    EBearerRefused(const std::string& message, std::string command, std::string reply, std::string detail)
        : ELoginRefused(message, std::move(command), std::move(reply)), Detail(std::move(detail)) {}
    std::string Detail;
};

// The preferred mechanism among those a server names (any case).
TBearerMechanism ChooseBearerMechanism(const std::vector<std::string>& Offered);
const char* BearerMechanismName(TBearerMechanism Mechanism);

// The client's response in base64, ready to send: the user name and token in the mechanism's
// form. Raises Exception "Invalid access token" for a token that is not a bearer token (RFC 6750
// characters: a command's output with blanks or control characters in it) and "Invalid login
// name" for a name with control characters, so neither can break the exchange.
std::string BearerResponse(TBearerMechanism Mechanism, std::string_view User, std::string_view Token,
                           std::string_view Host, int Port);

// The line that ends an exchange the server refused in a challenge (without line end).
std::string BearerAbortLine(TBearerMechanism Mechanism);

// What a refusal challenge (the base64 text after "+ " or "334 ") says: its JSON "status",
// "schemes" and "scope" joined by blanks, printable ASCII only, at most 200 characters; a
// challenge that is no such JSON gives its printable decoded text the same way.
std::string BearerRefusalDetail(std::string_view Challenge);

} // namespace pb
