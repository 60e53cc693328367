#include "mail/FailureCause.h"

#include "net/AsyncSocket.h"
#include "net/SmtpClient.h"
#include "platform/AnsiText.h"

#include <cctype>
#include <typeinfo>

namespace pb {
namespace {

// The socket component's error word for a connection the server's side refused.
constexpr int ConnectionRefused = 10061;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

} // namespace

std::string ServerReply(const std::string& Service, const std::exception& e) {
    // The clients raise a refusal as the plain exception with the reply line; their own checks
    // and the socket's failures come as other classes or with fixed texts.
    if (typeid(e) != typeid(Exception))
        return {};
    const std::string text = e.what();
    const auto digit = [&](std::size_t i) { return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); };
    const bool reply = Service == "SMTP" ? digit(0) && digit(1) && digit(2)
                                         : !text.empty() && (text[0] == '+' || text[0] == '-');
    if (!reply)
        return {};
    // Server text is untrusted: no line end or control characters into a box.
    std::string clean;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
            clean.push_back(c);
    return clean;
}

std::string FailureCause(const std::string& Service, const std::string& Server, const TAsyncSocket& Component,
                         const std::exception& e) {
    if (dynamic_cast<const EAbortError*>(&e))
        return {};
    const std::string server = Service + "-Server " + Server;
    if (Server.empty())
        return "Es ist kein " + Service + "-Server eingetragen.";
    if (const std::string reply = ServerReply(Service, e); !reply.empty())
        return "Der " + server + " meldet: " + reply;
    const std::string what = e.what();
    if (contains(what, "Timed out") || contains(what, "Timed Out") || contains(what, ansi("Zeitüberschreitung")))
        return "Der " + server + " antwortet nicht.";
    if ((what == "Connection Failed" && Component.LastSocketError() == ConnectionRefused) || what == "Connection refused")
        return "Der " + server + " hat die Verbindung abgelehnt.";
    if (what == "Null Remote Address" || what == "Host Lookup Failed")
        return "Der Name des " + Service + "-Servers " + Server + " wurde nicht gefunden.";
    if (what == "Connection closed")
        return "Der " + server + " hat die Verbindung beendet.";
    if (what == "Authentication failed")
        return "Der " + server + " hat die Anmeldung abgelehnt.";
    if (dynamic_cast<const ELoginRefused*>(&e))
        return "Der " + server + ansi(" hat die Anmeldung abgelehnt. Prüfen Sie Benutzer und Passwort auf der "
                                      "Seite \"Sicherheit\" der Konfiguration.");
    return "Die Verbindung zum " + server + ansi(" ist gescheitert: ") + what + ".";
}

} // namespace pb
