#include "app/PB_main.h"

#include "app/Glyphs.h"
#include "app/PlugIn.h"
#include "app/LogFormat.h"
#include "mail/Config.h"
#include "mail/Keyring.h"
#include "mail/TokenLogin.h"
#include "platform/AnsiText.h"
#include "platform/Exceptions.h"
#include "platform/MessageBoxes.h"
#include "platform/PrivateFiles.h"
#include "platform/SharedMemory.h"
#include "ui/CertificateBox.h"
#include "ui/Fonts.h"
#include "ui/PB_address.h"
#include "ui/PB_conf.h"
#include "ui/PB_quick.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCloseEvent>
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QAction>
#include <QScrollBar>
#include <QShowEvent>
#include <QTimer>
#include <QToolButton>

#include <QDir>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <sys/stat.h>

namespace pb {

// How long a line of a run may wait before it is shown in the log box.
constexpr int LogFlushIntervalMs = 100;
// How often the window is painted at most during a run (25 pictures a second).
constexpr int PaintIntervalMs = 40;
// How often the end of the program tries again to close a dialog that was busy.
constexpr int LeaveDialogsRetryMs = 50;

namespace {

// "pbridge.ini" counts as present when a non-directory of that name exists; a file that
// exists but cannot be read is present and makes the read fail with a clear error.
bool configFileExists() {
    struct stat st {};
    return ::stat(kConfigFileName, &st) == 0 && !S_ISDIR(st.st_mode);
}

QToolButton* makeButton(QWidget* parent, int left, const char* caption, const char* hint, Glyph glyph) {
    auto* b = new QToolButton(parent);
    b->setGeometry(left, 8, 75, 41);
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setIconSize(QSize(16, 16));
    b->setIcon(GlyphIcon(glyph));
    b->setText(QString::fromUtf8(caption));
    if (hint)
        b->setToolTip(QString::fromUtf8(hint));
    b->setFocusPolicy(Qt::StrongFocus);
    return b;
}

// Marks a handler as under way that the window must not close beneath: a run, a dialog of the
// window, the start-up. When the window was closed meanwhile, the close is carried out once
// the outermost of them has returned.
class RunScope {
public:
    RunScope(int& depth, bool& closeAfter, QWidget* window)
        : depth_(depth), closeAfter_(closeAfter), window_(window) { ++depth_; }
    ~RunScope() {
        if (--depth_ == 0 && closeAfter_) {
            closeAfter_ = false;
            QTimer::singleShot(0, window_, [w = window_] { w->close(); });
        }
    }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

private:
    int& depth_;
    bool& closeAfter_;
    QWidget* window_;
};

QLabel* makeLabel(QWidget* parent, int left, int top, int width) {
    auto* l = new QLabel(parent);
    l->setGeometry(left, top, width, 14);
    l->setTextFormat(Qt::PlainText);
    return l;
}

} // namespace

Tmain::Tmain(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QString::fromUtf8(kMainCaption));
    // Dialog border: fixed size, only the system menu and the close box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(594, 321);
    move(134, 102);
    setFont(uiFont());
    CreateControls();
    CreateComponents();
    FormCreate();
}

Tmain::~Tmain() = default;

void Tmain::CreateControls() {
    Panel1 = new QFrame(this);
    Panel1->setGeometry(0, 0, 594, 57);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setLineWidth(1);

    BitBtn1 = makeButton(Panel1, 8, "Internet-Poll", "Mail senden und empfangen", Glyph::Poll);
    BitBtn2 = makeButton(Panel1, 88, "nur lesen", "Mails abrufen, jedoch nichts senden", Glyph::Receive);
    BitBtn3 = makeButton(Panel1, 168, "nur senden", "Mails verschicken, jedoch keine neuen abrufen", Glyph::Send);
    BitBtn4 = makeButton(Panel1, 248, "QuickView", "Inhalt des Mail-Servers ansehen und bearbeiten", Glyph::QuickView);
    BitBtn5 = makeButton(Panel1, 328, "Konfiguration", nullptr, Glyph::Config);
    BitBtn7 = makeButton(Panel1, 408, "Abbrechen", "aktuellen Vorgang abbrechen", Glyph::Cancel);
    BitBtn6 = makeButton(Panel1, 488, "Beenden", "Postbridge beenden", Glyph::Exit);
    // "Abbrechen" stands left of "Beenden" but is reached after it with the tab key.
    setTabOrder(BitBtn1, BitBtn2);
    setTabOrder(BitBtn2, BitBtn3);
    setTabOrder(BitBtn3, BitBtn4);
    setTabOrder(BitBtn4, BitBtn5);
    setTabOrder(BitBtn5, BitBtn6);
    setTabOrder(BitBtn6, BitBtn7);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(0, 57, 594, 88);
    status = makeLabel(GroupBox1, 8, 16, 577);
    details1 = makeLabel(GroupBox1, 8, 40, 238);
    details2 = makeLabel(GroupBox1, 250, 40, 335);
    ProgressBar1 = new QProgressBar(GroupBox1);
    ProgressBar1->setGeometry(8, 64, 577, 14);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    log = new QPlainTextEdit(this);
    log->setGeometry(0, 145, 594, 176);
    log->setReadOnly(true);
    // A line longer than the window (a certificate's fingerprint, a server's refusal) wraps, so
    // that all of it can be read; copied, it is still one line.
    log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    log->setFont(logFont());
    log->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    // The platform's own menu would speak English.
    log->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* copy = new QAction(QStringLiteral("Kopieren"), log);
    connect(log, &QPlainTextEdit::copyAvailable, copy, &QAction::setEnabled);
    copy->setEnabled(false);
    connect(copy, &QAction::triggered, log, &QPlainTextEdit::copy);
    auto* all = new QAction(QStringLiteral("Alles markieren"), log);
    connect(all, &QAction::triggered, log, &QPlainTextEdit::selectAll);
    log->addActions({copy, all});
    setTabOrder(BitBtn7, log);

    connect(BitBtn1, &QToolButton::clicked, this, [this] { BitBtn1Click(); });
    connect(BitBtn2, &QToolButton::clicked, this, [this] { BitBtn2Click(); });
    connect(BitBtn3, &QToolButton::clicked, this, [this] { BitBtn3Click(); });
    connect(BitBtn4, &QToolButton::clicked, this, [this] { Guarded([this] { BitBtn4Click(); }); });
    connect(BitBtn5, &QToolButton::clicked, this, [this] { Guarded([this] { BitBtn5Click(); }); });
    connect(BitBtn6, &QToolButton::clicked, this, [this] { BitBtn6Click(); });
    connect(BitBtn7, &QToolButton::clicked, this, [this] { BitBtn7Click(); });
}

void Tmain::CreateComponents() {
    edapi1 = std::make_unique<TEchodeskAPI>(this);
    DescribePlugIn(*edapi1);
    // Host events arrive on the GUI thread; an exception must not cross the event loop.
    edapi1->OnDisconnecting = [this] { edapi1Disconnecting(); };
    edapi1->OnServerDisconnected = [this] { Guarded([this] { edapi1ServerDisconnected(); }); };

    POP3_Service = std::make_unique<TPop3Client>(this);
    SMTP_Service = std::make_unique<TSmtpClient>(this);
    IncomingRun = std::make_unique<TIncomingRun>(*this, *edapi1, *POP3_Service, Settings);
    OutgoingRun = std::make_unique<TOutgoingRun>(*this, *edapi1, *SMTP_Service, Settings);

    // The form's loading step: with AutoConnect on, the host is attached now, before the
    // first activation, and already knows the description set above. Whatever the host does,
    // the window is made: a failure is shown, never thrown out of the constructor.
    Guarded([this] { edapi1->Loaded(); });
}

template <class F> void Tmain::Guarded(F&& work) {
    try {
        work();
    } catch (const std::exception& e) {
        showException(e);
    }
}

void Tmain::FormCreate() {
    FirstActivation = true;
}

bool Tmain::event(QEvent* e) {
    if (e->type() == QEvent::UpdateRequest && ThrottlePaint())
        return true;
    if (e->type() == QEvent::WindowActivate && FirstActivation) {
        // Start-up may open the configuration dialog; run it from the event loop, not from
        // inside the activation event.
        QTimer::singleShot(0, this, [this] { FormActivate(); });
    }
    return QWidget::event(e);
}

bool Tmain::ThrottlePaint() {
    // The window's painting is one request for all its changed parts; a request held back here
    // stays owed, and the timer below hands it on once the interval has passed, so the last
    // state of a run is always painted.
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (RunState == TRunState::Idle || now - paintedAtMs_ >= PaintIntervalMs || now < paintedAtMs_) {
        paintedAtMs_ = now;
        if (paintLater_)
            paintLater_->stop();
        return false;
    }
    if (!paintLater_) {
        paintLater_ = new QTimer(this);
        paintLater_->setSingleShot(true);
        connect(paintLater_, &QTimer::timeout, this, [this] {
            paintedAtMs_ = QDateTime::currentMSecsSinceEpoch();
            QEvent request(QEvent::UpdateRequest);
            QWidget::event(&request);
        });
    }
    if (!paintLater_->isActive())
        paintLater_->start(static_cast<int>(PaintIntervalMs - (now - paintedAtMs_)));
    return true;
}

void Tmain::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // Without a window manager a shown window is never activated; showing counts as the first
    // activation then. FirstActivation keeps the start-up to one run either way.
    if (FirstActivation)
        QTimer::singleShot(0, this, [this] { FormActivate(); });
}

void Tmain::FormActivate() {
    if (!FirstActivation)
        return;
    RunScope scope(runDepth_, closeAfterRun_, this);
    Guarded([this] { StartUp(); });
}

void Tmain::StartUp() {
    FirstActivation = false;
    AreaNames.clear();
    RunState = TRunState::Idle;
    BitBtn7->setEnabled(false);

    LogEntry(ansi("STRT Postbridge Alpha 4 gestartet"));
    if (WorkingFolderRefused())
        return;
    LogEntry(ansi("CONF Lese Konfiguration..."));
    if (configFileExists()) {
        ReadConfig(Settings);
        secretsUnread_ = Settings.SecretPlace == TSettings::TSecretPlace::Keyring;
        SecretsReady();
    } else
        BitBtn5Click(); // the user fills in the settings before anything else happens

    LogEntry(ansi("ED95 Verbinde mit Echodesk 95..."));
    if (ChannelDir dir = channelDirectory(); !dir.ok)
        ShowChannelRefusal(dir);
    else if (!dir.passedBy.empty())
        LogEntry(ChannelPassedBy(dir));
    removeLeftovers();   // what a crashed run left in the channel folder (mail text included)
    edapi1->Connect();
    if (edapi1->Connected()) {
        LogEntry(ansi("ED95 Verbunden mit Echodesk"));
        SetLabel(status, ansi("Verbunden mit Echodesk 95"));
        EnsureEmailArea(*edapi1, AreaNames, [this](const std::string& entry) { LogEntry(entry); });
    } else {
        LogEntry(ansi("ED95 Verbindung zu Echodesk konnte nicht erstellt werden"));
        SetLabel(status, ansi("Nicht verbunden mit Echodesk 95"));
        BitBtn1->setEnabled(false);
        BitBtn2->setEnabled(false);
        BitBtn3->setEnabled(false);
    }
    SetLabel(details1, kMainCaption);
    SetLabel(details2, NoticeLine());
}

bool Tmain::WorkingFolderRefused() {
    // Attachments, the read list and the address book are written here: in a folder others
    // may write to, they could plant a link or a file under any of those names.
    const QString folder = QDir::currentPath();
    if (!writableByOthers(folder.toStdString()))
        return false;
    const std::string text = ansi("Der Arbeitsordner \"") + fromUnicode(folder) +
                             ansi("\" ist für andere Benutzer beschreibbar. Postbridge arbeitet "
                                  "nur in einem Ordner, in den allein Sie schreiben dürfen "
                                  "(z. B. chmod go-w). Postbridge wird beendet.");
    LogEntry(ansi("STRT Arbeitsordner für andere beschreibbar, Postbridge wird beendet"));
    messageDlg(text, MsgKind::Error, MsgButtons::Ok);
    QTimer::singleShot(0, this, [this] { close(); });
    return true;
}

void Tmain::ShowChannelRefusal(const ChannelDir& dir) {
    const std::string why = ChannelRefusalReason(dir);
    LogEntry(ansi("ED95 Kanalordner ") + dir.refused + " " + why);
    messageDlg(ansi("Der Kanalordner \"") + dir.refused + "\" " + why +
                   ansi(". Postbridge verbindet sich nicht mit Echodesk 95, solange dieser "
                        "Ordner nicht Ihnen allein gehört."),
               MsgKind::Error, MsgButtons::Ok);
}

void Tmain::LogEntry(const std::string& Text) {
    std::string line = logClock_.Line(Text);
    if (!pendingLog_.isEmpty())
        pendingLog_ += QLatin1Char('\n');
    pendingLog_ += toUnicode(line);
    logLines_.push_back(std::move(line));
    if (RunState == TRunState::Idle) {
        FlushLog();
        return;
    }
    if (!logFlush_) {
        logFlush_ = new QTimer(this);
        logFlush_->setSingleShot(true);
        logFlush_->setInterval(LogFlushIntervalMs);
        connect(logFlush_, &QTimer::timeout, this, [this] { FlushLog(); });
    }
    if (!logFlush_->isActive())
        logFlush_->start();
}

void Tmain::FlushLog() {
    if (logFlush_)
        logFlush_->stop();
    if (pendingLog_.isEmpty())
        return;
    // Several lines in one insertion are laid out when shown, not one by one.
    log->appendPlainText(pendingLog_);
    pendingLog_.clear();
}

void Tmain::SetLabel(QLabel* label, const std::string& text) {
    label->setText(toUnicode(text));
}

void Tmain::ClearLabels() {
    status->clear();
    details1->clear();
    details2->clear();
}

void Tmain::SetRunButtons() {
    for (QToolButton* b : {BitBtn1, BitBtn2, BitBtn3, BitBtn4, BitBtn5, BitBtn6})
        b->setEnabled(false);
    BitBtn7->setEnabled(true);
}

void Tmain::SetConnectFailedButtons() {
    for (QToolButton* b : {BitBtn1, BitBtn2, BitBtn3, BitBtn4, BitBtn5, BitBtn6})
        b->setEnabled(true);
    BitBtn7->setEnabled(false);
}

void Tmain::ReadMails() {
    IncomingRun->ReadMails();
}

void Tmain::SendMails() {
    OutgoingRun->SendMails();
}

void Tmain::ShowRunText(TRunText which, const std::string& text) {
    switch (which) {
    case TRunText::Status: SetLabel(status, text); break;
    case TRunText::Details1: SetLabel(details1, text); break;
    case TRunText::Details2: SetLabel(details2, text); break;
    }
}

void Tmain::ShowProgress(int percent) {
    ProgressBar1->setValue(percent);
}

void Tmain::ShowBox(const std::string& text) {
    showMessage(text);
}

std::optional<std::vector<std::string>> Tmain::AskRecipients(const std::string& Subject) {
    if (!AddressForm)
        throw Exception("Recipient dialog not created");
    return AddressForm->AskRecipients(Subject);
}

void Tmain::ConnectionStarting() {
    SetRunButtons();
}

std::string Tmain::TrustedFingerprint(const std::string& Host, int Port) {
    return pb::TrustedFingerprint(ReadTrustList(), Host, Port);
}

bool Tmain::AskToTrust(const ECertificateError& Refusal) {
    return AskToTrustCertificate(Refusal);
}

void Tmain::ConnectionFailed() {
    SetConnectFailedButtons();
}

void Tmain::RestoreIdleButtons() {
    FlushLog();
    if (edapi1->Connected()) {
        BitBtn1->setEnabled(true);
        BitBtn2->setEnabled(true);
        BitBtn3->setEnabled(true);
    }
    BitBtn4->setEnabled(true);
    BitBtn5->setEnabled(true);
    BitBtn7->setEnabled(false);
    BitBtn6->setEnabled(true);
}

void Tmain::RecoverFromEscapedError() {
    RestoreIdleButtons();
    RunState = TRunState::Idle;
}

template <class F> void Tmain::RunButton(F&& run, bool clearLabelsAfter) {
    RunScope scope(runDepth_, closeAfterRun_, this);
    if (!SecretsReady())
        return;
    ClearLabels();
    try {
        run();
    } catch (const std::exception& e) {
        showException(e);
        RecoverFromEscapedError();
        return;
    }
    if (clearLabelsAfter)
        ClearLabels();
    RestoreIdleButtons();
}

void Tmain::BitBtn1Click() {
    RunButton(
        [this] {
            ReadMails();
            // The sending half runs whatever the receiving half ended with, a cancel included.
            SendMails();
        },
        true);
}

void Tmain::BitBtn2Click() {
    // The retrieval run clears the labels itself when it ends normally.
    RunButton([this] { ReadMails(); }, false);
}

void Tmain::BitBtn3Click() {
    RunButton([this] { SendMails(); }, true);
}

void Tmain::BitBtn4Click() {
    if (!QuickForm)
        throw Exception("QuickView dialog not created");
    RunScope scope(runDepth_, closeAfterRun_, this);
    if (!SecretsReady())
        return;
    QuickForm->QuickServer = Settings.POP3Server;
    QuickForm->QuickPort = Settings.POP3Port;
    QuickForm->QuickUser = Settings.POP3User;
    QuickForm->QuickPassword = Settings.POP3Password;
    QuickForm->QuickSecurity = Settings.POP3Security;
    QuickForm->QuickLogin = Settings.POP3TokenLogin;
    QuickForm->ShowModal();
}

void Tmain::BitBtn5Click() {
    if (!ConfigForm)
        throw Exception("Configuration dialog not created");
    RunScope scope(runDepth_, closeAfterRun_, this);
    TConfigForm& f = *ConfigForm;
    SecretsReady();   // the dialog shows the passwords
    // The keyring is offered where a Secret Service answers, and to settings that use it (to
    // be left); new settings and those of an earlier version take it when it is there.
    const bool keyringThere = ProbeKeyring() != TKeyringState::Unreachable;
    const bool inKeyring = Settings.SecretPlace == TSettings::TSecretPlace::Keyring;
    f.KeyringChk->setEnabled(keyringThere || inKeyring);
    f.KeyringChk->setChecked(inKeyring ||
                             (keyringThere && Settings.SecretPlace == TSettings::TSecretPlace::Unchosen));
    if (configFileExists()) {
        // The modes first: a mode change moves a port that holds the old mode's default.
        f.PSecurity->setCurrentIndex(Settings.POP3Security);
        f.SSecurity->setCurrentIndex(Settings.SMTPSecurity);
        f.AuthChk->setChecked(Settings.SMTPAuth);
        f.SUser->setText(toUnicode(Settings.SMTPUser));
        f.SPasswd->setText(toUnicode(Settings.SMTPPassword));
        f.PSadresse->setText(toUnicode(Settings.POP3Server));
        f.SSadresse->setText(toUnicode(Settings.SMTPServer));
        f.Semail->setText(toUnicode(Settings.SMTPEmail));
        f.Slogin->setText(toUnicode(Settings.SMTPLogin));
        f.InitialChk->setChecked(Settings.StripInitials);
        f.PSport->setText(QString::number(Settings.POP3Port));
        f.SSport->setText(QString::number(Settings.SMTPPort));
        f.Uname->setText(toUnicode(Settings.POP3User));
        f.Upasswd->setText(toUnicode(Settings.POP3Password));
        f.deleteChk->setChecked(Settings.DeleteFromServer);
        // A refresh token the provider replaced during the runs is the one that still works.
        TTokenLogin pop3 = Settings.POP3TokenLogin, smtp = Settings.SMTPTokenLogin;
        pop3.RefreshToken = CurrentRefreshToken(pop3);
        smtp.RefreshToken = CurrentRefreshToken(smtp);
        f.ShowLogins(pop3, smtp);
    }
    f.ShowModal();
    if (f.CancelPressed)
        return;
    const TSettings before = Settings;
    Settings.SMTPServer = fromUnicode(f.SSadresse->text());
    Settings.POP3Server = fromUnicode(f.PSadresse->text());
    Settings.SMTPPort = StrToInt(fromUnicode(f.SSport->text()));
    Settings.POP3Port = StrToInt(fromUnicode(f.PSport->text()));
    Settings.SMTPEmail = fromUnicode(f.Semail->text());
    Settings.SMTPLogin = fromUnicode(f.Slogin->text());
    Settings.POP3User = fromUnicode(f.Uname->text());
    Settings.POP3Password = fromUnicode(f.Upasswd->text());
    Settings.StripInitials = f.InitialChk->isChecked();
    Settings.DeleteFromServer = f.deleteChk->isChecked();
    Settings.POP3Security = std::max(f.PSecurity->currentIndex(), 0);
    Settings.SMTPSecurity = std::max(f.SSecurity->currentIndex(), 0);
    Settings.SMTPAuth = f.AuthChk->isChecked() && Settings.SMTPSecurity > 0;
    Settings.SMTPUser = fromUnicode(f.SUser->text());
    Settings.SMTPPassword = fromUnicode(f.SPasswd->text());
    f.TakeLogins(Settings.POP3TokenLogin, Settings.SMTPTokenLogin);
    // Without a keyring to choose the file stays as an earlier version wrote it.
    if (f.KeyringChk->isEnabled())
        Settings.SecretPlace = f.KeyringChk->isChecked() ? TSettings::TSecretPlace::Keyring
                                                         : TSettings::TSecretPlace::File;
    if (Settings.SecretPlace != TSettings::TSecretPlace::Keyring)
        secretsUnread_ = false;
    try {
        SaveSettings(Settings, before, kKeyringWindowMs, [this](const std::string& line) { LogEntry(line); });
    } catch (const EKeyringError& e) {
        // The edits hold until the program ends; the file keeps what it had.
        LogEntry(ansi("CONF ") + e.Message());
        showMessage(e.Message() + ansi(" Die Einstellungen wurden nicht gespeichert, pbridge.ini bleibt, wie "
                                       "sie war; sie gelten, bis Postbridge endet. Entsperren Sie den "
                                       "Schlüsselbund und speichern Sie erneut, oder wählen Sie "
                                       "\"Passwörter im Schlüsselbund\" ab."));
    }
}

bool Tmain::SecretsReady() {
    if (!secretsUnread_)
        return true;
    // A button pressed while the keyring's prompt is open waits for that one.
    if (readingSecrets_)
        return false;
    try {
        readingSecrets_ = true;
        LoadSecrets(Settings, kKeyringWindowMs, true);
        readingSecrets_ = false;
    } catch (const EKeyringError& e) {
        readingSecrets_ = false;
        LogEntry(ansi("CONF ") + e.Message());
        showMessage(e.Message() + ansi(" Ohne die Passwörter meldet sich Postbridge nicht an. Entsperren Sie "
                                       "den Schlüsselbund und versuchen Sie es erneut, oder wählen Sie unter "
                                       "\"Konfiguration\" \"Passwörter im Schlüsselbund\" ab und geben Sie "
                                       "die Passwörter dort ein."));
        return false;
    }
    secretsUnread_ = false;
    LogEntry(ansi("CONF Passwörter aus dem Schlüsselbund gelesen"));
    return true;
}

void Tmain::BitBtn6Click() {
    close();
}

void Tmain::EndAsBeenden() {
    if (!leaveDialogs_) {
        leaveDialogs_ = new QTimer(this);
        leaveDialogs_->setInterval(LeaveDialogsRetryMs);
        connect(leaveDialogs_, &QTimer::timeout, this, [this] { LeaveDialogs(); });
    }
    LeaveDialogs();
    // During a run, a dialog or the start-up the close waits until they have returned (and
    // cancels the run); then it detaches and stores the log mail.
    close();
}

void Tmain::LeaveDialogs() {
    bool open = false;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(w);
        if (!dialog || !dialog->isVisible())
            continue;
        open = true;
        if (dialog == ConfigForm) {
            ConfigForm->Button2Click();   // "Abbrechen": nothing of the edits is taken over
        } else if (dialog == QuickForm) {
            // Work under way is cancelled first; the dialog closes once it has returned.
            if (QuickForm->Working())
                QuickForm->Button3Click();
            else
                QuickForm->Button2Click();
        } else {
            dialog->reject();   // a box or the recipients: answered "no", nothing sent
        }
    }
    // A dialog busy with its server closes at a later try.
    if (open)
        leaveDialogs_->start();
    else
        leaveDialogs_->stop();
}

void Tmain::BitBtn7Click() {
    // Each run cancels only itself, so at most one of these does anything.
    IncomingRun->Cancel();
    OutgoingRun->Cancel();
}

void Tmain::edapi1ServerDisconnected() {
    LogEntry(ansi("ED95 Verbindung zu Echodesk verloren"));
    BitBtn1->setEnabled(false);
    BitBtn2->setEnabled(false);
    BitBtn3->setEnabled(false);
    BitBtn7Click();
}

void Tmain::edapi1Disconnecting() {
    StoreLogMail(*edapi1, LogLines());
}

void Tmain::FormClose() {
    edapi1->Disconnect();
}

void Tmain::closeEvent(QCloseEvent* e) {
    if (runDepth_ > 0) {
        // Closing in the middle of a run: cancel it and close once it has returned, so the
        // run never works on with a detached host and a vanished window.
        closeAfterRun_ = true;
        BitBtn7Click();
        e->ignore();
        return;
    }
    if (!closed_) {
        closed_ = true;
        // Detaching must not stop the window from closing, whatever the host says.
        Guarded([this] { FormClose(); });
    }
    e->accept();
}

} // namespace pb
