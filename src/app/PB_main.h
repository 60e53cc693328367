#pragma once
// The main window Tmain: the plug-in's whole visible face and its only driver. It runs the
// one-time start-up on its first activation (log, settings, host, the "EMAIL" area), starts the
// mail runs from its buttons, keeps the run state and the button enable states, cancels, and
// detaches from the host when it closes. The runs themselves (ReadMails, SendMails and their
// component handlers) are methods of this class defined in src/mail/.
#include "app/Settings.h"
#include "host/EchodeskAPI.h"
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

class Tmain : public QWidget {
    Q_OBJECT
public:
    explicit Tmain(QWidget* parent = nullptr);
    ~Tmain() override;

    // ---- Published methods, in the order of the window's method table ----
    void ReadMails();                       // retrieval run (src/mail/IncomingRun.cpp)
    void SendMails();                       // sending run (src/mail/OutgoingRun.cpp)
    void SpeicherAktMail();                 // converts and stores the mail just retrieved
    void BerechneSummen();                  // TotalBytes = sum of the listed sizes
    bool TryConnection();                   // POP3 connection step with log and buttons
    bool TrySMTPConnection();               // SMTP connection step with log and buttons
    void LogEntry(const std::string& Text); // appends one line (Text: Windows-1252)
    void BitBtn6Click();                    // "Beenden"
    void FormActivate();                    // one-time start-up; later calls return at once
    void FormCreate();                      // arms the one-time start-up
    void BitBtn5Click();                    // "Konfiguration" (may raise; see Click wiring)
    void BitBtn2Click();                    // "nur lesen"
    void POP3_ServiceList(std::int32_t Msg, std::int32_t Size);
    void BitBtn3Click();                    // "nur senden"
    void SMTP_ServiceSuccess();
    void SMTP_ServiceFailure();
    void SMTP_ServiceAuthenticationFailed(bool& Handled);
    void POP3_ServiceAuthenticationFailed(bool& Handled);
    void BitBtn1Click();                    // "Internet-Poll"
    virtual void FormClose();               // shut-down: detaches from the host
    void edapi1Disconnecting();             // stores the activity log in "REPORT"
    void edapi1ServerDisconnected();        // the host ended the connection
    void POP3_ServiceInvalidHost(bool& Handled);
    void POP3_ServicePacketRecvd();
    void BitBtn7Click();                    // "Abbrechen"
    void SMTP_ServiceSendStart();
    void BitBtn4Click();                    // "QuickView"

    // ---- Helpers for the runs ----
    // Sets a label from Windows-1252 text; ClearLabels empties status, details1 and details2.
    void SetLabel(QLabel* label, const std::string& text);
    void ClearLabels();
    // Button rows of the enable-state table: during a connection attempt or run only
    // "Abbrechen" is enabled; after a failed connection attempt all but "Abbrechen" are.
    void SetRunButtons();
    void SetConnectFailedButtons();
    // The connection step of a run for `service` ("POP3", "SMTP") through `component`: shows
    // and logs the attempt, runs `connect`; when that throws, shows the box that the connection
    // failed with the cause (unless a handler has shown a more precise one, or the user
    // cancelled), logs it and sets the buttons for a failed connection. With no server entered
    // nothing is tried. True when connected.
    bool ConnectService(const std::string& service, const std::string& server, TAsyncSocket& component,
                        const std::function<void()>& connect);
    // End of a button's run: run buttons on only while the host is attached; QuickView,
    // Konfiguration, Beenden on; Abbrechen off.
    void RestoreIdleButtons();
    // The log's lines in order, as Windows-1252 bytes (the text of the log mail).
    const std::vector<std::string>& LogLines() const { return logLines_; }

    // ---- Module state (GUI thread only) ----
    bool FirstActivation = false;
    std::vector<std::string> AreaNames;     // the host's areas, fetched once at start-up
    TRunState RunState = TRunState::Idle;
    bool ShowConnectError = true;           // one box per failed connection attempt
    TSettings Settings;
    // Retrieval run state: the listing (Msg, Size) in server order, the mail count and total.
    std::vector<std::pair<std::int32_t, std::int32_t>> ServerList;
    std::int32_t MailsOnServer = 0;
    std::int64_t TotalBytes = 0;            // 64 bits: a mailbox may well exceed 2 GB
    // Progress of the mail being retrieved: its size from the listing, and when the bar was
    // last moved (ms on the steady clock; the bar is repainted at most every few ms).
    std::int32_t CurrentMailSize = 0;
    std::int64_t ProgressShownAt = 0;
    // Sending run state: result of the last SendMail.
    bool SendSucceeded = false;

    // ---- The dialogs, created by the program body after the main window (not owned) ----
    TConfigForm* ConfigForm = nullptr;
    TAddressForm* AddressForm = nullptr;
    TQuickForm* QuickForm = nullptr;

    // ---- Non-visual components ----
    std::unique_ptr<TEchodeskAPI> edapi1;
    std::unique_ptr<TPop3Client> POP3_Service;
    std::unique_ptr<TSmtpClient> SMTP_Service;

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
    // Design-time properties and event wiring of the mail components; defined beside the runs.
    void SetupPOP3Service();
    void SetupSMTPService();
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

    std::vector<std::string> logLines_;
    // During a run the box gets its new lines in batches: a line appended alone makes the box
    // lay out and measure it at once, which costs more than receiving a small mail.
    QString pendingLog_;
    QTimer* logFlush_ = nullptr;
    void FlushLog();
    int runDepth_ = 0;          // > 0 while a run button's handler is under way
    bool closeAfterRun_ = false; // the window was closed during a run: close when it ends
    bool closed_ = false;        // FormClose has run
    // The attach completed (OnConnected fired) since the last attempt began: only then is
    // there a host to take the log mail.
    bool hostAttached_ = false;
    // The start-up refusals: a working folder others may write to, a channel folder that is
    // not the user's own. Both show their box; the first also closes the window.
    bool WorkingFolderRefused();
    void ShowChannelRefusal(const ChannelDir& dir);
};

// The notice line shown in details2 and handed to the host as the plug-in's copyright.
std::string NoticeLine();

} // namespace pb
