// The poll without a window. It does what the window's start-up, one of its run buttons and
// "Beenden" do, in that order, with the face of the runs turned to the terminal: the log goes to
// standard output line by line in the log's own format, what would be a box goes to standard
// error, nobody is asked for a recipient, and SIGINT/SIGTERM are "Abbrechen".
#include "app/Headless.h"

#include "app/LogFormat.h"
#include "app/PlugIn.h"
#include "app/Signals.h"
#include "host/EchodeskAPI.h"
#include "mail/Config.h"
#include "mail/IncomingRun.h"
#include "mail/Keyring.h"
#include "mail/OutgoingRun.h"
#include "mail/RunFace.h"
#include "net/Pop3Client.h"
#include "net/SmtpClient.h"
#include "platform/SharedMemory.h"
#include "platform/AnsiText.h"
#include "platform/MessageBoxes.h"
#include "platform/PrivateFiles.h"
#include "platform/Session.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QLocale>

#include <cstdio>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace pb {
namespace {

// One line on standard error, prefixed with the program's name; `text` is UTF-8.
void complain(const std::string& text) {
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    std::fprintf(stderr, "postbridge: %s\n", line.c_str());
    std::fflush(stderr);
}

// Boxes that no run shows through its face (a question of a component) are printed too; a
// question is answered "no", the careful answer when nobody is there to read it.
class StderrBoxes final : public MessageBoxes {
public:
    MsgResult show(std::string_view text, MsgKind, MsgButtons buttons, std::string_view) override {
        complain(toUtf8(text));
        return buttons == MsgButtons::YesNo ? MsgResult::No : MsgResult::Ok;
    }
};

class THeadlessPoll final : public TRunFace {
public:
    THeadlessPoll() {
        DescribePlugIn(host_);
        host_.AutoConnect = false;
        host_.OnDisconnecting = [this] { StoreLogMail(host_, lines_); };
        host_.OnServerDisconnected = [this] {
            LogEntry(ansi("ED95 Verbindung zu Echodesk verloren"));
            hostLost_ = true;
            CancelRuns();
        };
    }

    int Run(THeadlessMode mode);

    void Cancel() {
        if (!cancelled_)
            LogEntry(ansi("STRT Abbruch durch Signal"));
        cancelled_ = true;
        CancelRuns();
    }

    void LogEntry(const std::string& Text) override {
        std::string line = logClock_.Line(Text);
        std::fprintf(stdout, "%s\n", toUtf8(line).c_str());
        std::fflush(stdout);
        lines_.push_back(std::move(line));
    }
    // The text lines and the bar only repeat what the log says.
    void ShowRunText(TRunText, const std::string&) override {}
    void ShowProgress(int) override {}
    void ShowBox(const std::string& text) override { complain(toUtf8(text)); }
    std::optional<std::vector<std::string>> AskRecipients(const std::string&) override { return std::nullopt; }
    // A certificate trusted in the window is trusted here too; a new one is only reported, as
    // nobody is there to check its fingerprint. One that replaced a trusted certificate is
    // named as changed, with both fingerprints: that may be an attack on the connection.
    std::string TrustedFingerprint(const std::string& Host, int Port) override {
        return pb::TrustedFingerprint(ReadTrustList(), Host, Port);
    }
    bool AskToTrust(const ECertificateError& Refusal) override {
        const std::string server = Refusal.Host + ":" + std::to_string(Refusal.Port);
        if (!Refusal.TrustedFingerprint.empty())
            complain("Das Zertifikat von " + server + " hat sich geändert und wird nicht angenommen: " +
                     toUtf8(Refusal.Reason) + ". Bisher vertraut (SHA-256): " + GroupedFingerprint(Refusal.TrustedFingerprint) +
                     "; jetzt angeboten (SHA-256): " + GroupedFingerprint(Refusal.Fingerprint) +
                     ". Das kann ein Angriff auf die Verbindung sein; vertrauen Sie dem neuen Zertifikat im "
                     "Fenster nur, wenn Ihr Anbieter den Wechsel bestätigt hat.");
        else
            complain("Das Zertifikat von " + server + " wird nicht angenommen: " + toUtf8(Refusal.Reason) +
                     " (SHA-256 " + GroupedFingerprint(Refusal.Fingerprint) +
                     "). Ohne Fenster wird nicht nachgefragt; bestätigen Sie es einmal im Fenster.");
        return false;
    }
    void ConnectionStarting() override {}
    void ConnectionFailed() override {}

private:
    void CancelRuns() {
        incoming_.Cancel();
        outgoing_.Cancel();
    }
    bool Attach();
    // Runs one run; an error that leaves it is reported and counts as a failure.
    template <class F> void Guarded(F&& run);

    TSettings settings_;
    TEchodeskAPI host_;
    TPop3Client pop3_;
    TSmtpClient smtp_;
    TIncomingRun incoming_{*this, host_, pop3_, settings_};
    TOutgoingRun outgoing_{*this, host_, smtp_, settings_};
    TLogClock logClock_;
    std::vector<std::string> lines_;
    bool cancelled_ = false;
    bool hostLost_ = false;
    bool escaped_ = false;
};

bool configFileExists() {
    struct stat st {};
    return ::stat(kConfigFileName, &st) == 0 && !S_ISDIR(st.st_mode);
}

template <class F> void THeadlessPoll::Guarded(F&& run) {
    try {
        run();
    } catch (const std::exception& e) {
        escaped_ = true;
        RunState = TRunState::Idle;
        complain(toUtf8(e.what()));
    }
}

bool THeadlessPoll::Attach() {
    LogEntry(ansi("ED95 Verbinde mit Echodesk 95..."));
    const ChannelDir dir = channelDirectory();
    if (!dir.ok) {
        complain("Der Kanalordner " + dir.refused + " " + toUtf8(ChannelRefusalReason(dir)) +
                 ". Er muss Ihnen allein gehören (0700).");
        return false;
    }
    if (!dir.passedBy.empty())
        LogEntry(ChannelPassedBy(dir));
    removeLeftovers();   // what a crashed run left in the channel folder (mail text included)
    host_.Connect();
    if (!host_.Connected()) {
        LogEntry(ansi("ED95 Verbindung zu Echodesk konnte nicht erstellt werden"));
        // Without a window nothing starts a host: a cron job must not leave one behind.
        complain("Kein Hostprogramm erreichbar im Kanalordner " + dir.path +
                 ". Ohne Fenster startet Postbridge keines; starten Sie es mit \"systemctl --user enable --now edhost\" "
                 "oder \"edhost serve --user-base\" (mit --dir: \"edhost serve --base ORDNER\"), mit derselben EDAPI_SESSION.");
        return false;
    }
    LogEntry(ansi("ED95 Verbunden mit Echodesk"));
    return true;
}

int THeadlessPoll::Run(THeadlessMode mode) {
    LogEntry(ansi("STRT Postbridge Alpha 4 gestartet"));
    const std::string folder = QDir::currentPath().toStdString();
    if (writableByOthers(folder)) {
        complain("Der Arbeitsordner " + folder +
                 " ist für andere Benutzer beschreibbar; Postbridge arbeitet nur in einem Ordner, in den "
                 "allein Sie schreiben dürfen (z. B. chmod go-w).");
        return kExitUsage;
    }
    LogEntry(ansi("CONF Lese Konfiguration..."));
    if (!configFileExists()) {
        complain("In " + folder +
                 " gibt es keine pbridge.ini; richten Sie Postbridge einmal mit dem Fenster unter "
                 "\"Konfiguration\" ein.");
        return kExitUsage;
    }
    try {
        ReadConfig(settings_);
    } catch (const std::exception& e) {
        complain("pbridge.ini in " + folder + " kann nicht gelesen werden: " + toUtf8(e.what()));
        return kExitUsage;
    }
    // Without a window nobody can answer the keyring's prompt: it must be open already, and a
    // run that cannot have the passwords stops before it asks any server.
    try {
        LoadSecrets(settings_, kKeyringHeadlessMs, false);
    } catch (const EKeyringError& e) {
        complain(toUtf8(e.Message()) +
                 " Ein Lauf ohne Fenster (etwa aus cron, außerhalb der Desktop-Sitzung) kann den "
                 "Schlüsselbund weder erreichen noch entsperren. Starten Sie ihn in der angemeldeten "
                 "Sitzung (etwa mit einem systemd-Timer des Benutzers) oder wählen Sie unter "
                 "\"Konfiguration\" \"Passwörter im Schlüsselbund\" ab.");
        return kExitFailed;
    }
    if (settings_.SecretPlace == TSettings::TSecretPlace::Keyring)
        LogEntry(ansi("CONF Passwörter aus dem Schlüsselbund gelesen"));
    if (cancelled_)
        return kExitFailed;
    if (!Attach())
        return kExitUsage;

    Guarded([this] {
        std::vector<std::string> areas;
        EnsureEmailArea(host_, areas, [this](const std::string& entry) { LogEntry(entry); });
    });
    if (!escaped_ && !cancelled_ && !hostLost_ && mode != THeadlessMode::Send)
        Guarded([this] { incoming_.ReadMails(); });
    if (!escaped_ && !cancelled_ && !hostLost_ && mode != THeadlessMode::Read)
        Guarded([this] { outgoing_.SendMails(); });

    // "Beenden": the log mail goes to "REPORT" while the host is still attached.
    // A log that cannot be stored is said, but fails no run: the mails went where they belong.
    try {
        host_.Disconnect();
    } catch (const std::exception& e) {
        complain("Das Protokoll konnte nicht in REPORT gespeichert werden: " + toUtf8(e.what()));
    }

    const int failed = incoming_.FailedItems + outgoing_.FailedItems;
    if (cancelled_) {
        complain("Abgebrochen; was fehlt, holt oder sendet der nächste Lauf.");
        return kExitFailed;
    }
    if (hostLost_ || escaped_ || incoming_.RunFailed || outgoing_.RunFailed) {
        complain("Der Lauf ist fehlgeschlagen (Verbindung, Anmeldung oder Hostprogramm); Einzelheiten im Protokoll.");
        return kExitFailed;
    }
    if (failed > 0) {
        complain(std::to_string(failed) + (failed == 1 ? " Mail oder Nachricht wurde" : " Mails oder Nachrichten wurden") +
                 " nicht übertragen; der nächste Lauf versucht sie erneut.");
        return kExitFailed;
    }
    return kExitDone;
}

} // namespace

int RunHeadless(THeadlessMode mode) {
    StderrBoxes boxes;
    setMessageBoxes(&boxes);
    int rc = kExitFailed;
    {
        THeadlessPoll poll;
        QObject context;
        onTerminationSignals(&context, [&poll] { poll.Cancel(); });
        rc = poll.Run(mode);
    }
    setMessageBoxes(nullptr);
    return rc;
}

} // namespace pb
