// Passwords in the desktop keyring: the settings save them into a real gnome-keyring in a D-Bus
// session of the test's own and the file keeps none; a poll without a window reads them back
// and logs in to Dovecot; and a poll that cannot have them stops at once with its reason.
#include "support/EdhostProcess.h"
#include "support/HostRecords.h"
#include "support/KeyringSession.h"
#include "support/MainWindowFixture.h"
#include "support/ProgramRun.h"
#include "support/SuiteServers.h"

#include "mail/Config.h"
#include "mail/Keyring.h"
#include "platform/AnsiText.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace pb::test {
namespace {

using Place = TSettings::TSecretPlace;

// One keyring for the program, entered before anything speaks D-Bus.
class KeyringEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        session = std::make_unique<KeyringSession>();
        session->enter();
    }
    void TearDown() override { session.reset(); }
    std::unique_ptr<KeyringSession> session;
};
auto* const keyring_ = static_cast<KeyringEnvironment*>(::testing::AddGlobalTestEnvironment(new KeyringEnvironment));

class Keyring : public SuiteServers<> {
protected:

    std::string ini() const { return dir_.path().toStdString() + "/pbridge.ini"; }
    std::string iniBytes() const {
        std::ostringstream s;
        s << std::ifstream(ini(), std::ios::binary).rdbuf();
        return s.str();
    }
    // Settings for the suite's servers, as a file of an earlier version holds them.
    TSettings fromFile() const {
        TSettings s;
        s.SMTPServer = s.POP3Server = servers().host();
        s.SMTPPort = servers().smtpPort();
        s.POP3Port = servers().pop3Port();
        s.SMTPEmail = "me@example.org";
        s.POP3User = servers().user();
        s.POP3Password = servers().password();
        s.SMTPPassword = ansi("Smtp-Geheimnis-ä");
        return s;
    }
    // What a run reads: the file, then the keyring.
    TSettings reread() const {
        TSettings s;
        ReadConfig(s, ini());
        LoadSecrets(s, kKeyringHeadlessMs, false, ini());
        return s;
    }
    void save(const TSettings& now, const TSettings& before, std::vector<std::string>* log = nullptr) {
        SaveSettings(now, before, kKeyringHeadlessMs, [log](const std::string& l) { if (log) log->push_back(l); }, ini());
    }

    QTemporaryDir dir_;
};

TEST_F(Keyring, TheFileKeepsNoPasswordAndAPollWithoutAWindowStillLogsIn) {
    ASSERT_FALSE(keyring_->session->address().isEmpty());
    const TSettings old = fromFile();
    WriteConfig(old, ini());
    TSettings now = old;
    now.SecretPlace = Place::Keyring;
    std::vector<std::string> log;
    save(now, old, &log);

    EXPECT_EQ(log, (std::vector<std::string>{ansi("CONF POP3-Passwort aus pbridge.ini in den Schlüsselbund übernommen"),
                                             ansi("CONF SMTP-Passwort aus pbridge.ini in den Schlüsselbund übernommen")}));
    const std::string file = iniBytes();
    EXPECT_EQ(file.find(old.POP3Password), std::string::npos) << file;
    EXPECT_EQ(file.find(old.SMTPPassword), std::string::npos) << file;
    EXPECT_EQ(reread(), now);

    EdhostProcess host;
    servers().clearMails();
    servers().setMails({"Subject: Aus dem Schluesselbund\n\nText\n"});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("EDAPI_SESSION"), QString::fromStdString(host.session()));
    const ProgramOutcome r = runPostbridge({QStringLiteral("--read")}, dir_.path(), env);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("CONF Passwörter aus dem Schlüsselbund gelesen"), std::string::npos) << r.out;
    EXPECT_EQ(hostSubjects(host)["Aus dem Schluesselbund"], 1);
}

TEST_F(Keyring, EntriesFollowTheServersAndGoWithTheKeyring) {
    TSettings first = fromFile();
    first.SecretPlace = Place::Keyring;
    save(first, first);
    const TSettings firstRead = reread();
    ASSERT_EQ(firstRead, first);

    // Another POP3 server and no SMTP password of its own: the old entries go.
    TSettings moved = first;
    moved.POP3Server = "localhost";
    moved.SMTPPassword.clear();
    save(moved, firstRead);
    EXPECT_EQ(reread(), moved);
    TSettings atOldServer = moved;
    atOldServer.POP3Server = first.POP3Server;
    atOldServer.POP3Password.clear();
    WriteConfig(atOldServer, ini());
    TSettings look = atOldServer;
    LoadSecrets(look, kKeyringHeadlessMs, false, ini());
    EXPECT_EQ(look.POP3Password, "");

    // Back to the file: the passwords are in it again, and the keyring holds none.
    TSettings inFile = moved;
    inFile.SecretPlace = Place::File;
    save(inFile, moved);
    TSettings read;
    ReadConfig(read, ini());
    EXPECT_EQ(read, inFile);
    moved.POP3Password.clear();
    WriteConfig(moved, ini());
    EXPECT_EQ(reread().POP3Password, "");
}

// Without a Secret Service, with the keyring locked or with a keyring daemon that answers
// nothing, a poll from cron ends with 1 and its reason before it connects anywhere, in bounded time.
TEST_F(Keyring, APollThatCannotHaveThePasswordsExitsWithItsReason) {
    enum class Fault { NoService, Locked, Frozen };
    const struct {
        Fault fault;
        const char* reason;
    } cases[] = {
        {Fault::NoService, "kein Schlüsselbund (Secret Service) ist erreichbar"},
        {Fault::Locked, "und der ist gesperrt"},
        {Fault::Frozen, "kein Schlüsselbund (Secret Service) ist erreichbar"},
    };
    TSettings s = fromFile();
    s.POP3Password.clear();
    s.SMTPPassword.clear();
    s.SecretPlace = Place::Keyring;
    WriteConfig(s, ini());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        KeyringSession session(c.fault == Fault::NoService ? KeyringSession::Service::None
                                                           : KeyringSession::Service::Keyring);
        if (c.fault == Fault::Locked) {
            ASSERT_TRUE(session.lock());
        }
        if (c.fault == Fault::Frozen)
            session.freeze();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), session.address());
        const ProgramOutcome r = runPostbridge({QStringLiteral("--poll")}, dir_.path(), env);
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("außerhalb der Desktop-Sitzung"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("ED95 Verbinde"), std::string::npos) << r.out;
        EXPECT_LT(r.took, std::chrono::seconds(60));
    }
}

using KeyringWindow = MainWindowFixture;

TEST_F(KeyringWindow, TheDialogOffersTheKeyringAndTheNextStartReadsIt) {
    writeBytes("pbridge.ini", validIni());
    createMain().FormActivate();
    config().onShow = [](ScriptedConfigForm& f) {
        EXPECT_TRUE(f.KeyringChk->isEnabled() && f.KeyringChk->isChecked());
        EXPECT_EQ(f.Upasswd->text(), "secret");
        f.CancelPressed = false;
    };
    win().BitBtn5->click();
    EXPECT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    EXPECT_EQ(readBytes("pbridge.ini"), "smtp.example.org\r\n25\r\nme@example.org\r\nme\r\n1\r\npop.example.org\r\n"
                                        "110\r\nme\r\n\r\n0\r\n0\r\n0\r\n0\r\n\r\n\r\n1\r\n");
    EXPECT_EQ(logTexts().back(), "CONF POP3-Passwort aus pbridge.ini in den Schlüsselbund übernommen");

    closeMain();
    createMain().FormActivate();
    EXPECT_EQ(win().Settings.POP3Password, "secret");
    EXPECT_EQ(logTexts()[2], "CONF Passwörter aus dem Schlüsselbund gelesen");
}

} // namespace
} // namespace pb::test
