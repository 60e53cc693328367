// The SMTP client against scripted servers, for what a real server cannot be made to do: a
// multi-line greeting, a refusing greeting, a refused QUIT, a connection cut in the middle of
// the mail text, a server that never answers; and the recipient address rules.
#include "net/SmtpClient.h"
#include "support/ExceptionText.h"
#include "support/LoopbackServer.h"
#include "support/StrictServers.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <vector>

namespace pb {
namespace {

using namespace std::chrono_literals;
using test::exceptionText;
using test::LoopbackServer;
using test::Peer;

void prepare(TSmtpClient& smtp, std::uint16_t port) {
    test::pointAt(smtp, port);
    smtp.UserID = "me";
}

// Accepts every command and mail until the client says QUIT; returns the lines read, the mail
// texts' lines included.
std::vector<std::string> serveUntilQuit(Peer& p) {
    std::vector<std::string> got;
    for (std::string line = test::ReadSmtpCommand(p); !line.empty(); line = test::ReadSmtpCommand(p)) {
        got.push_back(line);
        if (line == "QUIT\r\n") {
            p.send("221 bye\r\n");
            break;
        }
        if (line == "DATA\r\n") {
            p.send("354 go ahead\r\n");
            for (line = p.readLine(); !line.empty() && line != ".\r\n"; line = p.readLine())
                got.push_back(line);
            got.push_back(line);
        }
        p.send("250 ok\r\n");
    }
    return got;
}

// --- recipient addresses ------------------------------------------------------------------------

TEST(SmtpAddress, BareAddressOfEveryEntryForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"anna@pb.test", "anna@pb.test"},
        {"Anna Beispiel <anna@pb.test>", "anna@pb.test"},
        {"<anna@pb.test>", "anna@pb.test"},
        {"Anna <anna@pb.test", "anna@pb.test"},              // no closing bracket
        {"Anna <anna@pb.test<more>", "anna@pb.test"},
        {"Leer <>", ""},
        {"SMTP:anna@pb.test", "anna@pb.test"},               // a type prefix
        {"a:anna@pb.test:rest", "anna@pb.test"},
        {"Typ: <anna@pb.test>", "anna@pb.test"},             // brackets win over the colon
        {"", ""},
    };
    for (const auto& [entry, bare] : cases)
        EXPECT_EQ(TSmtpClient::ExtractAddress(entry), bare) << entry;
}

// --- the greeting and HELO ----------------------------------------------------------------------

TEST(SmtpConnect, MultiLineGreetingAndHeloRepliesAreReadToTheirLastLine) {
    std::vector<std::string> got;
    LoopbackServer server([&](Peer& p) {
        p.send("220-welcome\r\n220-to the\r\n 220 indented continuation\r\n220 server\r\n");
        got.push_back(test::ReadSmtpCommand(p));
        p.send("250-hello me\r\n250-SIZE 100\r\n250 HELP\r\n");
        got.push_back(test::ReadSmtpCommand(p));
        p.send("221 bye\r\n");
        p.waitForClose();
    });
    TSmtpClient smtp;
    prepare(smtp, server.port());
    int connected = 0;
    smtp.OnConnect = [&](QObject*) { ++connected; };
    smtp.Connect();
    EXPECT_EQ(connected, 1);
    EXPECT_FALSE(smtp.Busy());
    smtp.Disconnect();   // the QUIT reply is the 221, not a left-over HELO line
    server.join();
    EXPECT_EQ(got, (std::vector<std::string>{"HELO me\r\n", "QUIT\r\n"}));
}

TEST(SmtpConnect, AGreetingOfFourHundredOrMoreFailsWithItsLineAfterQuit) {
    std::string quit;
    LoopbackServer server([&](Peer& p) {
        p.send("421 too busy\r\n");
        quit = test::ReadSmtpCommand(p);
        p.send("221 bye\r\n");
        p.waitForClose();
    });
    TSmtpClient smtp;
    prepare(smtp, server.port());
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "421 too busy\r\n");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    server.join();
    EXPECT_EQ(quit, "QUIT\r\n");
}

// --- QUIT ---------------------------------------------------------------------------------------

TEST(SmtpDisconnect, AQuitReplyAbove339FailsWithTheLineButTheSocketIsClosed) {
    LoopbackServer server([](Peer& p) {
        p.send("220 hi\r\n");
        test::ReadSmtpCommand(p);
        p.send("250 ok\r\n");
        test::ReadSmtpCommand(p);
        p.send("500 not now\r\n");
        p.waitForClose();
    });
    TSmtpClient smtp;
    prepare(smtp, server.port());
    int disconnects = 0;
    smtp.OnDisconnect = [&](QObject*) { ++disconnects; };
    smtp.Connect();
    EXPECT_EQ(exceptionText([&] { smtp.Disconnect(); }), "500 not now\r\n");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(disconnects, 1);
    smtp.Disconnect();   // already closed: nothing more happens
    EXPECT_EQ(disconnects, 1);
}

// --- a connection cut inside the mail ------------------------------------------------------------

TEST(SmtpSend, AConnectionCutInsideTheMailTextFailsAndTheNextConnectWorks) {
    std::vector<std::string> second;
    int session = 0;
    LoopbackServer server(
        [&](Peer& p) {
            p.send("220 hi\r\n");
            if (++session == 1) {
                for (int i = 0; i < 5; ++i) {   // HELO RSET MAIL RCPT DATA
                    const std::string line = test::ReadSmtpCommand(p);
                    p.send(line == "DATA\r\n" ? "354 go ahead\r\n" : "250 ok\r\n");
                }
                p.readBytes(100);   // part of the header, then the server gives up
                p.send("421 4.4.2 closing\r\n");
                p.close();
            } else {
                second = serveUntilQuit(p);
            }
        },
        2);
    TSmtpClient smtp;
    prepare(smtp, server.port());
    smtp.Connect();
    smtp.PostMessage.FromAddress = "hans@pb.test";
    smtp.PostMessage.ToAddress = TStringList{"anna@pb.test"};
    for (int i = 0; i < 100000; ++i)   // far more than the socket buffers hold
        smtp.PostMessage.Body.Add("Zeile " + std::to_string(i));
    bool succeeded = false;
    smtp.OnSuccess = [&](QObject*) { succeeded = true; };
    // The server's parting line or the cut itself, whichever the client meets first.
    const std::string error = exceptionText([&] { smtp.SendMail(); });
    EXPECT_TRUE(error == "421 4.4.2 closing\r\n" || error == "Connection closed") << error;
    EXPECT_FALSE(succeeded);
    EXPECT_TRUE(smtp.InBuffer.Empty());
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    EXPECT_EQ(smtp.PostMessage.ToAddress.Count(), 1);   // kept for the next attempt
    smtp.Disconnect();

    smtp.Connect();
    smtp.PostMessage.Body = TStringList{"kurz"};
    smtp.SendMail();
    EXPECT_TRUE(succeeded);
    smtp.Disconnect();
    server.join();
    ASSERT_GE(second.size(), 6u);
    EXPECT_EQ(second[0], "HELO me\r\n");   // no stale reply of the first connection was read
    EXPECT_EQ(second[1], "RSET\r\n");
    EXPECT_EQ(second.back(), "QUIT\r\n");
}

// --- cancel -------------------------------------------------------------------------------------

TEST(SmtpAbort, AbortWhileTheServerKeepsSilentEndsTheConnectWithoutQuit) {
    std::string afterwards;
    LoopbackServer server([&](Peer& p) {
        p.waitForClose();   // no greeting
        afterwards = p.readAll();
    });
    TSmtpClient smtp;
    prepare(smtp, server.port());
    QTimer::singleShot(100, [&] { smtp.Abort(); });
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "Socket readln aborted");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    server.join();
    EXPECT_EQ(afterwards, "");
}

TEST(SmtpAbort, AbortDuringTheTcpConnectEndsItAtOnce) {
    test::SilentListener silent;
    TSmtpClient smtp;
    prepare(smtp, silent.port());
    smtp.TimeOut = 10000;
    QTimer::singleShot(100, [&] { smtp.Abort(); });
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "Connection Canceled");
    EXPECT_FALSE(smtp.Busy());
}

// --- what counts as an answer -------------------------------------------------------------------

// Only a numbered 2xx after the end of the data means the server took the mail; a reply without
// a number drops the session, since whatever answers there does not speak SMTP.
TEST(SmtpReplies, OnlyANumberedTwoHundredAfterTheDataAcceptsTheMail) {
    struct Case { const char* endReply; bool dropped; };
    for (const Case c : {Case{"-ERR nope\r\n", true}, Case{"2500 ok\r\n", true},
                         Case{"354 more please\r\n", false}, Case{"250-stored\r\nOK\r\n", true},
                         Case{"250-stored\r\n250 really\r\n", false}}) {
        SCOPED_TRACE(c.endReply);
        LoopbackServer server([&](Peer& p) {
            p.send("220 hi\r\n");
            for (std::string line = test::ReadSmtpCommand(p); !line.empty(); line = test::ReadSmtpCommand(p)) {
                if (line == "QUIT\r\n") {
                    p.send("221 bye\r\n");
                    break;
                }
                if (line == "DATA\r\n") {
                    p.send("354 go\r\n");
                    while (line != ".\r\n" && !line.empty())
                        line = p.readLine();
                    p.send(c.endReply);
                    continue;
                }
                p.send("250 ok\r\n");
            }
        });
        TSmtpClient smtp;
        prepare(smtp, server.port());
        smtp.Connect();
        smtp.PostMessage.FromAddress = "a@pb.test";
        smtp.PostMessage.ToAddress.Add("b@pb.test");
        bool succeeded = false;
        smtp.OnSuccess = [&](QObject*) { succeeded = true; };
        const bool accepted = std::string(c.endReply).ends_with("250 really\r\n");
        if (accepted) {
            EXPECT_NO_THROW(smtp.SendMail());
        } else {
            EXPECT_THROW(smtp.SendMail(), Exception);
        }
        EXPECT_EQ(succeeded, accepted);
        EXPECT_EQ(smtp.Connected(), !c.dropped);
        smtp.Disconnect();
    }

    // A service that answers "-ERR" from the start is no mail server at all.
    LoopbackServer pop3([](Peer& p) {
        p.send("-ERR go away\r\n");
        p.waitForClose();
    });
    TSmtpClient smtp;
    prepare(smtp, pop3.port());
    EXPECT_EQ(exceptionText([&] { smtp.Connect(); }), "Protocol error: -ERR go away\r\n");
    EXPECT_FALSE(smtp.Connected());
}

} // namespace
} // namespace pb
