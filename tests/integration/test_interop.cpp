// The runs against servers we did not write, installed from Debian (scripts/interop-servers):
// Cyrus pop3d, strict about every command, over STLS and over TLS from the first byte; Courier
// pop3d, which offers UTF8 and otherwise turns a mail with raw UTF-8 header lines into a stub;
// Postfix as a submission server with STARTTLS, AUTH through Dovecot SASL and TLS from the
// first byte. A machine that cannot run one of them skips its test and says why.
#include "mail/Config.h"
#include "platform/AnsiText.h"
#include "support/EdhostProcess.h"
#include "support/FileBytes.h"
#include "support/HostRecords.h"
#include "support/MailServers.h"
#include "support/MainWindowFixture.h"

#include "net/Pop3Client.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

namespace pb {
namespace {

using test::boxes;
using test::EdhostProcess;
using test::InteropServer;

// How often each subject was stored.
std::map<std::string, int> subjects(const EdhostProcess& host) {
    std::map<std::string, int> out;
    for (const test::StoredMail& s : test::storedMails(host))
        ++out[s.h.Subject.str()];
    return out;
}

std::vector<std::string> numberedMails(const std::string& tag, int count) {
    std::vector<std::string> out;
    for (int i = 1; i <= count; ++i)
        out.push_back("From: Absender <absender@example.org>\nTo: test@example.org\nSubject: " + tag + " " +
                      std::to_string(i) + "\nDate: Mon, 7 Dec 2026 10:00:00 +0000\nMessage-ID: <" + tag +
                      std::to_string(i) + "@example.org>\n\nText " + std::to_string(i) + "\n");
    return out;
}

std::map<std::string, int> eachOnce(const std::string& tag, int count) {
    std::map<std::string, int> out;
    for (int i = 1; i <= count; ++i)
        out[tag + " " + std::to_string(i)] = 1;
    return out;
}

class Interop : public test::MainWindowFixture {
protected:
    // The test CA is no system CA here: the server's certificate is trusted by its fingerprint.
    void trust(const InteropServer& s, std::initializer_list<int> ports) {
        const std::string fp = test::readBytes(s.tlsFile("server.sha256")).substr(0, 64);
        TTrustList list;
        for (int port : ports)
            list.push_back({s.host(), port, fp});
        WriteTrustList(list);
    }

    // A fresh window against the running host, fetching from the server given.
    Tmain& startWindow(const InteropServer& s, int port, int security, bool deleteFromServer) {
        closeMain();
        test::writeBytes("pbridge.ini", validIni());
        Tmain& w = createMain();
        w.FormActivate();
        EXPECT_TRUE(w.edapi1->Connected());
        w.Settings.POP3Server = s.host();
        w.Settings.POP3Port = port;
        w.Settings.POP3User = s.user();
        w.Settings.POP3Password = s.password();
        w.Settings.POP3Security = security;
        w.Settings.DeleteFromServer = deleteFromServer;
        return w;
    }

    // Mails left on the server, as its STAT says.
    static int serverCount(const InteropServer& s, int port, TSecurity security) {
        TPop3Client c;
        c.Host = s.host();
        c.Port = port;
        c.UserID = s.user();
        c.Password = s.password();
        c.Security = security;
        c.TrustedFingerprint = test::readBytes(s.tlsFile("server.sha256")).substr(0, 64);
        c.TimeOut = 20000;
        c.Connect();
        const int count = c.MailCount;
        c.Disconnect();
        return count;
    }

    // 20 mails fetched once with the mails kept, then again: nothing comes twice. Then, for a
    // host and a point that have seen nothing yet, the same with deletion on over the second
    // way in: the box ends up empty, and a further run brings nothing twice either.
    void fetchTwiceThenWithDeletion(InteropServer& s, int keepPort, int keepSecurity, int deletePort,
                                    int deleteSecurity) {
        const std::map<std::string, int> all = eachOnce("Brief", 20);
        s.deliver(numberedMails("Brief", 20));
        {
            EdhostProcess host;
            Tmain& w = startWindow(s, keepPort, keepSecurity, false);
            w.BitBtn2->click();
            ASSERT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
            EXPECT_EQ(subjects(host), all);
            w.BitBtn2->click();
            EXPECT_EQ(subjects(host), all);
            EXPECT_TRUE(boxes().shown.empty());
        }
        std::filesystem::remove(kReadListFile);
        std::filesystem::remove(kUidListFile);
        EdhostProcess host;
        Tmain& w = startWindow(s, deletePort, deleteSecurity, true);
        w.BitBtn2->click();
        ASSERT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
        EXPECT_EQ(subjects(host), all);
        EXPECT_EQ(serverCount(s, deletePort, deleteSecurity == 2 ? TSecurity::Implicit : TSecurity::None), 0);
        w.BitBtn2->click();
        EXPECT_EQ(subjects(host), all);
    }
};

#define START_OR_SKIP(server)                                                                      \
    if (const std::string why = (server).start(); !why.empty())                                    \
    GTEST_SKIP() << why

TEST_F(Interop, CyrusOverStlsAndImplicitTls) {
    InteropServer cyrus("cyrus");
    START_OR_SKIP(cyrus);
    trust(cyrus, {cyrus.pop3Port(), cyrus.pop3sPort()});
    fetchTwiceThenWithDeletion(cyrus, cyrus.pop3Port(), 1, cyrus.pop3sPort(), 2);
    // Cyrus answers a LIST with a trailing blank "-ERR Syntax error", as RFC 1939 allows it.
    TPop3Client c;
    c.Host = cyrus.host();
    c.Port = cyrus.pop3sPort();
    c.Security = TSecurity::Implicit;
    c.UserID = cyrus.user();
    c.Password = cyrus.password();
    c.TrustedFingerprint = test::readBytes(cyrus.tlsFile("server.sha256")).substr(0, 64);
    c.Connect();
    EXPECT_EQ(c.Transaction("LIST ").substr(0, 4), "-ERR");
    EXPECT_TRUE(c.Capabilities.Answered);
    EXPECT_TRUE(c.Capabilities.Pipelining);
    c.Disconnect();
}

TEST_F(Interop, CourierWithUtf8) {
    InteropServer courier("courier");
    START_OR_SKIP(courier);
    fetchTwiceThenWithDeletion(courier, courier.pop3Port(), 0, courier.pop3Port(), 0);

    // Raw UTF-8 in the header: without UTF8, Courier would serve a stub in its place. The
    // second mail's header is not UTF-8 at all (Windows-1252 bytes): the rule for undeclared
    // 8-bit text reads it as Windows-1252.
    courier.deliver({"From: J\xC3\xB6rg M\xC3\xBCller <joerg@example.org>\nTo: test@example.org\n"
                     "Subject: Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x80\x93 5 \xE2\x82\xAC\n"
                     "Date: Mon, 7 Dec 2026 10:00:00 +0000\nMessage-ID: <utf8@example.org>\n\n"
                     "Sch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F" "e\n",
                     "From: J\xF6rg <joerg@example.org>\nTo: test@example.org\nSubject: \x80 f\xFCr \xD6l\n"
                     "Date: Mon, 7 Dec 2026 10:00:00 +0000\nMessage-ID: <latin@example.org>\n\nText\n"});
    EdhostProcess host;
    Tmain& w = startWindow(courier, courier.pop3Port(), 0, true);
    w.BitBtn2->click();
    ASSERT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    const auto stored = test::storedMails(host);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].h.FromUserName.str(), ansi("Jörg Müller"));
    EXPECT_EQ(stored[0].h.Subject.str(), ansi("Grüße aus Köln – 5 €"));
    EXPECT_EQ(stored[1].h.FromUserName.str(), ansi("Jörg"));
    EXPECT_EQ(stored[1].h.Subject.str(), ansi("€ für Öl"));
}

// --- Postfix ------------------------------------------------------------------------------------

// What Python's email package reads from a delivered mail: whether Date parses, the
// Message-ID, the text's charset, the decoded subject, the text, and how many defects it found.
std::string parsedByPython(const std::string& mail) {
    QProcess python;
    python.start("python3", {"-c", "import sys, email, email.policy, email.utils\n"
                                   "m = email.message_from_bytes(sys.stdin.buffer.read(), policy=email.policy.default)\n"
                                   "d = len(m.defects) + sum(len(m[h].defects) for h in ('subject', 'from', 'to', 'date', 'message-id'))\n"
                                   "ok = email.utils.parsedate_to_datetime(str(m['date'])) is not None\n"
                                   "sys.stdout.buffer.write('|'.join([str(ok), str(m['message-id']).split('@')[-1], "
                                   "m.get_content_charset(), str(m['subject']), m.get_content().strip(), "
                                   "str(d)]).encode())\n"});
    python.write(QByteArray::fromStdString(mail));
    python.closeWriteChannel();
    EXPECT_TRUE(python.waitForFinished(20000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    return python.readAllStandardOutput().toStdString();
}

TEST_F(Interop, PostfixSubmissionOverStartTlsAndImplicitTls) {
    InteropServer postfix("postfix");
    START_OR_SKIP(postfix);
    trust(postfix, {postfix.submissionPort(), postfix.smtpsPort()});
    const std::vector<std::string> texts{"Grüße aus Köln", "Ärger über Öl", "Preis: 5 €"};
    struct Mode { int port; int security; };
    std::size_t sent = 0;
    std::multiset<std::string> want;
    for (const Mode mode : {Mode{postfix.submissionPort(), 1}, Mode{postfix.smtpsPort(), 2}}) {
        SCOPED_TRACE(mode.security == 1 ? "STARTTLS" : "TLS from the first byte");
        EdhostProcess host;
        Tmain& w = startWindow(postfix, 0, 0, false);
        w.Settings.SMTPServer = postfix.host();
        w.Settings.SMTPPort = mode.port;
        w.Settings.SMTPSecurity = mode.security;
        w.Settings.SMTPAuth = true;
        w.Settings.SMTPEmail = "punkt@example.org";
        w.Settings.SMTPUser = postfix.user();
        w.Settings.SMTPPassword = postfix.password();
        for (const std::string& t : texts) {
            test::writeBytes("message.txt", "To: empfaenger@example.net\n" + t + "\n");
            int code = -1;
            const std::string out = host.run({"write", "EMAIL", "--from", "Max Punkt", "--to", "Empfänger",
                                              "--subject", t, "--text-file", path("message.txt")},
                                             &code);
            ASSERT_EQ(code, 0) << out;
        }
        w.BitBtn3->click();
        ASSERT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
        EXPECT_TRUE(w.SMTP_Service->Pipelining());   // Postfix offers it: each envelope in one write
        sent += texts.size();
        // A 250 from Postfix means queued: the copies reach the Maildir a moment later.
        std::vector<std::string> mails;
        for (int i = 0; i < 1000 && (mails = postfix.delivered()).size() < sent; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(mails.size(), sent);
        // Postfix names the files by the second of arrival, so the order among them is open, a
        // run's mails and the run's before included: all are compared with all sent.
        std::multiset<std::string> parsed;
        for (const std::string& mail : mails) {
            EXPECT_NE(mail.find("\nSubject: =?"), std::string::npos) << mail;   // encoded, 7-bit
            parsed.insert(parsedByPython(mail));
        }
        for (const std::string& t : texts)
            want.insert("True|example.org>|utf-8|" + t + "|" + t + "|0");
        EXPECT_EQ(parsed, want);
    }
}

} // namespace
} // namespace pb
