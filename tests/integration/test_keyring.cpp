// Passwords in the desktop keyring: "Konfiguration" moves them into a real gnome-keyring in a
// D-Bus session of the test's own and the file keeps none; a poll without a window reads them
// back and logs in to Dovecot; a poll that cannot have them stops at once with its reason.
#include "support/EdhostProcess.h"
#include "support/HostRecords.h"
#include "support/KeyringSession.h"
#include "support/MainWindowFixture.h"
#include "support/ProgramRun.h"
#include "support/SuiteServers.h"

#include "mail/Keyring.h"

#include <QCheckBox>
#include <gtest/gtest.h>

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

class Keyring : public SuiteServers<MainWindowFixture> {
protected:
    static TSettings reread() {
        TSettings s;
        ReadConfig(s);
        LoadSecrets(s, kKeyringHeadlessMs, false);
        return s;
    }
    static void save(const TSettings& now, const TSettings& before) {
        SaveSettings(now, before, kKeyringHeadlessMs, [](const std::string&) {});
    }
    static ProgramOutcome poll(const QString& bus) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        return runPostbridge({QStringLiteral("--read")}, QDir::currentPath(), env);
    }
};

TEST_F(Keyring, AnEarlierFilesPasswordsMoveAtTheNextSaveAndAPollWithoutAWindowReadsThem) {
    ASSERT_FALSE(keyring_->session->address().isEmpty());
    const MailServers& s = servers();
    writeBytes("pbridge.ini", s.host() + "\r\n" + std::to_string(s.smtpPort()) + "\r\nme@example.org\r\nme\r\n0\r\n" +
                                  s.host() + "\r\n" + std::to_string(s.pop3Port()) + "\r\n" + s.user() + "\r\n" +
                                  s.password() + "\r\n0\r\n0\r\n0\r\n0\r\n\r\nsmtp-geheim\r\n");
    createMain().FormActivate();
    config().onShow = [](ScriptedConfigForm& f) {
        EXPECT_TRUE(f.KeyringChk->isEnabled() && f.KeyringChk->isChecked());
        f.CancelPressed = false;
    };
    win().BitBtn5->click();
    EXPECT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    const std::vector<std::string> log = logTexts();
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{"CONF POP3-Passwort aus pbridge.ini in den Schlüsselbund übernommen",
                                        "CONF SMTP-Passwort aus pbridge.ini in den Schlüsselbund übernommen"}));
    const std::string file = readBytes("pbridge.ini");
    EXPECT_EQ(file.find(s.password()), std::string::npos) << file;
    EXPECT_EQ(file.find("smtp-geheim"), std::string::npos) << file;
    closeMain();

    EdhostProcess host;
    servers().clearMails();
    servers().setMails({"Subject: Aus dem Schluesselbund\n\nText\n"});
    const ProgramOutcome r = poll(keyring_->session->address());
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("CONF Passwörter aus dem Schlüsselbund gelesen"), std::string::npos) << r.out;
    EXPECT_EQ(hostSubjects(host)["Aus dem Schluesselbund"], 1);
}

TEST_F(Keyring, EntriesFollowTheServersAndLeaveWithTheKeyring) {
    TSettings first;
    first.POP3Server = "pop.example.org";
    first.SMTPServer = "smtp.example.org";
    first.POP3Password = ansi("eins-ä");
    first.SMTPPassword = "zwei";
    first.SecretPlace = Place::Keyring;
    save(first, first);
    ASSERT_EQ(reread(), first);

    // Another POP3 server and no SMTP password of its own: the old entries go.
    TSettings moved = first;
    moved.POP3Server = "pop2.example.org";
    moved.SMTPPassword.clear();
    save(moved, first);
    EXPECT_EQ(reread(), moved);
    TSettings old = first;
    old.POP3Password = old.SMTPPassword = "";
    WriteConfig(old);
    EXPECT_EQ(reread(), old);

    // Back to the file: the passwords are in it, and no longer in the keyring.
    TSettings inFile = moved;
    inFile.SecretPlace = Place::File;
    save(inFile, moved);
    EXPECT_EQ(reread(), inFile);
    moved.POP3Password.clear();
    WriteConfig(moved);
    EXPECT_EQ(reread().POP3Password, "");
}

// Without a Secret Service, with the keyring locked or with a keyring daemon that answers
// nothing, a poll from cron ends with 1 and its reason before it connects anywhere.
TEST_F(Keyring, APollThatCannotHaveThePasswordsExitsWithItsReason) {
    TSettings s;
    s.POP3Server = servers().host();
    s.SecretPlace = Place::Keyring;
    WriteConfig(s);
    for (const auto& [service, reason] : {std::pair{KeyringSession::Service::None, "kein Schlüsselbund"},
                                          std::pair{KeyringSession::Service::Locked, "und der ist gesperrt"},
                                          std::pair{KeyringSession::Service::Stopped, "kein Schlüsselbund"}}) {
        SCOPED_TRACE(reason);
        const KeyringSession session(service);
        const ProgramOutcome r = poll(session.address());
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("außerhalb der Desktop-Sitzung"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("ED95 Verbinde"), std::string::npos) << r.out;
    }
}

} // namespace
} // namespace pb::test
