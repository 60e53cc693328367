#pragma once
// The main window Tmain: the plug-in's whole visible face and its only driver. It runs the
// one-time start-up on its first activation (log, settings, host, the "EMAIL" area), starts the
// mail runs from its buttons, keeps the run state and the button enable states, cancels, and
// detaches from the host when it closes. The runs themselves are classes of src/mail/ that
// report to the window through the TRunFace it implements.
#include "app/LogFormat.h"
#include "host/EchodeskAPI.h"
#include "mail/IncomingRun.h"
#include "mail/OutgoingRun.h"
#include "mail/RunFace.h"
#include "mail/Settings.h"
#include "net/Pop3Client.h"
#include "net/SmtpClient.h"
#include "platform/Session.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pb {

class TConfigForm;
class TAddressForm;
class TQuickForm;

// The program's title (task bar, message box captions) and the main window's caption.
inline constexpr const char* kAppTitle = "Postbridge Alpha 4";
inline constexpr const char* kMainCaption = "Postbridge Rel. Alpha 4";

class Tmain : public QWidget, public TRunFace {
    Q_OBJECT
public:
    explicit Tmain(QWidget* parent = nullptr);
    ~Tmain() override;

    // ---- Published methods, in the order of the window's method table ----
    void ReadMails();                       // retrieval run (TIncomingRun)
    void SendMails();                       // sending run (TOutgoingRun)
    void LogEntry(const std::string& Text) override; // appends one line (Text: Windows-1252)
    void BitBtn6Click();                    // "Beenden"
    // The end asked for from outside (SIGTERM at a log-out, systemctl stop): every open dialog
    // is left as its "Abbrechen" leaves it, a running run is cancelled, and the window closes
    // as "Beenden" closes it, the log mail stored.
    void EndAsBeenden();
    void FormActivate();                    // one-time start-up; later calls return at once
    void FormCreate();                      // arms the one-time start-up
    void BitBtn5Click();                    // "Konfiguration" (may raise; see Click wiring)
    void BitBtn2Click();                    // "nur lesen"
    void BitBtn3Click();                    // "nur senden"
    void BitBtn1Click();                    // "Internet-Poll"
    virtual void FormClose();               // shut-down: detaches from the host
    void edapi1Disconnecting();             // stores the activity log in "REPORT"
    void edapi1ServerDisconnected();        // the host ended the connection
    void BitBtn7Click();                    // "Abbrechen"
    void BitBtn4Click();                    // "QuickView"

    // ---- The face the runs report to ----
    void ShowRunText(TRunText which, const std::string& text) override;
    void ShowProgress(int percent) override;
    void ShowBox(const std::string& text) override;
    std::optional<std::vector<std::string>> AskRecipients(const std::string& Subject) override;
    void ConnectionStarting() override;     // SetRunButtons
    void ConnectionFailed() override;       // SetConnectFailedButtons
    std::string TrustedFingerprint(const std::string& Host, int Port) override;   // from pbridge.crt
    bool AskToTrust(const ECertificateError& Refusal) override;                   // the certificate box

    // ---- Helpers for the runs ----
    // Sets a label from Windows-1252 text; ClearLabels empties status, details1 and details2.
    void SetLabel(QLabel* label, const std::string& text);
    void ClearLabels();
    // Button rows of the enable-state table: during a connection attempt or run only
    // "Abbrechen" is enabled; after a failed connection attempt all but "Abbrechen" are.
    void SetRunButtons();
    void SetConnectFailedButtons();
    // End of a button's run: run buttons on only while the host is attached; QuickView,
    // Konfiguration, Beenden on; Abbrechen off.
    void RestoreIdleButtons();
    // The log's lines in order, as Windows-1252 bytes (the text of the log mail).
    const std::vector<std::string>& LogLines() const { return logLines_; }

    // ---- Module state (GUI thread only) ----
    bool FirstActivation = false;
    std::vector<std::string> AreaNames;     // the host's areas, fetched once at start-up
    TSettings Settings;                     // RunState and ShowConnectError come with TRunFace

    // ---- The dialogs, created by the program body after the main window (not owned) ----
    TConfigForm* ConfigForm = nullptr;
    TAddressForm* AddressForm = nullptr;
    TQuickForm* QuickForm = nullptr;

    // ---- Non-visual components ----
    std::unique_ptr<TEchodeskAPI> edapi1;
    std::unique_ptr<TPop3Client> POP3_Service;
    std::unique_ptr<TSmtpClient> SMTP_Service;
    // The runs, working on the components above and reporting to this window.
    std::unique_ptr<TIncomingRun> IncomingRun;
    std::unique_ptr<TOutgoingRun> OutgoingRun;

    // ---- Controls, top to bottom ----
    QFrame* Panel1 = nullptr;
    QToolButton* BitBtn1 = nullptr; // Internet-Poll
    QToolButton* BitBtn2 = nullptr; // nur lesen
    QToolButton* BitBtn3 = nullptr; // nur senden
    QToolButton* BitBtn4 = nullptr; // QuickView
    QToolButton* BitBtn5 = nullptr; // Konfiguration
    QToolButton* BitBtn7 = nullptr; // Abbrechen
    QToolButton* BitBtn6 = nullptr; // Beenden
    QGroupBox* GroupBox1 = nullptr;
    QLabel* status = nullptr;
    QLabel* details1 = nullptr;
    QLabel* details2 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPlainTextEdit* log = nullptr;

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void CreateControls();
    void CreateComponents();
    void StartUp();
    // Runs a button's work with the standard error box for anything that escapes it.
    template <class F> void Guarded(F&& work);
    // Runs a run button's work: labels cleared, the window's close held back until it returns,
    // an escaped error shown and the window made usable again; then the idle buttons (and,
    // when `clearLabelsAfter`, empty labels) once the work has ended normally.
    template <class F> void RunButton(F&& run, bool clearLabelsAfter);
    // The closing steps of a run button after an error escaped the run: the window must stay
    // usable, so the idle states come back and the run state is reset.
    void RecoverFromEscapedError();

    TLogClock logClock_;
    std::vector<std::string> logLines_;
    // During a run the box gets its new lines in batches: a line appended alone makes the box
    // lay out and measure it at once, which costs more than receiving a small mail.
    QString pendingLog_;
    QTimer* logFlush_ = nullptr;
    void FlushLog();
    // During a run the window is painted at most every PaintIntervalMs: a mail changes a label
    // and the log, and painting and handing the window to the X server each time cost more than
    // receiving a small mail. The widgets take their new state at once; only the picture waits.
    bool ThrottlePaint();
    QTimer* paintLater_ = nullptr;
    std::int64_t paintedAtMs_ = 0;
    int runDepth_ = 0;          // > 0 while a run, a dialog of the window or the start-up is under way
    bool closeAfterRun_ = false; // the window was closed during a run: close when it ends
    bool closed_ = false;        // FormClose has run
    // EndAsBeenden: closes the open dialogs, and tries again while one is busy.
    void LeaveDialogs();
    QTimer* leaveDialogs_ = nullptr;
    // The start-up refusals: a working folder others may write to, a channel folder that is
    // not the user's own. Both show their box; the first also closes the window.
    bool WorkingFolderRefused();
    void ShowChannelRefusal(const ChannelDir& dir);
    // The passwords the keyring holds, read when the settings keep them there and they have
    // not been read yet (the keyring may ask to be unlocked). False, after a box, while it
    // does not give them.
    bool SecretsReady();
    bool secretsUnread_ = false;
    bool readingSecrets_ = false;
};

} // namespace pb
