// The POP3 client against a real Dovecot on loopback (started per test program by the
// MailServers fixture): login, STAT, LIST, TOP summaries, retrieval into header, body and
// attachment files, DELE and QUIT as the server really carries them out.
#include "mail/MailAssembler.h"
#include "net/Pop3Client.h"
#include "support/Base64Lines.h"
#include "support/FileBytes.h"
#include "support/RetrievingPop3.h"
#include "support/SuiteServers.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>

namespace pb {
namespace {

using test::MailServers;
using test::readBytes;
using test::base64Lines;

const std::string Plain = "From: Sender <sender@example.org>\n"
                          "To: user@example.org\n"
                          "Subject: Hello\n"
                          "Message-ID: <plain@example.org>\n"
                          "\n"
                          "First line.\n"
                          ".starts with a dot\n"
                          "\n"
                          "Last line.\n";

const std::string LowerSubject = "From: x@example.org\nsubject: lower case\n\nbody\n";

const std::string Zip = std::string("PK\x03\x04zip data\x00\xff\x10", 15);

std::string withZip(const std::string& encoding, const std::string& nameParam) {
    return "From: a@example.org\n"
           "Subject: file\n"
           "MIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"=_sep\"\n"
           "\n"
           "This is a multi-part message.\n"
           "--=_sep\n"
           "Content-Type: text/plain\n"
           "\n"
           "Here is the file.\n"
           "--=_sep\n"
           "Content-Type: application/zip;" + nameParam + "\n"
           "Content-Transfer-Encoding: " + encoding + "\n"
           "\n" + base64Lines(Zip) +
           "--=_sep--\n";
}

const std::string SingleBase64 = "From: a@example.org\nSubject: encoded\n"
                                 "Content-Transfer-Encoding: base64\n\n" +
                                 base64Lines("Zeile eins\r\nZeile zwei\r\n");

class Pop3Dovecot : public test::SuiteServers<> {
protected:
    void SetUp() override { servers().clearMails(); }
    void TearDown() override { std::filesystem::remove_all(dir.path().toStdString()); }

    void setup(TPop3Client& c) {
        c.Host = servers().host();
        c.Port = servers().pop3Port();
        c.UserID = servers().user();
        c.Password = servers().password();
        c.TimeOut = 20000;
        c.ReportLevel = 2;
        c.AttachFilePath = path;
    }
    std::string file(const std::string& name) const { return readBytes(path + name); }

    QTemporaryDir dir;
    std::string path = dir.path().toStdString() + "/";
};

TEST_F(Pop3Dovecot, LoginCountsTheMailsAndListsThemInServerOrder) {
    servers().setMails({Plain, LowerSubject, withZip("base64", " name=\"a.zip\"")});
    TPop3Client c;
    setup(c);
    int connects = 0;
    c.OnConnect = [&](QObject*) { ++connects; };
    c.Connect();
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(c.MailCount, 3);
    EXPECT_FALSE(c.Busy());

    std::vector<std::pair<int, int>> listed;
    c.OnList = [&](int msg, int size) { listed.emplace_back(msg, size); };
    c.List();
    const auto sizeOf = [](const std::string& raw) {
        return static_cast<int>(MailServers::asServed(raw).size());
    };
    EXPECT_EQ(listed, (std::vector<std::pair<int, int>>{
                          {1, sizeOf(Plain)}, {2, sizeOf(LowerSubject)},
                          {3, sizeOf(withZip("base64", " name=\"a.zip\""))}}));
    c.Disconnect();
    EXPECT_FALSE(c.Connected());
}

TEST_F(Pop3Dovecot, SummaryTakesTheHeaderFieldsAsWritten) {
    servers().setMails({Plain, LowerSubject});
    TPop3Client c;
    setup(c);
    int ends = 0;
    c.OnRetrieveEnd = [&](QObject*) { ++ends; };
    c.Connect();
    c.GetSummary(1);
    EXPECT_EQ(c.Summary.Subject, " Hello");
    EXPECT_EQ(c.Summary.From, " Sender <sender@example.org>");
    EXPECT_EQ(c.Summary.Bytes, static_cast<int>(MailServers::asServed(Plain).size()));
    EXPECT_EQ(c.Summary.Header.Lines().back(), ".");
    EXPECT_EQ(c.Summary.Header.HeaderIndex("subject"), 2);

    c.GetSummary(2);
    EXPECT_EQ(c.Summary.Subject, "");   // "subject:" in lower case is not the subject here
    EXPECT_EQ(ends, 2);

    try {
        c.GetSummary(9);
        ADD_FAILURE() << "TOP of a missing mail must fail";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 4), "-ERR");
        EXPECT_EQ(std::string(e.what()).substr(std::string(e.what()).size() - 2), "\r\n");
    }
    EXPECT_EQ(ends, 2);
    EXPECT_FALSE(c.Busy());
    c.Disconnect();
}

TEST_F(Pop3Dovecot, RetrievalSplitsHeaderBodyAndAttachments) {
    servers().setMails({Plain, withZip("base64", " name=\"a.zip\""),
                       withZip("BASE64", " name=\"caps.zip\""), SingleBase64,
                       withZip("base64", "")});
    test::RetrievingPop3 c;
    setup(c);
    c.Connect();

    c.GetMailMessage(1);
    EXPECT_EQ(c.MailMessage.Subject, " Hello");
    EXPECT_EQ(c.MailMessage.From, "Sender <sender@example.org>");
    EXPECT_EQ(c.MailMessage.MessageId, "<plain@example.org>");
    EXPECT_EQ(c.MailMessage.Head.Lines().back(), "");
    EXPECT_EQ(c.MailMessage.Body.Lines(),
              (std::vector<std::string>{"First line.", ".starts with a dot", "", "Last line."}));

    c.GetMailMessage(2);
    EXPECT_EQ(c.MailMessage.Body.Lines(),
              (std::vector<std::string>{"Here is the file.", "\r\nFile \"a.zip\" extracted"}));
    EXPECT_EQ(c.MailMessage.Attachments.Lines(), std::vector<std::string>{"a.zip"});
    EXPECT_EQ(file("a.zip"), Zip);

    c.GetMailMessage(2);   // the same mail again does not overwrite the first file
    EXPECT_EQ(c.MailMessage.Attachments.Lines(), std::vector<std::string>{"a_1.zip"});
    EXPECT_EQ(file("a_1.zip"), Zip);

    c.GetMailMessage(3);
    EXPECT_EQ(file("caps.zip"), Zip);   // the encoding's name in any case

    c.GetMailMessage(4);   // a single base64 text part is the text
    EXPECT_TRUE(c.MailMessage.Attachments.Empty());
    EXPECT_EQ(c.MailMessage.Body.Lines(), (std::vector<std::string>{"Zeile eins", "Zeile zwei"}));

    c.GetMailMessage(5);   // no name: the default name
    EXPECT_EQ(c.MailMessage.Attachments.Lines(), std::vector<std::string>{"text.tmp"});
    EXPECT_EQ(file("text.tmp"), Zip);

    // The session is still in step after all of it.
    c.GetSummary(1);
    EXPECT_EQ(c.Summary.Subject, " Hello");
    c.Disconnect();
    EXPECT_EQ(servers().pop3Count(), 5u);   // nothing deleted
}

TEST_F(Pop3Dovecot, DeletionsTakeEffectAtQuit) {
    servers().setMails({Plain, LowerSubject, Plain});
    {
        test::RetrievingPop3 c;
        setup(c);
        c.DeleteOnRead = true;
        c.Connect();
        c.GetMailMessage(1);
        int successes = 0, failures = 0;
        c.OnSuccess = [&](QObject*) { ++successes; };
        c.OnFailure = [&](QObject*) { ++failures; };
        c.DeleteMailMessage(2);
        EXPECT_THROW(c.DeleteMailMessage(2), Exception);   // already deleted
        EXPECT_EQ(successes, 1);
        EXPECT_EQ(failures, 1);
        // Deleting while another operation runs is ignored.
        c.OnRetrieveStart = [&](QObject*) { c.DeleteMailMessage(3); };
        c.DeleteOnRead = false;
        c.GetSummary(3);
        EXPECT_EQ(successes, 1);
        EXPECT_EQ(servers().pop3Count(), 3u);   // nothing removed before QUIT
        c.Disconnect();
    }
    EXPECT_EQ(servers().pop3Count(), 1u);
}

TEST_F(Pop3Dovecot, AbortOnAnIdleSessionDropsItWithoutQuit) {
    servers().setMails({Plain});
    TPop3Client c;
    setup(c);
    c.Connect();
    c.DeleteMailMessage(1);
    c.Abort();   // no QUIT: the deletion is not carried out
    EXPECT_FALSE(c.Connected());
    c.Abort();   // not connected: nothing
    c.Connect();   // the component connects again
    EXPECT_EQ(c.MailCount, 1);
    c.Disconnect();
    EXPECT_EQ(servers().pop3Count(), 1u);
}

TEST_F(Pop3Dovecot, MailRequestedAheadIsTakenByItsRetrievalAndDiscardedByAnyOtherCommand) {
    servers().setMails({Plain, LowerSubject, withZip("base64", " name=\"a.zip\""), Plain});
    test::RetrievingPop3 c;
    setup(c);
    c.Connect();
    ASSERT_TRUE(c.Capabilities.Pipelining);

    // Without PIPELINING one mail at most goes out ahead.
    c.Capabilities.Pipelining = false;
    c.RequestMailMessage(0);   // no such number: nothing goes out
    c.GetMailMessage(1);
    c.RequestMailMessage(2);
    c.RequestMailMessage(4);   // ignored
    EXPECT_EQ(c.RequestedCount(), 1);
    c.GetMailMessage(2);
    EXPECT_EQ(c.MailMessage.From, "x@example.org");
    EXPECT_EQ(c.MailMessage.Body.Lines(), std::vector<std::string>{"body"});

    // With it, mails and DELEs go out together; each answer is taken in its turn, the DELEs'
    // handed on in the order sent.
    c.Capabilities.Pipelining = true;
    std::vector<int> deletions;   // the numbers answered, negative when refused
    c.OnDeletionAnswered = [&](int msg, const ERefused* refusal) { deletions.push_back(refusal ? -msg : msg); };
    c.RequestMailMessage(1);
    c.RequestDeletion(4);
    c.RequestDeletion(9);
    c.RequestMailMessage(2);
    EXPECT_EQ(c.RequestedCount(), 2);
    c.GetMailMessage(1);
    EXPECT_TRUE(deletions.empty());
    c.GetMailMessage(2);
    EXPECT_EQ(c.MailMessage.From, "x@example.org");
    EXPECT_EQ(deletions, (std::vector<int>{4, -9}));
    EXPECT_EQ(c.RequestedCount(), 0);
    c.Abort();   // no QUIT: mail 4 stays
    c.Connect();

    // Another mail than the one requested: the requested one, attachment and all, is read
    // past and the other one comes.
    c.RequestMailMessage(3);
    c.GetMailMessage(1);
    EXPECT_EQ(c.MailMessage.Subject, " Hello");
    EXPECT_FALSE(std::filesystem::exists(path + "a.zip"));

    // Any other command likewise; a refused request leaves nothing to read past.
    c.RequestMailMessage(3);
    c.GetSummary(4);
    EXPECT_EQ(c.Summary.Subject, " Hello");
    c.RequestMailMessage(9);
    c.DeleteMailMessage(4);
    c.RequestMailMessage(3);
    EXPECT_THROW(c.GetMailMessage(9), Exception);

    // Ending the session with a mail requested ahead still ends it in step: QUIT is answered
    // and the deletion carried out.
    c.RequestMailMessage(3);
    c.Disconnect();
    EXPECT_EQ(servers().pop3Count(), 3u);

    // A new session starts with nothing requested.
    c.Connect();
    c.RequestMailMessage(1);
    c.Abort();
    c.Connect();
    c.GetMailMessage(3);
    EXPECT_EQ(c.MailMessage.Attachments.Lines(), std::vector<std::string>{"a.zip"});
    c.Disconnect();
}

} // namespace
} // namespace pb
