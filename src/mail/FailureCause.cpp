#include "mail/FailureCause.h"

#include "mail/TokenLogin.h"
#include "net/AsyncSocket.h"
#include "net/Sasl.h"
#include "platform/AnsiText.h"

#include <cctype>
#include <typeinfo>

namespace pb {
namespace {

// The socket component's error word for a connection the server's side refused.
constexpr int ConnectionRefused = 10061;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Server text is untrusted: no line end or control characters into a box or the log, and no
// more of it than a line can show.
std::string shown(const std::string& text) {
    std::string clean;
    for (char c : text) {
        if (clean.size() >= kReplyShown)
            break;
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
            clean.push_back(c);
    }
    return clean;
}

// A text as the end of a sentence: a reply that ends with its own full stop gets no second one.
std::string sentence(const std::string& text) {
    return !text.empty() && (text.back() == '.' || text.back() == '!' || text.back() == '?') ? text : text + ".";
}

// The command that switches a plain connection to TLS.
bool startsTls(const std::string& command) { return command == "STLS" || command == "STARTTLS"; }

// A failure of the protection itself: the server offers none, refuses to start it, or the
// handshake or the certificate failed. (A handshake that timed out is a server not answering.)
bool tlsFailure(const std::exception& e) {
    if (dynamic_cast<const ECertificateError*>(&e))
        return true;
    if (const auto* n = dynamic_cast<const ENotOffered*>(&e))
        return startsTls(n->Extension);
    if (const auto* r = dynamic_cast<const ERefused*>(&e))
        return startsTls(r->Command);
    const std::string what = e.what();
    return what.starts_with("TLS Handshake Failed") || what.starts_with("STLS refused") ||
           what == "Data before TLS handshake";
}

std::string security() {
    return ansi(" Ohne Verschlüsselung wird Ihr Passwort nicht gesendet. Wählen Sie auf der Seite "
                "\"Sicherheit\" der Konfiguration \"SSL/TLS\" mit dem Port dafür, oder fragen Sie Ihren "
                "Anbieter, welche Verschlüsselung sein Server bietet.");
}

// The way out of a token login that no longer works: a new sign-in, which only the window
// can run (a poll without one never opens a browser).
std::string signInAgain() {
    return ansi(" Melden Sie sich im Postbridge-Fenster unter \"Konfiguration\", Seite \"Anmeldung\", mit "
                "\"Beim Anbieter anmelden…\" neu an.");
}

// The sentence for a failure of the token login, or empty for any other failure.
std::string tokenCause(const std::string& Service, const std::string& Server, const std::exception& e) {
    const std::string server = Service + "-Server " + Server;
    if (dynamic_cast<const ESignInNeeded*>(&e))
        return ansi("Die Anmeldung beim Anbieter für den ") + server + ansi(" ist nicht mehr gültig: ") + e.what() +
               signInAgain();
    if (dynamic_cast<const ETokenFailure*>(&e))
        return ansi("Für den ") + server + ansi(" gab es keinen Zugangsschlüssel: ") + e.what();
    if (const auto* b = dynamic_cast<const EBearerRefused*>(&e))
        return "Der " + server + ansi(" hat den Zugangsschlüssel abgelehnt") +
               (b->Detail.empty() ? std::string() : " (" + shown(b->Detail) + ")") + ": " +
               sentence(shown(b->Reply)) + signInAgain();
    if (std::string(e.what()) == "Token without TLS")
        return ansi("Ein Zugangsschlüssel wird nur über eine verschlüsselte Verbindung gesendet. Wählen Sie auf der "
                    "Seite \"Sicherheit\" der Konfiguration für den ") +
               server + ansi(" STARTTLS oder SSL/TLS. Es wurde nichts gesendet.");
    if (std::string(e.what()) == "Invalid access token")
        return ansi("Der Zugangsschlüssel für den ") + server +
               ansi(" enthält Zeichen, die kein Zugangsschlüssel enthält; es wurde nichts gesendet.");
    return {};
}

} // namespace

std::string ServerReply(const std::string& Service, const std::exception& e) {
    if (const auto* r = dynamic_cast<const ERefused*>(&e))
        return shown(r->Reply);
    // Refusals a client raises as the plain exception with the reply line; its own checks and
    // the socket's failures come as other classes or with fixed texts.
    if (typeid(e) != typeid(Exception))
        return {};
    const std::string text = e.what();
    const auto digit = [&](std::size_t i) { return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); };
    const bool reply = Service == "SMTP" ? digit(0) && digit(1) && digit(2)
                                         : !text.empty() && (text[0] == '+' || text[0] == '-');
    return reply ? shown(text) : std::string();
}

std::string RefusalLine(const std::string& Service, const std::exception& e) {
    if (const auto* r = dynamic_cast<const ERefused*>(&e))
        return Service + " Server lehnt " + (r->Command.empty() ? "die Verbindung" : shown(r->Command)) +
               " ab: " + shown(r->Reply);
    if (const auto* n = dynamic_cast<const ENotOffered*>(&e)) {
        std::string line = Service + " Server bietet kein " + n->Extension + " an";
        if (!n->Reply.empty())
            line += " (Antwort auf " + n->Asked + ": " + shown(n->Reply) + ")";
        return line;
    }
    if (const std::string reply = ServerReply(Service, e); !reply.empty())
        return Service + " Server meldet: " + reply;
    return {};
}

std::string FailureCause(const std::string& Service, const std::string& Server, const TAsyncSocket& Component,
                         const std::exception& e) {
    if (dynamic_cast<const EAbortError*>(&e))
        return {};
    const std::string server = Service + "-Server " + Server;
    if (Server.empty())
        return "Es ist kein " + Service + "-Server eingetragen.";
    if (std::string cause = tokenCause(Service, Server, e); !cause.empty())
        return cause;
    if (const auto* c = dynamic_cast<const ECertificateError*>(&e))
        return "Das Zertifikat des " + Service + "-Servers " + Server + ansi(" wurde abgelehnt: ") + c->Reason + ".";
    if (const auto* n = dynamic_cast<const ENotOffered*>(&e)) {
        if (startsTls(n->Extension))
            return "Der " + server + ansi(" bietet keine Verschlüsselung mit ") + n->Extension + " an: " +
                   sentence(RefusalLine(Service, e)) + security();
        return "Der " + server + " bietet keine Anmeldung an, die Postbridge kennt: " + sentence(RefusalLine(Service, e));
    }
    if (const auto* r = dynamic_cast<const ERefused*>(&e)) {
        if (startsTls(r->Command))
            return "Der " + server + ansi(" bietet keine Verschlüsselung mit ") + r->Command + " an: " +
                   sentence(RefusalLine(Service, e)) + security();
        if (dynamic_cast<const ELoginRefused*>(&e))
            return "Der " + server + " hat die Anmeldung abgelehnt: " + sentence(RefusalLine(Service, e));
        return sentence(RefusalLine(Service, e));
    }
    if (const std::string reply = ServerReply(Service, e); !reply.empty())
        return "Der " + server + " meldet: " + reply;
    const std::string what = e.what();
    if (what.starts_with("STLS refused"))
        return "Der " + server + ansi(" bietet keine Verschlüsselung mit STLS an: ") + sentence(shown(what)) + security();
    if (what.starts_with("TLS Handshake Failed") || what == "Data before TLS handshake")
        return ansi("Die verschlüsselte Verbindung zum ") + server + " kam nicht zustande: " + shown(what) +
               ansi(". Prüfen Sie auf der Seite \"Sicherheit\" der Konfiguration, ob die Verschlüsselung zum "
                    "Port passt (POP3: 995 mit SSL/TLS, 110 mit STARTTLS; SMTP: 465 mit SSL/TLS, 587 mit "
                    "STARTTLS).");
    if (contains(what, "Timed out") || contains(what, "Timed Out") || contains(what, ansi("Zeitüberschreitung")))
        return "Der " + server + " antwortet nicht.";
    if ((what == "Connection Failed" && Component.LastSocketError() == ConnectionRefused) || what == "Connection refused")
        return "Der " + server + " hat die Verbindung abgelehnt.";
    if (what == "Null Remote Address" || what == "Host Lookup Failed")
        return "Der Name des " + Service + "-Servers " + Server + " wurde nicht gefunden.";
    if (dynamic_cast<const EProtocolError*>(&e))
        return "Der " + server + ansi(" hält sich nicht an das Protokoll (") + what + ansi("); die Verbindung wurde getrennt.");
    if (what == "Connection closed")
        return "Der " + server + " hat die Verbindung beendet.";
    if (what == "Authentication failed")
        return "Der " + server + " hat die Anmeldung abgelehnt.";
    return "Die Verbindung zum " + server + ansi(" ist gescheitert: ") + what + ".";
}

std::string ConnectFailureBox(const std::string& Service, const std::string& Server, const TAsyncSocket& Component,
                              const std::exception& e) {
    const std::string cause = FailureCause(Service, Server, Component, e);
    // A server without the protection or the login the settings ask for answered all along.
    if (cause.empty() || Server.empty() || tlsFailure(e) || dynamic_cast<const ENotOffered*>(&e) ||
        !tokenCause(Service, Server, e).empty())
        return cause;
    if (dynamic_cast<const ELoginRefused*>(&e))
        return ansi("Der Server hat Sie nicht autorisiert. Stellen Sie sicher, dass Sie in der Konfiguration "
                    "das richtige Passwort und den korrekten Login-Namen eingestellt haben. ") +
               sentence(RefusalLine(Service, e));
    return ansi("Es konnte keine Verbindung zu ") + Server +
           ansi(" hergestellt werden. Überprüfen Sie Ihre Einstellungen. Vielleicht sind Sie aber zur Zeit auch "
                "nicht mit dem Internet verbunden. ") +
           cause;
}

} // namespace pb
