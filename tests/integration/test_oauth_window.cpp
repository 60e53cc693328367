// A user whose account knows only OAuth 2.0, from an empty folder: signs in from the
// configuration dialog, polls, opens QuickView and sends; then polls on with access tokens of
// a few seconds, and from cron (--poll) with an expired and with a revoked sign-in. Real
// servers: the test provider, Dovecot (POP3) and Postfix (submission) asking it about tokens.
#include "mail/Config.h"
#include "mail/TokenLogin.h"
#include "support/EdhostProcess.h"
#include "support/FileBytes.h"
#include "support/HostRecords.h"
#include "support/MainWindowFixture.h"
#include "support/OAuthProvider.h"

#include <QProcess>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace pb {
namespace {

using test::boxes;

class OAuthWindow : public test::OAuthSuite<test::MainWindowFixture, 3> {
protected:
    void SetUp() override {
        OAuthSuite::SetUp();
        if (IsSkipped())
            return;
        TConfigForm::OpenBrowser = [](const std::string& url) {
            return QProcess::startDetached(QString::fromStdString(test::OAuthProvider::browser()), {QString::fromStdString(url)});
        };
    }
    void TearDown() override {
        TConfigForm::OpenBrowser = nullptr;
        MainWindowFixture::TearDown();
    }

    // The user at the dialog: servers, encryption, and "OAuth 2.0" for both with the provider,
    // then "Beim Anbieter anmelden…" and "Speichern".
    static void fillIn(test::ScriptedConfigForm& f) {
        f.PSadresse->setText("127.0.0.1");
        f.Uname->setText("test");
        f.SSadresse->setText("127.0.0.1");
        f.Semail->setText("test@example.org");
        f.Slogin->setText("punkt.example.org");
        f.SUser->setText("test");
        f.PSecurity->setCurrentIndex(2);
        f.PSport->setText(QString::number(pop3().pop3sPort()));
        f.SSecurity->setCurrentIndex(1);
        f.SSport->setText(QString::number(postfix().submissionPort()));
        f.PLogin->setCurrentIndex(1);
        f.SLogin->setCurrentIndex(1);
        f.OAuthPreset->setCurrentIndex(2);
        f.AuthUrlEdit->setText(QString::fromStdString(provider().authorizeUrl()));
        f.TokenUrlEdit->setText(QString::fromStdString(provider().tokenUrl()));
        f.ScopeEdit->setText("mail");
        f.ClientIdEdit->setText("postbridge-test");
        f.SignInButton->click();
        EXPECT_EQ(f.SignedInLabel->text().toStdString(), "Angemeldet als test");
        f.Button1Click();
    }

    static std::string mail(const std::string& subject) {
        return "From: a@example.org\nTo: test@example.org\nSubject: " + subject + "\nMessage-ID: <" + subject +
               "@example.org>\n\nHallo\n";
    }

};

TEST_F(OAuthWindow, SignInPollQuickViewSendThenTenPollsAndCron) {
    test::EdhostProcess host;
    // The certificates of the test CAs, as the user would have confirmed them in their boxes.
    WriteTrustList({{"127.0.0.1", pop3().pop3sPort(), pop3().fingerprint("server")},
                    {"127.0.0.1", postfix().submissionPort(),
                     test::readBytes(postfix().tlsFile("server.sha256")).substr(0, 64)}});
    pop3().setMails({mail("erste")});
    Tmain& w = createMain();
    config().onShow = [](test::ScriptedConfigForm& f) { fillIn(f); };
    w.FormActivate();
    ASSERT_EQ(config().shownCount, 1);
    TSettings saved;
    ReadConfig(saved);
    ASSERT_EQ(saved.POP3TokenLogin.Method, TLoginMethod::OAuth);
    ASSERT_FALSE(saved.POP3TokenLogin.RefreshToken.empty());
    EXPECT_TRUE(saved.POP3Password.empty());

    // Poll: the mail comes in, a message goes out.
    int code = -1;
    test::writeBytes("message.txt", "To: someone@example.net\nGruss\n");
    host.run({"write", "EMAIL", "--from", "Max Punkt", "--to", "Jemand", "--subject", "raus", "--text-file", path("message.txt")}, &code);
    ASSERT_EQ(code, 0);
    w.BitBtn1->click();
    ASSERT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    EXPECT_EQ(test::storedMails(host).size(), 2u);   // the message written and the mail fetched
    std::vector<std::string> delivered;
    for (int i = 0; i < 1000 && (delivered = postfix().delivered()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(delivered.size(), 1u);

    // QuickView logs in the same way.
    w.BitBtn4Click();
    EXPECT_TRUE(quick().QTryConnection());
    quick().POP_Quick->Disconnect();

    // Ten polls in a row with tokens of 3 s, each after the last token ran out: no new
    // sign-in, at most one token request each.
    const int signIns = provider().stats().authorizationCode;
    for (int poll = 0; poll < 10; ++poll) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        pop3().addMail(mail("poll" + std::to_string(poll)));
        const int before = TokenRequests();
        w.BitBtn1->click();
        ASSERT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
        EXPECT_LE(TokenRequests() - before, 1) << "poll " << poll;
        std::printf("poll %d: %d token request(s)\n", poll + 1, TokenRequests() - before);
    }
    EXPECT_EQ(provider().stats().authorizationCode, signIns);
    EXPECT_EQ(test::storedMails(host).size(), 12u);
    const std::vector<std::string> log = w.LogLines();
    closeMain();   // "Beenden": the log mail goes to REPORT

    // From cron, with the access token long expired: refreshed, exit 0.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    auto poll = [&] {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        p.setProcessEnvironment(env);
        p.start(PB_BIN_DIR "/postbridge", {"--poll", "--dir", QString::fromStdString(path(""))});
        EXPECT_TRUE(p.waitForFinished(60000));
        return std::pair(p.exitCode(), p.readAllStandardError().toStdString());
    };
    auto [rc, err] = poll();
    EXPECT_EQ(rc, 0) << err;
    // Revoked at the provider: exit 1 with the line that says where to sign in again.
    provider().revoke("test");
    std::tie(rc, err) = poll();
    EXPECT_EQ(rc, 1);
    EXPECT_NE(err.find("Melden Sie sich im Postbridge-Fenster unter \"Konfiguration\""), std::string::npos) << err;

    // No token in the log, the log mails or any file but the settings.
    std::string seen;
    for (const std::string& line : log)
        seen += line + "\n";
    for (const test::StoredMail& m : test::storedMails(host, "REPORT"))
        seen += m.text;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path("")))
        if (e.is_regular_file() && e.path().filename() != kConfigFileName)
            seen += test::readBytes(e.path().string());
    for (const auto& e : std::filesystem::recursive_directory_iterator(host.base()))
        if (e.is_regular_file())
            seen += test::readBytes(e.path().string());
    for (const std::string& token : provider().issued())
        EXPECT_EQ(seen.find(token), std::string::npos);
}

} // namespace
} // namespace pb
