#include "net/Sasl.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>

namespace pb {
namespace {

// A bearer token as RFC 6750 allows it: letters, digits, "-._~+/", then any "=".
bool ValidToken(std::string_view token) {
    std::size_t i = 0;
    const auto tokenChar = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
    };
    while (i < token.size() && tokenChar(token[i]))
        ++i;
    if (i == 0)
        return false;
    while (i < token.size() && token[i] == '=')
        ++i;
    return i == token.size();
}

// The user name inside OAUTHBEARER's first part, where "," and "=" have a meaning (RFC 5801).
std::string SaslName(std::string_view user) {
    std::string out;
    for (char c : user)
        out += c == ',' ? std::string("=2C") : c == '=' ? std::string("=3D") : std::string(1, c);
    return out;
}

std::string Printable(std::string_view text) {
    constexpr std::size_t Shown = 200;
    std::string out;
    for (char c : text) {
        if (out.size() >= Shown)
            break;
        if (c >= ' ' && c <= '~')
            out += c;
    }
    return out;
}

} // namespace

TBearerMechanism ChooseBearerMechanism(const std::vector<std::string>& Offered) {
    const auto offers = [&](std::string_view name) {
        return std::any_of(Offered.begin(), Offered.end(), [&](const std::string& o) {
            return o.size() == name.size() &&
                   std::equal(o.begin(), o.end(), name.begin(), [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
        });
    };
    if (offers("OAUTHBEARER"))
        return TBearerMechanism::OAuthBearer;
    if (offers("XOAUTH2"))
        return TBearerMechanism::XOAuth2;
    return TBearerMechanism::None;
}

const char* BearerMechanismName(TBearerMechanism Mechanism) {
    return Mechanism == TBearerMechanism::OAuthBearer ? "OAUTHBEARER" : "XOAUTH2";
}

std::string BearerResponse(TBearerMechanism Mechanism, std::string_view User, std::string_view Token,
                           std::string_view Host, int Port) {
    if (!ValidToken(Token))
        throw Exception("Invalid access token");
    if (std::any_of(User.begin(), User.end(), [](char c) { return static_cast<unsigned char>(c) < ' ' || c == 0x7F; }))
        throw Exception("Invalid login name");
    std::string raw;
    if (Mechanism == TBearerMechanism::OAuthBearer)
        raw = "n,a=" + SaslName(User) + ",\x01host=" + std::string(Host) + "\x01port=" + std::to_string(Port) +
              "\x01" "auth=Bearer " + std::string(Token) + "\x01\x01";
    else
        raw = "user=" + std::string(User) + "\x01" "auth=Bearer " + std::string(Token) + "\x01\x01";
    return QByteArray::fromStdString(raw).toBase64().toStdString();
}

std::string BearerAbortLine(TBearerMechanism Mechanism) {
    return Mechanism == TBearerMechanism::OAuthBearer ? "AQ==" : "";
}

std::string BearerRefusalDetail(std::string_view Challenge) {
    const QByteArray decoded = QByteArray::fromBase64(QByteArray(Challenge.data(), static_cast<qsizetype>(Challenge.size())));
    const QJsonDocument json = QJsonDocument::fromJson(decoded);
    if (!json.isObject())
        return Printable(decoded.toStdString());
    std::string detail;
    for (const char* key : {"status", "schemes", "scope"}) {
        const QJsonValue v = json.object().value(key);
        const std::string text = v.isString() ? v.toString().toStdString() : v.isDouble() ? std::to_string(v.toInt()) : "";
        if (!text.empty())
            detail += (detail.empty() ? "" : " ") + text;
    }
    return Printable(detail);
}

} // namespace pb
