// What the retrieval and the sending run share: the text lines and the connection step; and
// the "EMAIL" area that both need, made at start-up.
#include "mail/FailureCause.h"
#include "mail/MailRun.h"
#include "mail/TokenLogin.h"
#include "platform/AnsiText.h"
#include "platform/Exceptions.h"

#include <QString>

namespace pb {

void EnsureEmailArea(TEchodeskAPI& host, std::vector<std::string>& AreaNames,
                     const std::function<void(const std::string&)>& LogEntry) {
    host.GetAreaList(AreaNames);
    for (const std::string& name : AreaNames)
        if (toUnicode(name).compare(QStringLiteral("EMAIL"), Qt::CaseInsensitive) == 0)
            return;
    host.CreateArea("EMAIL", "Fidonet", 9);
    LogEntry(ansi("ED95 Area EMAIL erstellt"));
}

void TMailRun::ClearLabels() {
    SetLabel(TRunText::Status, {});
    SetLabel(TRunText::Details1, {});
    SetLabel(TRunText::Details2, {});
}

void TMailRun::CancelWhile(TRunState running, TAsyncSocket& component) {
    if (Face.RunState != running)
        return;
    component.Abort();
    Face.RunState = TRunState::Cancelled;
}

bool TMailRun::ConnectService(const std::string& service, const std::string& server, TAsyncSocket& component,
                              const std::function<void()>& connect) {
    SetLabel(TRunText::Status, "Verbinden mit Server " + server + " ...");
    LogEntry(service + " Erstelle Verbindung...");
    try {
        // Without a name the component would look up nothing and report a server not found.
        if (server.empty())
            throw Exception("No server");
        connect();
    } catch (const std::exception& e) {
        const auto* certificate = dynamic_cast<const ECertificateError*>(&e);
        if (Face.RunState == TRunState::Cancelled) {
            // The user's own "Abbrechen": nothing to report but the log line.
        } else if (certificate) {
            // Its own question instead of the box: trust this certificate from now on?
            RunFailed = true;
            try {
                if (Face.AskToTrust(*certificate))
                    LogEntry(service + ansi(" Zertifikat wird künftig vertraut: ") + certificate->Fingerprint);
            } catch (const std::exception& saveError) {
                LogEntry(service + " " + saveError.what());
            }
        } else {
            RunFailed = true;
            if (Face.ShowConnectError)
                Face.ShowBox(ConnectFailureBox(service, server, component, e));
            else
                Face.ShowConnectError = true;   // a handler has shown the precise box already
        }
        if (const std::string refusal = RefusalLine(service, e); !refusal.empty())
            LogEntry(refusal);
        LogEntry(service + " Keine Verbindung zum Server");
        SetLabel(TRunText::Status, {});
        Face.ConnectionFailed();
        return false;
    }
    LogEntry(service + " Verbunden mit Server " + server);
    return true;
}

TBearerTokenEvent TMailRun::LoginTokens(const TTokenLogin& login, const std::string& service) {
    if (login.Method == TLoginMethod::Password)
        return nullptr;
    LogEntry(service + " Anmeldung: " +
             (login.Method == TLoginMethod::Command ? std::string("Befehl")
                                                    : std::string("OAuth 2.0, ") + OAuthPresetName(login.Preset)));
    return TokenEvent(login, [this, service](const std::string& text) { LogEntry(service + " " + text); });
}

void TMailRun::ConnectSecurely(const std::string& service, TAsyncSocket& socket, TSecurity mode,
                               const std::function<void()>& connect) {
    try {
        socket.TrustedFingerprint = Face.TrustedFingerprint(socket.Host, socket.Port);
        connect();
    } catch (const std::exception& e) {
        // The clients keep passwords out of their texts. A refusal by the server is logged in
        // its own words by the connection step.
        const bool refusal = dynamic_cast<const ERefused*>(&e) || dynamic_cast<const ENotOffered*>(&e);
        if (!refusal && (mode != TSecurity::None || dynamic_cast<const ETimeoutError*>(&e) || socket.Secure()))
            LogEntry(service + " " + e.what());
        throw;
    }
    if (socket.Secure())
        LogEntry(service + ansi(" Verschlüsselt: ") + socket.TlsDescription());
}

} // namespace pb
