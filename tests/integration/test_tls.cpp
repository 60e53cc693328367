// Secure connections against real servers: Dovecot with ssl = required (STLS and TLS from the
// first byte, under a test CA made at start-up, with a valid, a wrongly named, an expired and
// a foreign certificate on 127.0.0.1 to .4) and the aiosmtpd sink with STARTTLS, SMTPS and
// AUTH. A relay on loopback shows what crosses the line. Scripted servers only for what a real
// one will not do: stay silent in the handshake, refuse STLS, or inject bytes after its go-ahead.
#include "app/PB_main.h"
#include "mail/Config.h"
#include "mail/MailAssembler.h"
#include "net/Pop3Client.h"
#include "net/SmtpClient.h"
#include "support/CutProxy.h"
#include "support/ExceptionText.h"
#include "support/LoopbackServer.h"
#include "support/StrictServers.h"
#include "support/MailRunFixture.h"
#include "support/RetrievingPop3.h"
#include "support/SuiteServers.h"
#include "support/WaitFor.h"

#include <QToolButton>

#include <QByteArray>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace pb {
namespace {

using test::exceptionText;
using test::boxes;

class TlsServers : public test::SuiteServers<> {
protected:
    static void SetUpTestSuite() {
        startServers(true);
        // The test CA stands in for the system's trusted CAs (OpenSSL's own variable).
        ::setenv("SSL_CERT_FILE", servers().tlsFile("ca.pem").c_str(), 1);
    }
    static void TearDownTestSuite() {
        ::unsetenv("SSL_CERT_FILE");
        SuiteServers::TearDownTestSuite();
    }
    void SetUp() override {
        servers().setMails({"From: a@example.org\nSubject: over TLS\n\nsecret body\n"});
        servers().clearSmtp();
    }

    static void setup(TPop3Client& c, const std::string& host, int port, TSecurity mode) {
        c.Host = host;
        c.Port = port;
        c.UserID = servers().user();
        c.Password = servers().password();
        c.Security = mode;
        c.TimeOut = 10000;
    }
    static void setup(TSmtpClient& c, int port, TSecurity mode) {
        c.Host = servers().host();
        c.Port = port;
        c.UserID = "client.pbtest";
        c.Security = mode;
        c.UseAuth = true;
        c.AuthUser = servers().user();
        c.AuthPassword = servers().password();
        c.TimeOut = 10000;
        c.PostMessage.FromAddress = "me@example.org";
        c.PostMessage.ToAddress.Add("you@example.org");
        c.PostMessage.Subject = "sent over TLS";
        c.PostMessage.Body.Add("body");
    }
};

TEST_F(TlsServers, Pop3FetchesWithTlsFromTheStartAndWithStls) {
    struct Case { const char* host; bool implicit; };
    for (const Case c : {Case{"127.0.0.1", true}, Case{"localhost", true}, Case{"127.0.0.1", false}}) {
        SCOPED_TRACE(std::string(c.host) + (c.implicit ? " pop3s" : " STLS"));
        test::RetrievingPop3 pop;
        setup(pop, c.host, c.implicit ? servers().pop3sPort() : servers().pop3Port(),
              c.implicit ? TSecurity::Implicit : TSecurity::StartTls);
        ASSERT_NO_THROW(pop.Connect());
        EXPECT_TRUE(pop.Secure());
        EXPECT_NE(pop.TlsDescription().find("TLSv1."), std::string::npos) << pop.TlsDescription();
        EXPECT_NE(pop.TlsDescription().find("Postbridge Test CA"), std::string::npos);
        EXPECT_EQ(pop.MailCount, 1);
        pop.GetMailMessage(1);
        EXPECT_EQ(pop.MailMessage.Subject, " over TLS");
        pop.Disconnect();
    }
}

TEST_F(TlsServers, BadCertificatesAreRefusedBeforeTheLoginUnlessTrusted) {
    struct Case { const char* host; const char* cert; const char* reason; };
    for (const Case c : {Case{"127.0.0.2", "server", "Name"}, Case{"127.0.0.3", "expired", "abgelaufen"},
                         Case{"127.0.0.4", "otherca", "unbekannter Aussteller"}}) {
        SCOPED_TRACE(c.host);
        TPop3Client pop;
        setup(pop, c.host, servers().pop3sPort(), TSecurity::Implicit);
        try {
            pop.Connect();
            ADD_FAILURE() << "connected";
        } catch (const ECertificateError& e) {
            EXPECT_NE(e.Reason.find(c.reason), std::string::npos) << e.Reason;
            EXPECT_EQ(e.Fingerprint, servers().fingerprint(c.cert));
            EXPECT_NE(std::string(e.what()).find(e.Fingerprint), std::string::npos);
            EXPECT_TRUE(e.TrustedFingerprint.empty());
        }
        EXPECT_FALSE(pop.Connected());

        // Trusted by its fingerprint, the same certificate is accepted for this server ...
        pop.TrustedFingerprint = servers().fingerprint(c.cert);
        ASSERT_NO_THROW(pop.Connect());
        EXPECT_EQ(pop.MailCount, 1);
        pop.Disconnect();

        // ... and a different one that fails the check is refused, naming both.
        pop.TrustedFingerprint = std::string(64, 'a');
        try {
            pop.Connect();
            ADD_FAILURE() << "connected";
        } catch (const ECertificateError& e) {
            EXPECT_EQ(e.TrustedFingerprint, std::string(64, 'a'));
            EXPECT_EQ(e.Fingerprint, servers().fingerprint(c.cert));
        }
    }
    // Dovecot saw both refused connections to each address end without a login attempt. It
    // logs that once it notices the end, which may come after the trusted connection's login.
    const auto refusedWithoutLogin = [](const std::string& log, const std::string& lip) {
        int seen = 0;
        for (std::size_t at = log.find(lip); at != std::string::npos; at = log.find(lip, at + 1)) {
            const std::size_t line = log.rfind('\n', at) + 1;
            seen += log.substr(line, at - line).find("no auth attempts") != std::string::npos;
        }
        return seen;
    };
    for (const char* lip : {"lip=127.0.0.2", "lip=127.0.0.3", "lip=127.0.0.4"})
        EXPECT_TRUE(test::waitFor([&] { return refusedWithoutLogin(servers().logTail(200), lip) >= 2; },
                                  std::chrono::seconds(60)))
            << lip << "\n" << servers().logTail(200);
}

TEST_F(TlsServers, SmtpLogsInWithPlainOrLoginOverStarttlsAndSmtps) {
    struct Case { int port; TSecurity mode; const char* helo; };
    for (const Case c : {Case{servers().submissionPort(), TSecurity::StartTls, "client.pbtest"},
                         Case{servers().submissionPort(), TSecurity::StartTls, "loginonly.pbtest"},
                         Case{servers().smtpsPort(), TSecurity::Implicit, "client.pbtest"}}) {
        SCOPED_TRACE(c.helo);
        TSmtpClient smtp;
        setup(smtp, c.port, c.mode);
        smtp.UserID = c.helo;
        ASSERT_NO_THROW(smtp.Connect());
        EXPECT_TRUE(smtp.Secure());
        ASSERT_NO_THROW(smtp.SendMail());
        smtp.Disconnect();
    }
    EXPECT_EQ(servers().smtpReceived().size(), 3u);
}

TEST_F(TlsServers, SmtpRefusalsSendNothing) {
    TSmtpClient smtp;
    setup(smtp, servers().submissionPort(), TSecurity::StartTls);
    smtp.AuthPassword = "wrong";
    EXPECT_THROW(smtp.Connect(), ELoginRefused);
    EXPECT_FALSE(smtp.Connected());

    // The plain port offers no STARTTLS: never used in the clear instead.
    setup(smtp, servers().smtpPort(), TSecurity::StartTls);
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "No STARTTLS");

    // A login without TLS is refused before anything is connected.
    setup(smtp, servers().smtpPort(), TSecurity::None);
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "Login without TLS");
    EXPECT_TRUE(servers().smtpReceived().empty());
}

TEST_F(TlsServers, NoFormOfThePasswordCrossesTheLine) {
    const std::string password = servers().password();
    auto b64 = [](const std::string& s) { return QByteArray::fromStdString(s).toBase64().toStdString(); };
    {
        test::CutProxy proxy(static_cast<std::uint16_t>(servers().pop3Port()));
        test::RetrievingPop3 pop;
        setup(pop, "127.0.0.1", proxy.port(), TSecurity::StartTls);
        pop.Connect();
        pop.GetMailMessage(1);
        pop.Disconnect();
        const std::string wire = proxy.clientBytes();
        EXPECT_NE(wire.find("STLS"), std::string::npos);
        EXPECT_EQ(wire.find(password), std::string::npos);
        EXPECT_EQ(wire.find("USER"), std::string::npos);
    }
    for (const char* helo : {"client.pbtest", "loginonly.pbtest"}) {
        test::CutProxy proxy(static_cast<std::uint16_t>(servers().submissionPort()));
        TSmtpClient smtp;
        setup(smtp, proxy.port(), TSecurity::StartTls);
        smtp.UserID = helo;
        smtp.Connect();
        smtp.SendMail();
        smtp.Disconnect();
        const std::string wire = proxy.clientBytes();
        EXPECT_NE(wire.find("STARTTLS"), std::string::npos);
        for (const std::string& form : {password, b64(password), b64(std::string(1, '\0') + servers().user() + '\0' + password)})
            EXPECT_EQ(wire.find(form), std::string::npos) << form;
    }
}

// --- the runs, as the user meets them -----------------------------------------------------------

class TlsRuns : public test::MailRunFixture {
protected:
    static void SetUpTestSuite() { startServers(true); }

    Tmain& startSecureWindow(const std::string& pop3Host) {
        Tmain& w = startWindow();
        w.Settings.POP3Server = pop3Host;
        w.Settings.POP3Port = servers().pop3sPort();
        w.Settings.POP3Security = 2;
        w.Settings.SMTPPort = servers().submissionPort();
        w.Settings.SMTPSecurity = 1;
        w.Settings.SMTPAuth = true;
        w.Settings.SMTPEmail = servers().user();   // the login name when no SMTP user is set
        w.Settings.SMTPPassword.clear();            // the POP3 password serves for both
        return w;
    }
    bool logHas(const std::string& start) const {
        const auto log = logTexts();
        return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    }
};

TEST_F(TlsRuns, InternetPollFetchesAndSendsOverTlsWithTheCertificateTrustedByFingerprint) {
    test::EdhostProcess host;
    servers().setMails({"From: a@example.org\nSubject: fetched over TLS\n\nbody\n"});
    servers().clearSmtp();
    Tmain& w = startSecureWindow("127.0.0.1");
    test::writeBytes("message.txt", "Text\n");
    host.run({"write", "EMAIL", "--from", "Max Punkt", "--to", "you@example.org", "--subject", "sent over TLS",
              "--text-file", path("message.txt")});
    // The test CA is no system CA here: the certificate is trusted by its fingerprint.
    const std::string fp = servers().fingerprint("server");
    WriteTrustList({{"127.0.0.1", servers().pop3sPort(), fp}, {"127.0.0.1", servers().submissionPort(), fp}});

    w.BitBtn1->click();
    EXPECT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    EXPECT_EQ(test::hostSubjects(host)["fetched over TLS"], 1);
    ASSERT_EQ(servers().smtpReceived().size(), 1u);
    EXPECT_TRUE(logHas("POP3 Verschlüsselt: TLSv1."));
    EXPECT_TRUE(logHas("SMTP Verschlüsselt: TLSv1."));
    for (const std::string& line : logTexts())
        EXPECT_EQ(line.find(servers().password()), std::string::npos) << line;
}

TEST_F(TlsRuns, AWrongNameIsAskedAboutAndNothingIsFetchedUntilTrusted) {
    test::EdhostProcess host;
    servers().setMails({"From: a@example.org\nSubject: behind a wrong name\n\nbody\n"});
    Tmain& w = startSecureWindow("127.0.0.2");
    // The test CA as a system CA, so that only the name is wrong.
    ::setenv("SSL_CERT_FILE", servers().tlsFile("ca.pem").c_str(), 1);
    struct Unset {
        ~Unset() { ::unsetenv("SSL_CERT_FILE"); }
    } unset;
    boxes().questionDefault = MsgResult::No;
    w.BitBtn2->click();
    ASSERT_EQ(boxes().shown.size(), 1u);
    const std::string text = boxes().texts()[0];
    EXPECT_NE(text.find("127.0.0.2"), std::string::npos) << text;
    EXPECT_NE(text.find("passt nicht"), std::string::npos) << text;
    // In byte pairs, 16 to a line, as people compare them.
    EXPECT_NE(text.find(GroupedFingerprint(servers().fingerprint("server"))), std::string::npos) << text;
    EXPECT_NE(text.find("\n" + GroupedFingerprint(servers().fingerprint("server")).substr(48) + "\n"), std::string::npos)
        << text;
    EXPECT_EQ(boxes().shown[0].buttons, MsgButtons::YesNo);
    EXPECT_TRUE(test::hostSubjects(host).empty());
    EXPECT_TRUE(ReadTrustList().empty());

    // "Ja" ends this attempt too; the next one uses the trust.
    boxes().reset();
    w.BitBtn2->click();
    EXPECT_TRUE(test::hostSubjects(host).empty());
    EXPECT_EQ(ReadTrustList().size(), 1u);
    boxes().reset();
    w.BitBtn2->click();
    EXPECT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    EXPECT_EQ(test::hostSubjects(host)["behind a wrong name"], 1);
}

// --- what only a scripted server does ------------------------------------------------------------

void pointAtScripted(TPop3Client& pop, std::uint16_t port, TSecurity mode) {
    test::pointAt(pop, port);
    pop.UserID = "u";
    pop.Password = "p";
    pop.Security = mode;
}

TEST(TlsScripted, HandshakeWaitsEndByCancelAndByTheTimeLimit) {
    // A server that takes the connection and never answers the ClientHello.
    auto silent = [](test::Peer& p) { p.waitForClose(std::chrono::seconds(10)); };
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancel" : "time limit");
        test::LoopbackServer server(silent);
        TPop3Client pop;
        pointAtScripted(pop, server.port(), TSecurity::Implicit);
        pop.TimeOut = cancel ? 0 : 300;
        if (cancel)
            QTimer::singleShot(200, [&pop] { pop.Abort(); });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(exceptionText([&] { pop.Connect(); }),
                  cancel ? "TLS Handshake Canceled" : "TLS Handshake Timed out");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_FALSE(pop.Connected());
    }
}

TEST(TlsScripted, StlsRefusedNotOfferedOrFollowedByInjectedBytesEndsTheSession) {
    struct Case { const char* capa; const char* reply; const char* error; };
    for (const Case c : {Case{"-ERR unknown command\r\n", "-ERR unknown command\r\n", "STLS refused: -ERR unknown command\r\n"},
                         Case{"+OK\r\nUSER\r\n.\r\n", "+OK\r\n", "STLS refused: not offered in CAPA"},
                         Case{"+OK\r\nSTLS\r\n.\r\n", "+OK begin TLS\r\n+OK injected\r\n", "Data before TLS handshake"}}) {
        SCOPED_TRACE(c.error);
        std::string afterStls;
        test::LoopbackServer server([&](test::Peer& p) {
            p.send("+OK ready\r\n");
            std::string line = test::ReadPop3Command(p, c.capa);
            if (line == "STLS\r\n") {
                p.send(c.reply);
                line = test::ReadPop3Command(p, c.capa);
            }
            for (; !line.empty(); line = test::ReadPop3Command(p, c.capa)) {
                afterStls += line;
                if (line == "QUIT\r\n") {
                    p.send("+OK bye\r\n");
                    break;
                }
            }
        });
        TPop3Client pop;
        pointAtScripted(pop, server.port(), TSecurity::StartTls);
        EXPECT_EQ(exceptionText([&] { pop.Connect(); }), c.error);
        server.join();
        EXPECT_EQ(afterStls.find("USER"), std::string::npos) << afterStls;
    }
}

} // namespace
} // namespace pb
