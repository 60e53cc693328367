// The SMTP client against a real SMTP server (aiosmtpd delivering into a Maildir, started on
// loopback by the test): the delivered text is compared byte for byte with what the
// composition promises, the envelope with the recipients, and the server's own refusals
// (HELO, RCPT, DATA, the final dot) are met as a user meets them.
#include "net/SmtpClient.h"
#include "support/ExceptionText.h"
#include "support/MailServers.h"
#include "support/SuiteServers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace pb {
namespace {

using test::exceptionText;
using test::MailServers;
using Lines = std::vector<std::string>;

const std::string TextPlain = "Content-Type: text/plain;                        charset=us-ascii";

class SmtpServer : public test::SuiteServers<> {
protected:
    void SetUp() override {
        servers().clearSmtp();
        smtp.Host = servers().host();
        smtp.Port = servers().smtpPort();
        smtp.TimeOut = 5000;
        smtp.UserID = "client.pb.test";
    }

    void fill(const Lines& to, const Lines& body) {
        auto& m = smtp.PostMessage;
        m.FromName = "Hans Muster ";
        m.FromAddress = "hans@pb.test";
        m.ToAddress.Clear();
        for (const auto& t : to)
            m.ToAddress.Add(t);
        m.Body.Clear();
        for (const auto& b : body)
            m.Body.Add(b);
    }
    std::vector<test::SmtpMail> received() { return servers().smtpReceived(); }
    std::string session() {   // what the client sent on its last connection
        auto s = servers().smtpSessions();
        return s.empty() ? std::string() : s.back();
    }

    TSmtpClient smtp;
};

// --- composition, byte for byte ----------------------------------------------------------------

// The mail without its Message-ID line (and its Date line, when the composition dated it),
// which it must have once each; their values differ from mail to mail.
std::string withoutIdAndDate(const std::string& data, bool dated) {
    std::string out = data;
    const std::size_t id = out.find("\r\nMessage-ID: <");
    const std::size_t idEnd = id == std::string::npos ? id : out.find("\r\n", id + 2);
    EXPECT_NE(idEnd, std::string::npos);
    if (idEnd == std::string::npos)
        return out;
    EXPECT_EQ(out.substr(idEnd - 9, 9), "@pb.test>");
    out.erase(id, idEnd - id);
    if (dated) {
        const std::size_t date = out.find("\r\nDate: ");
        EXPECT_NE(date, std::string::npos);
        if (date != std::string::npos)
            out.erase(date, out.find("\r\n", date + 2) - date);
    }
    EXPECT_EQ(out.find("Message-ID"), std::string::npos);
    return out;
}

TEST_F(SmtpServer, HeaderAndBodyArriveExactlyAsComposed) {
    smtp.Connect();
    auto& m = smtp.PostMessage;
    fill({"anna@pb.test", "Bea Beispiel <bea@pb.test>"},
         {"Hallo,", ".", ".fuehrender Punkt", "", "..zwei", "Ende."});
    m.ToCarbonCopy = TStringList{"Carl <carl@pb.test>"};
    m.ToBlindCarbonCopy = TStringList{"dora@pb.test"};
    m.Subject = "Gr\xFC\xDF" "e";
    m.LocalProgram = "Echodesk 95 using Postbridge Alpha 4";
    m.ReplyTo = "antwort@pb.test";
    m.Date = "Mon, 7 Dec 2026 10:00:00 +0100";
    smtp.SendMail();

    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    // The 8-bit subject as an encoded word; the body is 7-bit and goes out as it is.
    EXPECT_EQ(withoutIdAndDate(mails[0].data, false), "From: Hans Muster <hans@pb.test>\r\n"
                             "To: anna@pb.test,Bea Beispiel <bea@pb.test>\r\n"
                             "CC: Carl <carl@pb.test>\r\n"
                             "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
                             "X-Mailer: Echodesk 95 using Postbridge Alpha 4\r\n"
                             "Reply-To: antwort@pb.test\r\n"
                             "Date: Mon, 7 Dec 2026 10:00:00 +0100\r\n"
                             "Mime-Version: 1.0\r\n" +
                                 TextPlain + "\r\n\r\n\r\n"
                                 "Hallo,\r\n.\r\n.fuehrender Punkt\r\n\r\n..zwei\r\nEnde.\r\n");
    EXPECT_EQ(mails[0].helo, "client.pb.test");
    EXPECT_EQ(mails[0].mailFrom, "hans@pb.test");
    EXPECT_EQ(mails[0].rcptTo, (Lines{"anna@pb.test", "bea@pb.test", "carl@pb.test", "dora@pb.test"}));
    // On the wire every line that begins with a dot carried one more.
    EXPECT_NE(session().find("\r\n..\r\n..fuehrender Punkt\r\n\r\n...zwei\r\n"), std::string::npos);
    // Sent: recipients are emptied, the text stays for the owner.
    EXPECT_TRUE(m.ToAddress.Empty());
    EXPECT_TRUE(m.ToBlindCarbonCopy.Empty());
    EXPECT_EQ(m.Body.Count(), 6);
}

TEST_F(SmtpServer, EmptyValuesGiveNoLinesAndBlindRecipientsAloneStillGetTheMail) {
    smtp.Connect();
    smtp.PostMessage.FromAddress = "hans@pb.test";
    smtp.PostMessage.ToBlindCarbonCopy = TStringList{"Geheim <geheim@pb.test>"};
    smtp.PostMessage.Body = TStringList{"x"};
    smtp.SendMail();
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(withoutIdAndDate(mails[0].data, true), "From: <hans@pb.test>\r\nMime-Version: 1.0\r\n" + TextPlain +
                                 "\r\n\r\n\r\nx\r\n");
    EXPECT_EQ(mails[0].rcptTo, Lines{"geheim@pb.test"});
}

// Many recipients make a header longer than one Write takes; it must arrive whole, with the
// recipient line folded so that no line breaks the server's line limit.
TEST_F(SmtpServer, AHeaderOfManyRecipientsArrivesWhole) {
    smtp.Connect();
    fill({}, {"Rundschreiben"});
    for (int i = 0; i < 700; ++i)
        smtp.PostMessage.ToAddress.Add("Empfaenger " + std::to_string(i) + " <r" +
                                       std::to_string(i) + "@pb.test>");
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
    for (std::string line; std::getline(lines, line);)
        ASSERT_LE(line.size(), 999u);   // 998 and the CR
}

// A line end inside a body entry (text with Unix or old Mac line ends) becomes a line of its
// own on the wire, with its own dot transparency: no server can take it for the end of data.
TEST_F(SmtpServer, LineBreaksInsideBodyEntriesCannotEndTheMailEarly) {
    smtp.Connect();
    fill({"anna@pb.test"}, {"Zeile\n.\nweiter", ".\r\n.\r.", "QUIT"});
    smtp.SendMail();
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_TRUE(mails[0].data.ends_with("\r\n\r\n\r\nZeile\r\n.\r\nweiter\r\n.\r\n.\r\n.\r\nQUIT\r\n"));
    EXPECT_NE(session().find("Zeile\r\n..\r\nweiter\r\n..\r\n..\r\n..\r\nQUIT\r\n.\r\n"),
              std::string::npos);
}

TEST_F(SmtpServer, AddressesWithLineBreaksNeverReachACommand) {
    Lines refused;
    smtp.OnRecipientNotFound = [&](const std::string& r) { refused.push_back(r); };
    smtp.Connect();
    fill({"anna@pb.test", "Eve <x@pb.test\r\nRCPT TO:eve@pb.test>"}, {"x"});
    smtp.SendMail();
    EXPECT_EQ(refused.size(), 1u);
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].rcptTo, Lines{"anna@pb.test"});

    fill({"anna@pb.test"}, {"x"});
    smtp.PostMessage.FromAddress = "hans@pb.test>\r\nRSET";
    EXPECT_EQ(exceptionText([&] { smtp.SendMail(); }), "Invalid sender address");
    EXPECT_EQ(received().size(), 1u);
}

// --- attachments --------------------------------------------------------------------------------

std::string writeFile(const std::string& name, unsigned seed, std::size_t size) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes)
        c = static_cast<char>(gen());
    const auto dir = std::filesystem::temp_directory_path() / "pbsmtp-attach";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return bytes;
}

TEST_F(SmtpServer, TwoAttachmentsRoundTripThroughTheServer) {
    const std::string dir = (std::filesystem::temp_directory_path() / "pbsmtp-attach/").string();
    const std::pair<std::string, std::string> files[] = {
        {"daten.bin", writeFile("daten.bin", 1, 10000)},
        {"kurz mit blank.dat", writeFile("kurz mit blank.dat", 2, 46)}};
    Lines events;
    smtp.OnEncodeStart = [&](const std::string& f) { events.push_back("start " + f); };
    smtp.OnEncodeEnd = [&](const std::string& f) { events.push_back("end " + f); };
    smtp.Connect();
    fill({"anna@pb.test"}, {"Zwei Dateien anbei.", ".Punkt"});
    smtp.PostMessage.Attachments = TStringList{dir + files[0].first, dir + files[1].first};
    smtp.SendMail();
    std::filesystem::remove_all(dir);

    EXPECT_EQ(events, (Lines{"start " + dir + files[0].first, "end " + dir + files[0].first,
                             "start " + dir + files[1].first, "end " + dir + files[1].first}));
    const std::string b = smtp.Boundary();
    ASSERT_TRUE(b.starts_with("====================54535") && b.ends_with("====")) << b;
    const auto mails = received();
    ASSERT_EQ(mails.size(), 1u);
    const std::string head = "Mime-Version: 1.0\r\nContent-Type: multipart/mixed;"
                             "                   boundary=\"" + b + "\"\r\n\r\n\r\n" +
                             "--" + b + "\r\n" + TextPlain + "\r\n\r\n" +
                             "Zwei Dateien anbei.\r\n.Punkt\r\n";
    std::string rest = mails[0].data;
    ASSERT_NE(rest.find(head), std::string::npos) << rest.substr(0, 600);
    rest.erase(0, rest.find(head) + head.size());
    for (const auto& [name, bytes] : files) {
        const std::string partHead =
            "--" + b + "\r\n"
            "Content-Type: application/octet-stream;          name=\"" + name + "\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment;                 filename=\"" + name + "\"\r\n\r\n";
        ASSERT_TRUE(rest.starts_with(partHead)) << rest.substr(0, 300);
        rest.erase(0, partHead.size());
        const std::size_t end = rest.find("--" + b);
        std::istringstream encoded(rest.substr(0, end));
        std::ostringstream decoded;
        TUUProcessor coder;
        coder.SourceStream = &encoded;
        coder.TargetStream = &decoded;
        coder.Decode();
        EXPECT_EQ(decoded.str(), bytes) << name;
        rest.erase(0, end);
    }
    EXPECT_EQ(rest, "--" + b + "--\r\n");
}

TEST_F(SmtpServer, AMissingAttachmentSendsNothingAndLeavesTheConnectionUsable) {
    Lines notFound;
    smtp.OnAttachmentNotFound = [&](const std::string& f) { notFound.push_back(f); };
    smtp.Connect();
    fill({"anna@pb.test"}, {"Anhang fehlt"});
    smtp.PostMessage.Attachments = TStringList{"/nonexistent/pb/brief.txt"};
    EXPECT_THROW(smtp.SendMail(), EFOpenError);
    EXPECT_EQ(notFound, Lines{"/nonexistent/pb/brief.txt"});
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
    fill({"anna@pb.test"}, {"x"});
    smtp.PostMessage.FromAddress.clear();
    EXPECT_EQ(exceptionText([&] { smtp.SendMail(); }), "Incomplete Header");
    EXPECT_EQ(asked, std::vector<int>{1});
    EXPECT_EQ(session().find("RSET"), std::string::npos);

    // A handler that repairs the mail and says so gets it sent as composed before the repair.
    smtp.OnHeaderIncomplete = [&](bool& handled, int) {
        smtp.PostMessage.FromAddress = "hans@pb.test";
        handled = true;
    };
    smtp.SendMail();
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].mailFrom, "hans@pb.test");
    EXPECT_TRUE(received()[0].data.starts_with("From: Hans Muster <>\r\n"));
}

// --- the server's refusals ----------------------------------------------------------------------

TEST_F(SmtpServer, ARefusedHeloIsRetriedOnceWhenTheOwnerHandlesIt) {
    int asked = 0, connected = 0;
    std::string retryName = "reject.again";
    smtp.UserID = "reject.pb.test";
    smtp.OnConnect = [&](QObject*) { ++connected; };
    smtp.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        smtp.UserID = retryName;
        handled = true;
    };
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "Authentication failed");
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(session(), "HELO reject.pb.test\r\nHELO reject.again\r\nQUIT\r\n");

    smtp.UserID = "reject.pb.test";
    retryName = "client.pb.test";
    smtp.Connect();
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(connected, 1);
    fill({"anna@pb.test"}, {"x"});
    smtp.SendMail();
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].helo, "client.pb.test");
}

TEST_F(SmtpServer, RefusedRecipientsAreReportedAndTheOthersGetTheMail) {
    Lines refused;
    smtp.OnRecipientNotFound = [&](const std::string& r) { refused.push_back(r); };
    smtp.Connect();
    fill({"anna@pb.test", "Niemand <reject-niemand@pb.test>"}, {"x"});
    smtp.PostMessage.ToCarbonCopy = TStringList{"defer-spaeter@pb.test"};
    smtp.PostMessage.ToBlindCarbonCopy = TStringList{"Typ:bea@pb.test", "Leer <>"};
    smtp.SendMail();
    EXPECT_EQ(refused, (Lines{"Niemand <reject-niemand@pb.test>", "defer-spaeter@pb.test"}));
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].rcptTo, (Lines{"anna@pb.test", "bea@pb.test"}));
    EXPECT_EQ(session().find("RCPT TO:<>"), std::string::npos);
}

TEST_F(SmtpServer, EveryRecipientRefusedMakesTheServerRefuseDataAndTheNextMailStillGoes) {
    smtp.Connect();
    fill({"reject-a@pb.test", "reject-b@pb.test"}, {"x"});
    const std::string error = exceptionText([&] { smtp.SendMail(); });
    EXPECT_TRUE(error.starts_with("503 ") && error.ends_with("\r\n")) << error;
    EXPECT_EQ(smtp.PostMessage.ToAddress.Count(), 2);   // a failed mail keeps its recipients
    EXPECT_TRUE(smtp.Connected());

    fill({"anna@pb.test"}, {"zweiter Versuch"});
    smtp.SendMail();
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].rcptTo, Lines{"anna@pb.test"});
}

TEST_F(SmtpServer, ARefusedFinalDotFiresOnFailureThenFails) {
    Lines events;
    smtp.OnFailure = [&](QObject*) { events.push_back("failure " + smtp.LastReply()); };
    smtp.OnSuccess = [&](QObject*) { events.push_back("success"); };
    smtp.Connect();
    fill({"datareject@pb.test"}, {"wird abgelehnt"});
    const std::string error = exceptionText([&] { smtp.SendMail(); });
    EXPECT_TRUE(error.starts_with("554 ")) << error;
    EXPECT_EQ(events, Lines{"failure " + error});
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
    int starts = 0;
    smtp.OnSendStart = [&](QObject*) {
        ++starts;
        smtp.SendMail();   // the send itself is under way
    };
    smtp.Connect();
    EXPECT_EQ(session().find("RSET"), std::string::npos);
    smtp.SendMail();
    EXPECT_EQ(starts, 1);
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
    EXPECT_EQ(exceptionText([&] { smtp.SendMail(); }), "Socket send aborted");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    smtp.Disconnect();   // nothing left to end: no exception, no wait

    smtp.OnPacketSent = nullptr;
    smtp.Connect();
    smtp.PostMessage.Body = TStringList{"danach"};
    smtp.SendMail();
    ASSERT_EQ(received().size(), 1u);
    EXPECT_TRUE(received()[0].data.ends_with("\r\n\r\n\r\ndanach\r\n"));
}

} // namespace
} // namespace pb
