// The SMTP client against scripted servers, for what a real server cannot be made to do: a
// multi-line greeting, a refusing greeting, a refused QUIT, a connection cut in the middle of
// the mail text, a server that never answers, every refusal inside a pipelined envelope; and
// the recipient address rules.
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

// --- a pipelined envelope -------------------------------------------------------------------------

// A server that offers PIPELINING and answers each group (RSET to DATA) only after all of it has
// arrived, in order: the first group of the session with the case's replies, later ones with
// consent. Every refusal must leave the client where the one-by-one exchange would: the same
// failure and events, the mail text never sent without a recipient, the next mail sent on the
// same connection unless the server closed it.
TEST(SmtpPipelining, EveryRefusalInTheGroupEndsAsOneByOneAndTheDialogueStaysInStep) {
    struct Case {
        const char* name;
        std::vector<std::string> replies;   // to RSET, MAIL, three RCPTs, DATA
        const char* dotReply;               // to the end of the data, when DATA was taken
        std::string error;
        std::vector<std::string> refused;
    };
    const std::string ok = "250 ok\r\n", go = "354 go ahead\r\n", unknown = "550 5.1.1 unknown\r\n";
    const std::string noMail = "503 5.5.1 need MAIL\r\n", sender = "550 5.7.1 sender refused\r\n";
    const std::vector<std::string> everyone{"Anna <a@pb.test>", "b@pb.test", "c@pb.test"};
    const std::vector<Case> cases{
        {"one recipient of three refused", {ok, ok, ok, unknown, ok, go}, "250 queued\r\n", "", {"b@pb.test"}},
        {"every recipient refused, DATA too", {ok, ok, unknown, unknown, unknown, "554 5.5.1 no valid recipients\r\n"},
         "", "554 5.5.1 no valid recipients\r\n", everyone},
        {"sender refused", {ok, sender, noMail, noMail, noMail, noMail}, "", sender, {}},
        {"sender refused, DATA taken", {ok, sender, noMail, noMail, noMail, go}, "250 ok\r\n", sender, {}},
        {"no recipient, DATA taken", {ok, ok, unknown, unknown, unknown, go}, "250 ok\r\n", unknown, everyone},
        {"server closing in the group", {ok, ok, "421 4.3.2 shutting down\r\n"}, "", "421 4.3.2 shutting down\r\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<std::string>> groups;
        std::vector<std::string> texts;   // what came after each 354
        std::string offGrammar;
        LoopbackServer server([&](Peer& p) {
            if (!p.startTls())
                return;
            p.send("220 strict ESMTP\r\n");
            for (std::string line = test::ReadSmtpCommand(p, &offGrammar); !line.empty();
                 line = test::ReadSmtpCommand(p, &offGrammar)) {
                if (line.starts_with("EHLO ")) {
                    p.send("250-strict\r\n250 PIPELINING\r\n");
                    continue;
                }
                if (line == "QUIT\r\n") {
                    p.send("221 bye\r\n");
                    return;
                }
                std::vector<std::string> group{line};
                while (group.back() != "DATA\r\n" && !(line = test::ReadSmtpCommand(p, &offGrammar)).empty())
                    group.push_back(line);
                const bool first = groups.empty();
                groups.push_back(group);
                for (std::size_t i = 0; i < group.size(); ++i) {
                    const std::string reply = !first ? (i + 1 < group.size() ? ok : go)
                                              : i < c.replies.size() ? c.replies[i] : noMail;
                    p.send(reply);
                    if (reply.starts_with("421"))
                        return;
                    if (reply == go) {
                        texts.emplace_back();
                        for (line = p.readLine(); !line.empty(); line = p.readLine()) {
                            texts.back() += line;
                            if (line == ".\r\n")
                                break;
                        }
                        p.send(first ? c.dotReply : "250 queued\r\n");
                    }
                }
            }
        });
        TSmtpClient smtp;
        prepare(smtp, server.port());
        smtp.Security = TSecurity::Implicit;
        smtp.TrustedFingerprint = test::TlsFingerprint();
        smtp.Connect();
        EXPECT_TRUE(smtp.Pipelining());
        std::vector<std::string> refused;
        smtp.OnRecipientNotFound = [&](const std::string& r) { refused.push_back(r); };
        auto send = [&] {
            smtp.PostMessage.FromAddress = "hans@pb.test";
            smtp.PostMessage.ToAddress = TStringList{everyone[0], everyone[1]};
            smtp.PostMessage.ToBlindCarbonCopy = TStringList{everyone[2], "x@pb.test\r\nRSET"};
            smtp.PostMessage.Body = TStringList{"Hallo"};
            return exceptionText([&] { smtp.SendMail(); });
        };
        EXPECT_EQ(send(), c.error.empty() ? "(no exception)" : c.error);
        std::vector<std::string> want = c.refused;
        if (c.error != sender && !c.replies[2].starts_with("421"))
            want.push_back("x@pb.test\r\nRSET");   // refused here, in its place
        EXPECT_EQ(refused, want);
        const bool closed = c.error.starts_with("421");
        EXPECT_EQ(smtp.Connected(), !closed);
        if (!closed) {
            EXPECT_EQ(send(), "(no exception)");   // the next mail, on the same connection
            smtp.Disconnect();
        }
        server.join();
        EXPECT_EQ(offGrammar, "");
        ASSERT_FALSE(groups.empty());
        EXPECT_EQ(groups[0], (std::vector<std::string>{"RSET\r\n", "MAIL FROM:<hans@pb.test>\r\n", "RCPT TO:<a@pb.test>\r\n",
                                                       "RCPT TO:<b@pb.test>\r\n", "RCPT TO:<c@pb.test>\r\n", "DATA\r\n"}));
        ASSERT_EQ(texts.size(), (c.replies.back() == go) + !closed);
        if (c.replies.back() == go) {   // nothing of the mail unless a recipient took it
            EXPECT_EQ(texts[0] == ".\r\n", c.error != "") << texts[0];
        }
        if (!closed) {
            EXPECT_NE(texts.back().find("\r\nHallo\r\n.\r\n"), std::string::npos) << texts.back();
        }
    }
}

} // namespace
} // namespace pb
