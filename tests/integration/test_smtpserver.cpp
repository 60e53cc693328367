// The SMTP client against a real SMTP server (aiosmtpd delivering into a Maildir, started on
// loopback by the test): the delivered text is compared byte for byte with what the
// composition promises, the envelope with the recipients, and the server's own refusals
// (HELO, MAIL FROM, RCPT, DATA, the final dot) are met as a user meets them.
#include "net/SmtpClient.h"
#include "support/MailServers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

namespace pb {
namespace {

using test::MailServers;
using test::SmtpMail;

const std::string TextPlain = "Content-Type: text/plain;                        charset=us-ascii";

std::string exceptionText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

class SmtpServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        servers = new MailServers;
        servers->start();
    }
    static void TearDownTestSuite() {
        delete servers;
        servers = nullptr;
    }
    void SetUp() override {
        servers->clearSmtp();
        smtp.Host = servers->host();
        smtp.Port = servers->smtpPort();
        smtp.TimeOut = 5000;
        smtp.UserID = "client.pb.test";
    }
    void TearDown() override {
        if (smtp.Connected())
            smtp.Disconnect();
    }

    // A plain message from hans@pb.test to the given To entries.
    void fill(std::initializer_list<std::string> to, std::initializer_list<std::string> body) {
        auto& m = smtp.PostMessage;
        m.FromName = "Hans Muster ";
        m.FromAddress = "hans@pb.test";
        m.ToAddress = TStringList(to);
        m.Body = TStringList(body);
        m.Subject = "Betreff";
    }

    std::vector<SmtpMail> received() { return servers->smtpReceived(); }
    // Everything the client sent on its one connection of this test.
    std::string session() {
        auto s = servers->smtpSessions();
        return s.empty() ? std::string() : s.back();
    }

    static MailServers* servers;
    TSmtpClient smtp;
};

MailServers* SmtpServer::servers = nullptr;

// --- composition, byte for byte ----------------------------------------------------------------

TEST_F(SmtpServer, HeaderAndBodyArriveExactlyAsComposed) {
    smtp.Connect();
    auto& m = smtp.PostMessage;
    m.FromName = "Hans Muster ";
    m.FromAddress = "hans@pb.test";
    m.ToAddress = TStringList{"anna@pb.test", "Bea Beispiel <bea@pb.test>"};
    m.ToCarbonCopy = TStringList{"Carl <carl@pb.test>"};
    m.ToBlindCarbonCopy = TStringList{"dora@pb.test"};
    m.Subject = "Gr\xFC\xDF" "e";
    m.LocalProgram = "Echodesk 95 using Postbridge Alpha 4";
    m.ReplyTo = "antwort@pb.test";
    m.Date = "Mon, 7 Dec 2026 10:00:00 +0100";
    m.Body = TStringList{"Hallo,", ".", ".fuehrender Punkt", "", "..zwei", "Ende."};
    smtp.SendMail();

    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].data,
              "From: Hans Muster <hans@pb.test>\r\n"
              "To: anna@pb.test,Bea Beispiel <bea@pb.test>\r\n"
              "CC: Carl <carl@pb.test>\r\n"
              "Subject: Gr\xFC\xDF" "e\r\n"
              "X-Mailer: Echodesk 95 using Postbridge Alpha 4\r\n"
              "Reply-To: antwort@pb.test\r\n"
              "Date: Mon, 7 Dec 2026 10:00:00 +0100\r\n"
              "Mime-Version: 1.0\r\n" +
                  TextPlain + "\r\n"
                  "\r\n"
                  "\r\n"
                  "Hallo,\r\n"
                  ".\r\n"
                  ".fuehrender Punkt\r\n"
                  "\r\n"
                  "..zwei\r\n"
                  "Ende.\r\n");
    EXPECT_EQ(mails[0].helo, "client.pb.test");
    EXPECT_EQ(mails[0].mailFrom, "hans@pb.test");
    EXPECT_EQ(mails[0].rcptTo,
              (std::vector<std::string>{"anna@pb.test", "bea@pb.test", "carl@pb.test",
                                        "dora@pb.test"}));
    // On the wire every line that begins with a dot carried one more.
    const std::string wire = session();
    EXPECT_NE(wire.find("\r\n..\r\n..fuehrender Punkt\r\n\r\n...zwei\r\n"), std::string::npos);
    EXPECT_NE(wire.find("RSET\r\nMAIL FROM:<hans@pb.test>\r\nRCPT TO:<anna@pb.test>\r\n"
                        "RCPT TO:<bea@pb.test>\r\nRCPT TO:<carl@pb.test>\r\n"
                        "RCPT TO:<dora@pb.test>\r\nDATA\r\n"),
              std::string::npos);
    // Sent: recipients and attachments are emptied, the text stays for the owner.
    EXPECT_TRUE(m.ToAddress.Empty());
    EXPECT_TRUE(m.ToBlindCarbonCopy.Empty());
    EXPECT_EQ(m.Body.Count(), 6);
}

TEST_F(SmtpServer, EmptyValuesGiveNoLinesAndBlindRecipientsAloneStillGetTheMail) {
    smtp.Connect();
    auto& m = smtp.PostMessage;
    m.FromAddress = "hans@pb.test";
    m.ToBlindCarbonCopy = TStringList{"Geheim <geheim@pb.test>"};
    m.Body = TStringList{"x"};
    smtp.SendMail();

    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].data, "From: <hans@pb.test>\r\nMime-Version: 1.0\r\n" + TextPlain +
                                 "\r\n\r\n\r\nx\r\n");
    EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"geheim@pb.test"});
}

TEST_F(SmtpServer, TheOwnersLastChangesToTheHeaderAreWhatGoesOut) {
    smtp.Connect();
    fill({"anna@pb.test"}, {"Umlaute: \xE4\xF6\xFC"});
    smtp.OnSendStart = [this](QObject*) {
        const int i = smtp.FinalHeader.IndexOf(TextPlain);
        ASSERT_GE(i, 0);
        smtp.FinalHeader.Put(i, "Content-Type: text/plain; charset=iso-8859-1");
    };
    smtp.SendMail();
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(mails[0].data.find("Mime-Version: 1.0\r\nContent-Type: text/plain; "
                                 "charset=iso-8859-1\r\n\r\n\r\nUmlaute: \xE4\xF6\xFC\r\n"),
              std::string::npos);
}

// Many recipients make a header far longer than one socket write takes; it must arrive
// whole, with the recipient line folded so that no line breaks the server's line limit.
TEST_F(SmtpServer, AHeaderOfManyRecipientsArrivesWhole) {
    smtp.Connect();
    std::vector<std::string> to;
    for (int i = 0; i < 700; ++i)
        to.push_back("Empfaenger Nummer " + std::to_string(i) + " <r" + std::to_string(i) +
                     "@pb.test>");
    fill({}, {"Rundschreiben"});
    for (const auto& r : to)
        smtp.PostMessage.ToAddress.Add(r);
    smtp.SendMail();

    std::string header;
    for (const auto& line : smtp.FinalHeader)
        header += line + "\r\n";
    ASSERT_GT(header.size(), 16385u);
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].data, header + "\r\n\r\nRundschreiben\r\n");
    EXPECT_EQ(mails[0].rcptTo.size(), 700u);
    std::istringstream lines(mails[0].data);
    std::string line, unfolded;
    while (std::getline(lines, line)) {
        ASSERT_LE(line.size(), 999u);   // 998 and the CR
        if (line.starts_with("To: ") || line.starts_with(" "))
            unfolded += line.substr(0, line.size() - 1);
    }
    std::string joined = "To: ";
    for (std::size_t i = 0; i < to.size(); ++i)
        joined += (i ? "," : "") + to[i];
    std::string expected = joined;
    // Folding adds only a line break and one blank after a comma.
    std::erase(unfolded, ' ');
    std::erase(expected, ' ');
    EXPECT_EQ(unfolded, expected);
}

// --- attachments --------------------------------------------------------------------------------

class TempFile {
public:
    TempFile(const std::string& name, const std::string& bytes) {
        dir_ = std::filesystem::temp_directory_path() / ("pbsmtp." + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / name).string();
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
        std::filesystem::remove(dir_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::filesystem::path dir_;
    std::string path_;
};

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

std::string decodeBase64(const std::string& text) {
    std::istringstream in(text);
    std::ostringstream out;
    TUUProcessor coder;
    coder.SourceStream = &in;
    coder.TargetStream = &out;
    coder.Decode();
    return out.str();
}

TEST_F(SmtpServer, TwoAttachmentsRoundTripThroughTheServer) {
    const std::string bytes1 = randomBytes(10000, 1);
    const std::string bytes2 = randomBytes(46, 2);   // one full line and one byte more
    TempFile file1("daten.bin", bytes1);
    TempFile file2("kurz mit blank.dat", bytes2);
    std::vector<std::string> events;
    smtp.OnEncodeStart = [&](const std::string& f) { events.push_back("start " + f); };
    smtp.OnEncodeEnd = [&](const std::string& f) { events.push_back("end " + f); };
    smtp.Connect();
    fill({"anna@pb.test"}, {"Zwei Dateien anbei.", ".Punkt"});
    smtp.PostMessage.Attachments = TStringList{file1.path(), file2.path()};
    smtp.SendMail();

    EXPECT_EQ(events, (std::vector<std::string>{"start " + file1.path(), "end " + file1.path(),
                                                "start " + file2.path(), "end " + file2.path()}));
    const std::string b = smtp.Boundary();
    ASSERT_TRUE(b.starts_with("====================54535")) << b;
    ASSERT_TRUE(b.ends_with("====")) << b;
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    const std::string& data = mails[0].data;
    const std::string head = "Mime-Version: 1.0\r\nContent-Type: multipart/mixed;"
                             "                   boundary=\"" + b + "\"\r\n\r\n\r\n";
    ASSERT_NE(data.find(head), std::string::npos) << data.substr(0, 600);
    std::string rest = data.substr(data.find(head) + head.size());

    const std::string textPart = "--" + b + "\r\n" + TextPlain + "\r\n\r\n" +
                                 "Zwei Dateien anbei.\r\n.Punkt\r\n";
    ASSERT_TRUE(rest.starts_with(textPart)) << rest.substr(0, 300);
    rest.erase(0, textPart.size());
    for (const auto& [name, bytes] : {std::pair{std::string("daten.bin"), bytes1},
                                      std::pair{std::string("kurz mit blank.dat"), bytes2}}) {
        const std::string partHead =
            "--" + b + "\r\n"
            "Content-Type: application/octet-stream;          name=\"" + name + "\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment;                 filename=\"" + name + "\"\r\n\r\n";
        ASSERT_TRUE(rest.starts_with(partHead)) << rest.substr(0, 300);
        rest.erase(0, partHead.size());
        const std::size_t end = rest.find("--" + b);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(decodeBase64(rest.substr(0, end)), bytes) << name;
        rest.erase(0, end);
    }
    EXPECT_EQ(rest, "--" + b + "--\r\n");
}

TEST_F(SmtpServer, AMissingAttachmentSendsNothingAndLeavesTheConnectionUsable) {
    std::vector<std::string> notFound;
    smtp.OnAttachmentNotFound = [&](const std::string& f) { notFound.push_back(f); };
    smtp.Connect();
    fill({"anna@pb.test"}, {"Anhang fehlt"});
    smtp.PostMessage.Attachments = TStringList{"/nonexistent/pb/brief.txt"};
    EXPECT_THROW(smtp.SendMail(), EFOpenError);
    EXPECT_EQ(notFound, std::vector<std::string>{"/nonexistent/pb/brief.txt"});
    EXPECT_FALSE(smtp.Busy());
    EXPECT_EQ(session().find("RSET"), std::string::npos);

    smtp.PostMessage.Attachments.Clear();
    smtp.SendMail();
    EXPECT_EQ(received().size(), 1u);
}

// --- incomplete mails ---------------------------------------------------------------------------

TEST_F(SmtpServer, AMailWithoutRecipientsOrSenderIsNotSent) {
    std::vector<int> asked;
    smtp.Connect();
    fill({}, {"an niemanden"});
    EXPECT_EQ(exceptionText([&] { smtp.SendMail(); }), "Incomplete Header");

    smtp.OnHeaderIncomplete = [&](bool&, int hiType) { asked.push_back(hiType); };
    smtp.PostMessage.ToAddress = TStringList{"anna@pb.test"};
    smtp.PostMessage.FromAddress.clear();
    EXPECT_EQ(exceptionText([&] { smtp.SendMail(); }), "Incomplete Header");
    smtp.PostMessage.FromAddress = "hans@pb.test";
    smtp.PostMessage.ToAddress.Clear();
    EXPECT_EQ(exceptionText([&] { smtp.SendMail(); }), "Incomplete Header");
    EXPECT_EQ(asked, (std::vector<int>{1, 2}));
    EXPECT_EQ(session().find("RSET"), std::string::npos);

    // A handler that repairs the mail and says so gets it sent as composed before the repair.
    smtp.OnHeaderIncomplete = [&](bool& handled, int) {
        smtp.PostMessage.ToAddress.Add("anna@pb.test");
        handled = true;
    };
    smtp.SendMail();
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"anna@pb.test"});
    EXPECT_EQ(mails[0].data.find("To:"), std::string::npos);
}

// --- the server's refusals ----------------------------------------------------------------------

TEST_F(SmtpServer, ARefusedHeloIsRetriedOnceWhenTheOwnerHandlesIt) {
    int asked = 0;
    smtp.UserID = "reject.pb.test";
    smtp.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        smtp.UserID = "client.pb.test";
        handled = true;
    };
    bool connected = false;
    smtp.OnConnect = [&](QObject*) { connected = true; };
    smtp.Connect();
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(connected);
    fill({"anna@pb.test"}, {"x"});
    smtp.SendMail();
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].helo, "client.pb.test");
}

TEST_F(SmtpServer, ARefusedHeloFailsTheConnectionAndEndsItWithQuit) {
    int asked = 0;
    bool connected = false;
    smtp.UserID = "reject.pb.test";
    smtp.OnConnect = [&](QObject*) { connected = true; };
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "Authentication failed");

    // A handler that says it handled it but the server still refuses: asked once only.
    smtp.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        handled = true;
    };
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "Authentication failed");
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(connected);
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    const auto sessions = servers->smtpSessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0], "HELO reject.pb.test\r\nQUIT\r\n");
    EXPECT_EQ(sessions[1], "HELO reject.pb.test\r\nHELO reject.pb.test\r\nQUIT\r\n");
}

TEST_F(SmtpServer, RefusedRecipientsAreReportedAndTheOthersGetTheMail) {
    std::vector<std::string> refused;
    smtp.OnRecipientNotFound = [&](const std::string& r) { refused.push_back(r); };
    smtp.Connect();
    fill({"anna@pb.test", "Niemand <reject-niemand@pb.test>"}, {"x"});
    smtp.PostMessage.ToCarbonCopy = TStringList{"defer-spaeter@pb.test"};
    smtp.PostMessage.ToBlindCarbonCopy = TStringList{"Typ:bea@pb.test", "Leer <>"};
    smtp.SendMail();
    EXPECT_EQ(refused, (std::vector<std::string>{"Niemand <reject-niemand@pb.test>",
                                                 "defer-spaeter@pb.test"}));
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTo, (std::vector<std::string>{"anna@pb.test", "bea@pb.test"}));
    EXPECT_EQ(session().find("RCPT TO:<>"), std::string::npos);
}

TEST_F(SmtpServer, EveryRecipientRefusedMakesTheServerRefuseDataAndTheNextMailStillGoes) {
    std::vector<std::string> refused;
    smtp.OnRecipientNotFound = [&](const std::string& r) { refused.push_back(r); };
    smtp.Connect();
    fill({"reject-a@pb.test", "reject-b@pb.test"}, {"x"});
    const std::string error = exceptionText([&] { smtp.SendMail(); });
    EXPECT_TRUE(error.starts_with("503 ")) << error;   // DATA without a valid recipient
    EXPECT_TRUE(error.ends_with("\r\n"));
    EXPECT_EQ(refused.size(), 2u);
    EXPECT_EQ(smtp.PostMessage.ToAddress.Count(), 2);   // a failed mail keeps its recipients
    EXPECT_TRUE(smtp.Connected());

    fill({"anna@pb.test"}, {"zweiter Versuch"});
    smtp.SendMail();
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"anna@pb.test"});
}

TEST_F(SmtpServer, ARefusedSenderFailsWithTheReplyLine) {
    smtp.Connect();
    fill({"anna@pb.test"}, {"x"});
    smtp.PostMessage.FromAddress = "reject@pb.test";
    const std::string error = exceptionText([&] { smtp.SendMail(); });
    EXPECT_TRUE(error.starts_with("553 ")) << error;
    EXPECT_EQ(session().find("RCPT"), std::string::npos);
    EXPECT_TRUE(smtp.Connected());
}

TEST_F(SmtpServer, ARefusedFinalDotFiresOnFailureThenFails) {
    std::vector<std::string> events;
    smtp.OnFailure = [&](QObject*) { events.push_back("failure " + smtp.LastReply()); };
    smtp.OnSuccess = [&](QObject*) { events.push_back("success"); };
    smtp.Connect();
    fill({"datareject@pb.test"}, {"wird abgelehnt"});
    const std::string error = exceptionText([&] { smtp.SendMail(); });
    EXPECT_TRUE(error.starts_with("554 ")) << error;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "failure " + error);
    EXPECT_EQ(smtp.PostMessage.ToAddress.Count(), 1);
    EXPECT_TRUE(received().empty());

    fill({"anna@pb.test"}, {"geht durch"});
    smtp.SendMail();
    EXPECT_EQ(events.back(), "success");
    EXPECT_EQ(received().size(), 1u);
}

// --- re-entrancy and cancel ---------------------------------------------------------------------

TEST_F(SmtpServer, SendMailFromAnEventHandlerOfARunningCallDoesNothing) {
    fill({"anna@pb.test"}, {"x"});
    smtp.UserID = "reject.pb.test";
    smtp.OnAuthenticationFailed = [&](bool& handled) {
        smtp.SendMail();   // Connect is under way
        smtp.UserID = "client.pb.test";
        handled = true;
    };
    int inner = 0;
    smtp.OnSendStart = [&](QObject*) {
        ++inner;
        smtp.SendMail();   // the send itself is under way
    };
    smtp.Connect();
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(session().find("RSET"), std::string::npos);
    smtp.SendMail();
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(received().size(), 1u);
}

TEST_F(SmtpServer, CancelDuringTheMailTextDropsTheConnectionAndDeliversNothing) {
    smtp.Connect();
    fill({"anna@pb.test"}, {});
    for (int i = 0; i < 40000; ++i)   // about 2.4 MB: many socket chunks
        smtp.PostMessage.Body.Add(std::string(58, static_cast<char>('A' + i % 26)));
    int packets = 0;
    smtp.OnPacketSent = [&](QObject*) {
        if (++packets == 2)
            smtp.Abort();
    };
    try {
        smtp.SendMail();
        FAIL() << "the send was not canceled";
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), "Socket send aborted");
    }
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    smtp.Disconnect();   // nothing left to end: no exception, no wait

    // The component connects again; the canceled mail never arrived, the next one does.
    smtp.OnPacketSent = nullptr;
    smtp.Connect();
    smtp.PostMessage.Body = TStringList{"danach"};
    smtp.SendMail();
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_TRUE(mails[0].data.ends_with("\r\n\r\n\r\ndanach\r\n"));
}

TEST_F(SmtpServer, AbortBetweenMailsDropsTheConnectionWithoutQuit) {
    smtp.Connect();
    smtp.Abort();
    EXPECT_FALSE(smtp.Connected());
    smtp.Disconnect();
    EXPECT_EQ(session(), "HELO client.pb.test\r\n");
}

// --- text that could break the dialogue ---------------------------------------------------------

// A line end inside a body entry (text with Unix or old Mac line ends) becomes a line of its
// own on the wire, with its own dot transparency: no server can take it for the end of data.
TEST_F(SmtpServer, LineBreaksInsideBodyEntriesCannotEndTheMailEarly) {
    smtp.Connect();
    fill({"anna@pb.test"}, {"Zeile\n.\nweiter", ".\r\n.\r.", "QUIT"});
    smtp.SendMail();
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_TRUE(mails[0].data.ends_with(
        "\r\n\r\n\r\nZeile\r\n.\r\nweiter\r\n.\r\n.\r\n.\r\nQUIT\r\n"));
    EXPECT_NE(session().find("Zeile\r\n..\r\nweiter\r\n..\r\n..\r\n..\r\nQUIT\r\n.\r\n"),
              std::string::npos);
}

TEST_F(SmtpServer, AddressesWithLineBreaksNeverReachACommand) {
    std::vector<std::string> refused;
    smtp.OnRecipientNotFound = [&](const std::string& r) { refused.push_back(r); };
    smtp.Connect();
    fill({"anna@pb.test", "Eve <x@pb.test\r\nRCPT TO:eve@pb.test>"}, {"x"});
    smtp.SendMail();
    EXPECT_EQ(refused.size(), 1u);
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].rcptTo, std::vector<std::string>{"anna@pb.test"});

    fill({"anna@pb.test"}, {"x"});
    smtp.PostMessage.FromAddress = "hans@pb.test>\r\nRSET";
    EXPECT_EQ(exceptionText([&] { smtp.SendMail(); }), "Invalid sender address");
    EXPECT_EQ(received().size(), 1u);
}

} // namespace
} // namespace pb
