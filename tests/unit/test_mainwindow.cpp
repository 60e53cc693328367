// The main window: its one-time start-up with and without a settings file and without a
// host, the "Konfiguration" action around the dialog, the button states, cancel, the lost
// host and shut-down.
#include "mail/Config.h"
#include "support/MainWindowFixture.h"

#include "platform/MessageLoop.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace pb {
namespace {

using test::enabled;
using test::readBytes;
using test::writeBytes;

const std::vector<std::string> kNoHostStart = {
    "STRT Postbridge Alpha 4 gestartet",
    "CONF Lese Konfiguration...",
    "ED95 Verbinde mit Echodesk 95...",
    "ED95 Verbindung zu Echodesk konnte nicht erstellt werden",
};

class MainWindow : public test::MainWindowFixture {};

TEST_F(MainWindow, ButtonsShowGlyphsAndWholeCaptions) {
    Tmain& w = createMain();
    EXPECT_EQ(w.size(), QSize(594, 321));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    for (QToolButton* b : {w.BitBtn1, w.BitBtn2, w.BitBtn3, w.BitBtn4, w.BitBtn5, w.BitBtn7, w.BitBtn6}) {
        SCOPED_TRACE(b->text().toStdString());
        // Two glyph states: the disabled picture differs from the normal one.
        const QIcon icon = b->icon();
        EXPECT_NE(icon.pixmap(16, 16, QIcon::Normal).toImage(), icon.pixmap(16, 16, QIcon::Disabled).toImage());
        // The caption fits the 75-pixel button with the installed font: no clipped text.
        EXPECT_LE(QFontMetrics(b->font()).horizontalAdvance(b->text()), 75 - 6);
    }
    // "Abbrechen" stands left of "Beenden" but is reached after it with the tab key.
    EXPECT_EQ(w.BitBtn5->nextInFocusChain(), w.BitBtn6);
    EXPECT_EQ(w.BitBtn6->nextInFocusChain(), w.BitBtn7);
    // The log needs a monospace font whatever is installed.
    EXPECT_TRUE(QFontInfo(w.log->font()).fixedPitch());
}

TEST_F(MainWindow, StartUpWithSettingsFileAndNoHost) {
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    EXPECT_TRUE(w.FirstActivation);
    w.FormActivate();

    EXPECT_EQ(logTexts(), kNoHostStart);
    EXPECT_EQ(w.status->text(), "Nicht verbunden mit Echodesk 95");
    EXPECT_EQ(w.details1->text(), "Postbridge Rel. Alpha 4");
    EXPECT_FALSE(w.details2->text().isEmpty());
    EXPECT_EQ(enabled(w), "0001101");
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(w.Settings.POP3Server, "pop.example.org");
    EXPECT_EQ(w.Settings.SMTPPort, 25);
    EXPECT_TRUE(w.Settings.StripInitials);
    EXPECT_EQ(config().shownCount, 0);
    EXPECT_TRUE(test::boxes().shown.empty());
}

TEST_F(MainWindow, WorkingFolderOthersMayWriteToIsRefusedAtStartUp) {
    writeBytes("pbridge.ini", validIni());
    const QString here = QDir::currentPath();
    ASSERT_EQ(::chmod(here.toLocal8Bit().constData(), 0777), 0);
    Tmain& w = createMain();
    w.show();
    w.FormActivate();
    ::chmod(here.toLocal8Bit().constData(), 0700);
    ASSERT_EQ(test::boxes().shown.size(), 1u);
    EXPECT_NE(test::boxes().texts()[0].find(here.toStdString()), std::string::npos);
    EXPECT_EQ(logTexts().size(), 2u);   // nothing read, nothing attached
    EXPECT_FALSE(QFile::exists(QStringLiteral("readmsg.lst")));
    QElapsedTimer t;
    t.start();
    pumpUntil([&] { return !w.isVisible() || t.elapsed() > 5000; });
    EXPECT_FALSE(w.isVisible());   // the program ends
}

TEST_F(MainWindow, SecondActivationRunsNothing) {
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    w.status->clear();
    writeBytes("pbridge.ini", "changed\r\n1\r\n");
    w.FormActivate();
    w.FormActivate();
    EXPECT_EQ(logTexts(), kNoHostStart);
    EXPECT_TRUE(w.status->text().isEmpty());
    EXPECT_EQ(w.Settings.SMTPServer, "smtp.example.org");
}

TEST_F(MainWindow, StartUpWithoutSettingsFileAsksForThemFirst) {
    Tmain& w = createMain();
    std::vector<std::string> logAtDialog;
    config().onShow = [&](test::ScriptedConfigForm& f) {
        logAtDialog = logTexts();
        // The dialog opens with its own defaults, not the empty values in memory: the safe ones,
        // encrypted on both servers with the SMTP login on.
        EXPECT_EQ(f.SSport->text(), "587");
        EXPECT_EQ(f.PSport->text(), "995");
        f.SSadresse->setText("mail.example.org");
        f.PSadresse->setText("pop.example.org");
        f.Uname->setText(QString::fromUtf8("jörg"));
        f.Upasswd->setText("geheim");
        f.deleteChk->setChecked(true);
        f.CancelPressed = false;
    };
    w.FormActivate();

    // The user fills in the settings before the host is contacted.
    EXPECT_EQ(logAtDialog, (std::vector<std::string>{kNoHostStart[0], kNoHostStart[1]}));
    EXPECT_EQ(logTexts(), kNoHostStart);
    EXPECT_EQ(readBytes("pbridge.ini"), "mail.example.org\r\n587\r\n\r\n\r\n0\r\npop.example.org\r\n995\r\nj\xF6rg\r\n"
                                        "geheim\r\n1\r\n2\r\n1\r\n1\r\n\r\n\r\n");
    EXPECT_EQ(w.Settings.POP3Port, 995);
    EXPECT_EQ(w.Settings.POP3Security, 2);
    EXPECT_EQ(w.Settings.SMTPSecurity, 1);
    EXPECT_TRUE(w.Settings.SMTPAuth);
    EXPECT_TRUE(w.Settings.DeleteFromServer);
    EXPECT_EQ(enabled(w), "0001101");
}

TEST_F(MainWindow, StartUpWithoutSettingsFileAndDialogCancelled) {
    Tmain& w = createMain();
    config().onShow = [](test::ScriptedConfigForm& f) {
        f.SSadresse->setText("typed but cancelled");
        f.CancelPressed = true;
    };
    w.FormActivate();
    EXPECT_FALSE(QFile::exists("pbridge.ini"));
    EXPECT_EQ(w.Settings, TSettings{});
    EXPECT_EQ(logTexts(), kNoHostStart);  // start-up goes on to the host
}

TEST_F(MainWindow, BadPortLineEndsStartUpWithOneErrorBox) {
    writeBytes("pbridge.ini", "smtp\r\n25\r\nme@x\r\nme\r\n1\r\npop\r\nabc\r\nu\r\npw\r\n0\r\n");
    Tmain& w = createMain();
    w.FormActivate();
    ASSERT_EQ(test::boxes().shown.size(), 1u);
    EXPECT_EQ(test::boxes().shown[0].kind, MsgKind::Error);
    EXPECT_NE(test::boxes().texts()[0].find("line 7"), std::string::npos) << test::boxes().texts()[0];
    // The host is not contacted and nothing is written.
    EXPECT_EQ(logTexts(), (std::vector<std::string>{kNoHostStart[0], kNoHostStart[1]}));
    EXPECT_TRUE(w.details1->text().isEmpty());
    EXPECT_TRUE(w.details2->text().isEmpty());
    EXPECT_EQ(readBytes("pbridge.ini"), "smtp\r\n25\r\nme@x\r\nme\r\n1\r\npop\r\nabc\r\nu\r\npw\r\n0\r\n");
    EXPECT_EQ(w.Settings.POP3Server, "pop");
    // The start-up does not come back on the next activation.
    w.FormActivate();
    EXPECT_EQ(test::boxes().shown.size(), 1u);
}

TEST_F(MainWindow, KonfigurationPrefillsFromSettingsAndWritesOnSave) {
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    config().onShow = [](test::ScriptedConfigForm& f) {
        EXPECT_EQ(f.SSadresse->text(), "smtp.example.org");
        EXPECT_EQ(f.PSport->text(), "110");
        EXPECT_EQ(f.Upasswd->text(), "secret");
        EXPECT_TRUE(f.InitialChk->isChecked());
        EXPECT_FALSE(f.deleteChk->isChecked());
        f.PSport->setText(" 995");
        f.Slogin->setText(" login with blanks ");
        f.CancelPressed = false;
    };
    w.BitBtn5->click();
    EXPECT_EQ(config().shownCount, 1);
    EXPECT_EQ(w.Settings.POP3Port, 995);
    TSettings onDisk;
    ReadConfig(onDisk, "pbridge.ini");
    EXPECT_EQ(onDisk, w.Settings);
    EXPECT_EQ(onDisk.SMTPLogin, " login with blanks ");
    // Without a host the run buttons stay disabled after "Konfiguration".
    EXPECT_EQ(enabled(w), "0001101");
    EXPECT_TRUE(test::boxes().shown.empty());
}

TEST_F(MainWindow, KonfigurationCancelledLeavesFileByteForByte) {
    const std::string odd = "smtp\n25 old\r\nme@x\r\nme\r\n1 \r\npop\r\n110\r\nu\r\npw\r\n0\r\nextra";
    writeBytes("pbridge.ini", odd);
    Tmain& w = createMain();
    w.FormActivate();
    const TSettings before = w.Settings;
    config().onShow = [](test::ScriptedConfigForm& f) {
        f.SSadresse->setText("changed");
        f.CancelPressed = true;
    };
    w.BitBtn5->click();
    EXPECT_EQ(readBytes("pbridge.ini"), odd);
    EXPECT_EQ(w.Settings, before);
}

TEST_F(MainWindow, KonfigurationClosedByCloseBoxWithBadPortShowsConversionError) {
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    // Close box: CancelPressed keeps its last value (clear), so the values are taken over.
    config().onShow = [](test::ScriptedConfigForm& f) { f.SSport->setText("zwei"); };
    w.BitBtn5->click();
    ASSERT_EQ(test::boxes().texts(), (std::vector<std::string>{"'zwei' is not a valid integer value"}));
    EXPECT_EQ(readBytes("pbridge.ini"), validIni());
}

TEST_F(MainWindow, KonfigurationWriteFailureShowsErrorAndKeepsWindowUsable) {
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    QFile::remove("pbridge.ini");
    ASSERT_TRUE(QDir().mkdir("pbridge.ini"));  // the file cannot be replaced
    config().onShow = [](test::ScriptedConfigForm& f) { f.CancelPressed = false; };
    w.BitBtn5->click();
    ASSERT_EQ(test::boxes().shown.size(), 1u);
    EXPECT_EQ(test::boxes().shown[0].kind, MsgKind::Error);
    EXPECT_EQ(enabled(w), "0001101");
}

TEST_F(MainWindow, PasswordsInAKeyringThatIsNotThereHoldBackRunsAndTheSave) {
    const std::string inKeyring = "smtp.example.org\r\n25\r\nme@example.org\r\nme\r\n1\r\npop.example.org\r\n"
                                  "110\r\nme\r\n\r\n0\r\n0\r\n0\r\n0\r\n\r\n\r\n1\r\n";
    writeBytes("pbridge.ini", inKeyring);
    Tmain& w = createMain();
    w.FormActivate();
    w.BitBtn4->click();   // QuickView needs the password
    EXPECT_EQ(quick().shownCount, 0);
    config().onShow = [](test::ScriptedConfigForm& f) {
        EXPECT_TRUE(f.KeyringChk->isEnabled() && f.KeyringChk->isChecked());
        f.Upasswd->setText("neu");
        f.CancelPressed = false;
    };
    w.BitBtn5->click();
    const auto texts = test::boxes().texts();
    ASSERT_EQ(texts.size(), 4u);   // start-up, QuickView, Konfiguration, its save
    EXPECT_NE(texts[0].find("kein Schlüsselbund (Secret Service) ist erreichbar"), std::string::npos) << texts[0];
    EXPECT_NE(texts[3].find("nicht gespeichert, pbridge.ini bleibt"), std::string::npos) << texts[3];
    EXPECT_EQ(readBytes("pbridge.ini"), inKeyring);
}

TEST_F(MainWindow, AbbrechenWhileIdleDoesNothing) {
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    const auto logBefore = w.LogLines();
    w.BitBtn7Click();
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(w.LogLines(), logBefore);
    EXPECT_EQ(enabled(w), "0001101");
}

TEST_F(MainWindow, LostHostDisablesRunButtonsAndCancels) {
    Tmain& w = createMain();
    w.RunState = TRunState::Sending;
    w.SetRunButtons();
    w.edapi1->OnServerDisconnected();
    EXPECT_EQ(logTexts(), (std::vector<std::string>{"ED95 Verbindung zu Echodesk verloren"}));
    EXPECT_EQ(w.RunState, TRunState::Cancelled);
    // Only the three run buttons change; the rest stays as the run set it.
    EXPECT_EQ(enabled(w), "0000010");
}

TEST_F(MainWindow, RunButtonsEndInIdleStateAndClearLabels) {
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    // Servers that refuse at once on loopback: whatever the runs do, they end quickly.
    w.Settings.POP3Server = w.Settings.SMTPServer = "127.0.0.1";
    w.Settings.POP3Port = w.Settings.SMTPPort = 1;
    for (QToolButton* b : {w.BitBtn1, w.BitBtn3}) {
        w.SetConnectFailedButtons();
        w.status->setText("x");
        b->click();
        EXPECT_TRUE(w.status->text().isEmpty());
        EXPECT_TRUE(w.details2->text().isEmpty());
        EXPECT_EQ(enabled(w), "1111101");  // left as they were: the host is not attached
    }
}

TEST_F(MainWindow, QuickViewGetsTheConnectionValues) {
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    w.BitBtn4->click();
    EXPECT_EQ(quick().shownCount, 1);
    EXPECT_EQ(quick().QuickServer, "pop.example.org");
    EXPECT_EQ(quick().QuickPort, 110);
    EXPECT_EQ(quick().QuickUser, "me");
    EXPECT_EQ(quick().QuickPassword, "secret");
    EXPECT_EQ(enabled(w), "0001101");
}

class CountingMain : public Tmain {
public:
    int closes = 0;
    void FormClose() override {
        ++closes;
        Tmain::FormClose();
    }
};

TEST_F(MainWindow, ClosingShutsDownExactlyOnce) {
    writeBytes("pbridge.ini", validIni());
    CountingMain& w = createMain<CountingMain>();
    w.FormActivate();
    w.show();
    w.BitBtn6->click();  // "Beenden"
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.closes, 1);
    w.close();           // a later close (close box, program end) does not detach again
    EXPECT_EQ(w.closes, 1);
}

// During a run the window's pictures are held back to a few a second; one held back must still
// come, or the window would show a stale label until something else changes.
TEST_F(MainWindow, PaintingHeldBackDuringARunIsNeverLost) {
    Tmain& w = createMain();
    w.show();
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    w.details1->installEventFilter(&counter);
    QElapsedTimer waited;
    waited.start();
    pumpUntil([&] { return counter.paints > 0 || waited.elapsed() > 10000; });
    ASSERT_GT(counter.paints, 0) << "the shown window was never painted";

    w.RunState = TRunState::Receiving;
    w.details1->repaint();            // painted at once: the interval starts here
    const int before = counter.paints;
    w.details1->setText("Nachricht 2 mit 10 Bytes");
    w.details1->repaint();            // within the interval: held back
    waited.restart();
    pumpUntil([&] { return counter.paints > before || waited.elapsed() > 10000; });
    EXPECT_GT(counter.paints, before);
    w.RunState = TRunState::Idle;
}

} // namespace
} // namespace pb
