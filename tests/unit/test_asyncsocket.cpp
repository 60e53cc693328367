// The socket component against small scripted servers on loopback: line reading, sending,
// cancel, peer close, connect failures, name lookup (through a resolver the test installs,
// so no DNS query leaves the machine) and status reporting.
#include "mail/MailAssembler.h"
#include "net/AsyncSocket.h"
#include "net/Pop3Client.h"
#include "platform/AnsiText.h"
#include "platform/MessageLoop.h"
#include "platform/Resolver.h"
#include "support/ExceptionText.h"
#include "support/LoopbackServer.h"
#include "support/RetrievingPop3.h"
#include "support/StrictServers.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

namespace pb {
namespace {

using namespace std::chrono_literals;
using test::exceptionText;
using test::LoopbackServer;
using test::Peer;

using test::connectTo;

// Calls f after ms milliseconds of message dispatching (from inside the component's wait).
void after(int ms, std::function<void()> f) { QTimer::singleShot(ms, std::move(f)); }

// --- reading lines -----------------------------------------------------------------------------

// Receives written into reserved room, partly used, and takes from the front, in an order that
// makes the buffer both move its bytes down and grow: what it hands out is what went in.
TEST(AsyncSocketRead, BufferKeepsItsBytesThroughMovesAndGrowth) {
    SocketBuffer b;
    std::string model;
    std::uint32_t seed = 7;
    auto next = [&seed](std::uint32_t n) { seed = seed * 1103515245u + 12345u; return (seed >> 8) % n; };
    for (int round = 0; round < 2000; ++round) {
        const std::size_t room = 1 + next(40000);
        char* at = b.Reserve(room);
        const std::size_t used = next(room + 1);
        for (std::size_t i = 0; i < used; ++i) {
            at[i] = static_cast<char>('a' + next(26));
            model += at[i];
        }
        b.Commit(used);
        if (next(7) == 0) {
            b.Append("\n", 1);
            model += '\n';
        }
        const std::size_t lf = b.FindLF();
        const std::size_t modelLf = model.find('\n');
        ASSERT_EQ(lf, modelLf == std::string::npos ? SocketBuffer::npos : modelLf);
        const std::size_t take = lf != SocketBuffer::npos ? lf + 1 : next(static_cast<std::uint32_t>(model.size() + 1));
        b.Consume(take);
        model.erase(0, take);
        ASSERT_EQ(std::string(b.Data(), b.Size()), model);
    }
}


TEST(AsyncSocketRead, LinesComeOutOneByOneHoweverTheyArrive) {
    LoopbackServer server([](Peer& p) {
        p.send("ab");                  // one line in three receives
        p.pause(30ms);
        p.send("c\r\nd\r\ne");         // the rest of it, a whole line, a start
        p.pause(30ms);
        p.send("\nx\ny\r\n");          // bare LF endings
        p.waitForClose();
    });
    TAsyncSocket s;
    connectTo(s, server.port());
    EXPECT_EQ(s.ReadLn(), "abc\r\n");
    EXPECT_EQ(s.ReadLn(), "d\r\n");
    EXPECT_EQ(s.ReadLn(), "e\n");
    EXPECT_EQ(s.ReadLn(), "x\n");
    EXPECT_EQ(s.ReadLn(), "y\r\n");
    EXPECT_TRUE(s.InBuffer.Empty());
    s.Disconnect();
}

TEST(AsyncSocketRead, ManyChunksOfShortLinesAndOneLongLineArriveIntact) {
    std::string lines;
    for (int i = 0; i < 5000; ++i)
        lines += "line " + std::to_string(i) + "\r\n";
    const std::string longLine = std::string(300000, 'L') + "\r\n";
    LoopbackServer server([&](Peer& p) {
        p.send(lines);
        p.send(longLine);
        p.waitForClose();
    });
    TAsyncSocket s;
    connectTo(s, server.port());
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(s.ReadLn(), "line " + std::to_string(i) + "\r\n");
    EXPECT_EQ(s.ReadLn(), longLine);
    s.Disconnect();
}

// A server that sends far more than is read (answers to commands sent ahead, or more than it
// listed): the buffer stops at its limit while the rest waits in the kernel, and every line
// still comes, in order, once the reader takes them.
TEST(AsyncSocketRead, BufferStopsAtItsLimitAndLosesNothing) {
    constexpr int count = 600000;   // 8.4 MB
    auto line = [](int i) {
        char text[16];
        std::snprintf(text, sizeof text, "line %07d\r\n", i);
        return std::string(text);
    };
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += line(i);
    LoopbackServer server([&](Peer& p) {
        p.send(lines);
        p.waitForClose();
    });
    TAsyncSocket s;
    connectTo(s, server.port());
    std::size_t most = 0;
    const auto until = std::chrono::steady_clock::now() + 10s;
    pumpUntil([&] {
        most = std::max(most, s.InBuffer.Size());
        return most >= TAsyncSocket::ReadAheadLimit || std::chrono::steady_clock::now() > until;
    });
    ASSERT_GE(most, TAsyncSocket::ReadAheadLimit);
    auto pump = [&](int turns) {
        for (int k = 0; k < turns; ++k) {
            pumpOnce();
            most = std::max(most, s.InBuffer.Size());
        }
    };
    pump(50);
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(s.ReadLn(), line(i));
        if (i % 20000 == 0)
            pump(5);
    }
    EXPECT_LT(most, TAsyncSocket::ReadAheadLimit + 16384);   // one receive beyond it at most
    s.Disconnect();
}

TEST(AsyncSocketRead, PeerCloseHandsOutWhatArrivedThenFailsInsteadOfWaiting) {
    int session = 0;
    LoopbackServer server([&](Peer& p) { p.send(++session == 1 ? "full\r\npart" : "hello\r\n"); }, 2);
    TAsyncSocket s;
    int disconnects = 0;
    s.OnDisconnect = [&](QObject*) { ++disconnects; };
    connectTo(s, server.port());
    EXPECT_EQ(s.ReadLn(), "full\r\n");
    EXPECT_EQ(exceptionText([&] { s.ReadLn(); }), "Connection closed");
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(std::string(s.InBuffer.Data(), s.InBuffer.Size()), "part");
    EXPECT_THROW(s.Writeln("QUIT"), ESockError);

    // The cut-off line of the old connection is not mistaken for the next greeting.
    connectTo(s, server.port());
    EXPECT_EQ(s.ReadLn(), "hello\r\n");
}

TEST(AsyncSocketRead, TimersKeepFiringWhileReadLnWaitsAndCancelEndsTheWait) {
    LoopbackServer server([](Peer& p) { p.waitForClose(); });
    TAsyncSocket s;
    connectTo(s, server.port());
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(5);
    after(150, [&] { s.Cancel(); });
    EXPECT_EQ(exceptionText([&] { s.ReadLn(); }), "Socket readln aborted");
    EXPECT_GE(ticks, 10);
    EXPECT_TRUE(s.Canceled());
    s.Disconnect();
}

TEST(AsyncSocketRead, AfterCancelTheBufferedLineStaysAndReadsFailUntilTheNextConnect) {
    std::vector<std::string> received;
    LoopbackServer server(
        [&](Peer& p) {
            p.send("one\r\ntwo\r\n");
            received.push_back(p.readAll());
        },
        2);
    TAsyncSocket s;
    connectTo(s, server.port());
    EXPECT_EQ(s.ReadLn(), "one\r\n");
    s.Cancel();
    EXPECT_THROW(s.ReadLn(), EAbortError);
    EXPECT_THROW(s.ReadLn(), EAbortError);
    EXPECT_EQ(std::string(s.InBuffer.Data(), s.InBuffer.Size()), "two\r\n");

    // Sending while canceled returns without sending and without an exception.
    s.Write("never sent");

    s.Disconnect();
    s.InBuffer.Clear();
    connectTo(s, server.port());
    EXPECT_FALSE(s.Canceled());
    EXPECT_EQ(s.ReadLn(), "one\r\n");
    s.Disconnect();
    server.join();
    EXPECT_EQ(received, (std::vector<std::string>{"", ""}));
}

// --- sending --------------------------------------------------------------------------------------

TEST(AsyncSocketSend, StreamGoesOutInBoundedChunksWithProgressEvents) {
    std::string payload(100000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('A' + i % 26);
    std::string received;
    LoopbackServer server([&](Peer& p) { received = p.readBytes(payload.size()); });
    TAsyncSocket s;
    connectTo(s, server.port());
    std::vector<std::int64_t> progress;
    s.OnPacketSent = [&](QObject*) { progress.push_back(s.SentCount()); };
    std::istringstream in(payload);
    in.seekg(5000);   // SendStream starts at the beginning whatever the position
    s.SendStream(in);
    EXPECT_EQ(s.SendSize(), 100000);
    EXPECT_EQ(s.SentCount(), 100000);
    ASSERT_GE(progress.size(), 7u);
    std::int64_t before = 0;
    for (std::int64_t p : progress) {
        EXPECT_GT(p - before, 0);
        EXPECT_LE(p - before, 16383);
        before = p;
    }
    EXPECT_EQ(progress.back(), 100000);
    server.join();
    EXPECT_EQ(received, payload);
    s.Disconnect();
}

TEST(AsyncSocketSend, WriteStopsAtItsLimitAndAtAZeroCharacter) {
    std::string received;
    LoopbackServer server([&](Peer& p) { received = p.readAll(); });
    TAsyncSocket s;
    connectTo(s, server.port());
    s.Write(std::string(20000, 'w'));
    s.Write(std::string("ab\0cd", 5));
    s.Writeln("");
    std::istringstream empty;
    s.SendStream(empty);   // nothing to wait for
    s.Disconnect();
    server.join();
    EXPECT_EQ(received, std::string(16385, 'w') + "ab\r\n");
}

TEST(AsyncSocketSend, TransactionSetsReplyCodeAndStatus) {
    std::vector<std::string> commands;
    LoopbackServer server([&](Peer& p) {
        commands.push_back(p.readLine());
        p.send("250 mail.test Hello\r\n");
        commands.push_back(p.readLine());
        p.send("+OK 2 320\r\n");
        p.waitForClose();
    });
    TAsyncSocket s;
    s.ReportLevel = 1;
    connectTo(s, server.port());
    EXPECT_EQ(s.Transaction("HELO me"), "250 mail.test Hello\r\n");
    EXPECT_EQ(s.ReplyCode(), 250);
    EXPECT_EQ(s.Status(), "250 mail.test Hello\r\n");
    EXPECT_EQ(s.Transaction("STAT"), "+OK 2 320\r\n");
    EXPECT_EQ(s.ReplyCode(), 0);
    EXPECT_EQ(s.LastReply(), "+OK 2 320\r\n");
    EXPECT_EQ(NthWord(s.LastReply(), ' ', 3), "320\r\n");
    s.Disconnect();
    server.join();
    EXPECT_EQ(commands, (std::vector<std::string>{"HELO me\r\n", "STAT\r\n"}));
}

// --- connecting -----------------------------------------------------------------------------------

TEST(AsyncSocketConnect, RefusedConnectFailsWithTheReasonAndLeavesTheComponentUsable) {
    LoopbackServer server([](Peer& p) { p.send("hello\r\n"); });
    TAsyncSocket s;
    int failed = 0;
    s.OnConnectionFailed = [&](QObject*) { ++failed; };
    test::pointAt(s, test::closedPort());
    EXPECT_EQ(exceptionText([&] { s.Connect(); }), "Connection Failed");
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(s.ErrorText(s.LastSocketError()), "10061:Connection refused");
    EXPECT_FALSE(s.Connected());

    connectTo(s, server.port());
    EXPECT_EQ(s.ReadLn(), "hello\r\n");
    EXPECT_EQ(exceptionText([&] { s.Connect(); }), "Already connected");
    EXPECT_TRUE(s.Connected());
}

TEST(AsyncSocketConnect, SilentServerTimesOutAfterOnConnectionFailed) {
    test::SilentListener silent;
    TAsyncSocket s;
    std::vector<std::string> order;
    s.OnConnectionFailed = [&](QObject*) { order.push_back("failed"); };
    test::pointAt(s, silent.port());
    s.TimeOut = 200;
    try {
        s.Connect();
    } catch (const ESockError& e) {
        order.push_back(e.what());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"failed", "Connection Timed out"}));

    after(50, [&] { s.Cancel(); });
    s.TimeOut = 0;
    EXPECT_EQ(exceptionText([&] { s.Connect(); }), "Connection Canceled");
}

// Installs a resolver for the test's lifetime; restores the system's afterwards.
struct FakeResolver {
    explicit FakeResolver(LookupFunction f) { setLookupFunction(std::move(f)); }
    ~FakeResolver() { setLookupFunction({}); }
};

LookupResult knownHosts(const std::string& name) {
    if (name == "mail.test")
        return {htonl(INADDR_LOOPBACK), 0};
    return {0, 11001};
}

TEST(AsyncSocketConnect, NamesResolveThroughTheLookupAndOnInvalidHostMayCorrectThemOnce) {
    FakeResolver resolver(knownHosts);
    LoopbackServer server([](Peer& p) { p.send("hi\r\n"); }, 2);
    TAsyncSocket s;
    int resolved = 0;
    s.OnHostResolved = [&](QObject*) { ++resolved; };
    s.Host = "mail.test";
    s.Port = server.port();
    s.Connect();
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(s.ReadLn(), "hi\r\n");
    s.Disconnect();

    s.Host = "nowhere.test";
    EXPECT_EQ(exceptionText([&] { s.Connect(); }), "Null Remote Address");

    int asked = 0;
    s.OnInvalidHost = [&](bool& handled) {
        ++asked;
        s.Host = "mail.test";
        handled = true;
    };
    s.Host = "typo.test";
    s.Connect();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(resolved, 2);
    s.Disconnect();

    s.OnInvalidHost = [&](bool& handled) {
        ++asked;
        s.Host = "still-wrong.test";
        handled = true;
    };
    s.Host = "typo.test";
    EXPECT_EQ(exceptionText([&] { s.Connect(); }), "Null Remote Address");
    EXPECT_EQ(asked, 2);   // asked once for this Connect, not again after the second failure
    server.join();
}

TEST(AsyncSocketConnect, SlowLookupTimesOutOrIsCanceledAndLongNamesAreRefused) {
    FakeResolver resolver([](const std::string&) {
        std::this_thread::sleep_for(500ms);
        return LookupResult{htonl(INADDR_LOOPBACK), 0};
    });
    TAsyncSocket s;
    s.Host = "slow.test";
    s.Port = 1;
    s.TimeOut = 50;
    EXPECT_EQ(exceptionText([&] { s.Connect(); }), "Host Lookup Timed Out");
    s.TimeOut = 0;
    after(50, [&] { s.Cancel(); });
    EXPECT_EQ(exceptionText([&] { s.Connect(); }), "Host Lookup Canceled");
    s.Host = std::string(128, 'h');
    EXPECT_EQ(exceptionText([&] { s.Connect(); }), "Host name too long");
}

TEST(AsyncSocketConnect, DroppedLookupNeverReachesADestroyedComponent) {
    FakeResolver resolver([](const std::string&) {
        std::this_thread::sleep_for(100ms);
        return LookupResult{htonl(INADDR_LOOPBACK), 0};
    });
    {
        TAsyncSocket s;
        s.Host = "slow.test";
        s.TimeOut = 10;
        EXPECT_THROW(s.Connect(), ESockError);
    }
    // Let the worker finish and try to post; nothing may arrive anywhere.
    bool done = false;
    after(300, [&] { done = true; });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// --- status and errors ------------------------------------------------------------------------

TEST(AsyncSocketStatus, ReportLevelSelectsTheTexts) {
    LoopbackServer server(
        [](Peer& p) {
            p.readLine();
            p.send("+OK fine\r\n");
            p.waitForClose();
        },
        2);
    for (int level : {2, 8}) {
        TAsyncSocket s;
        std::vector<std::string> seen;
        s.OnStatus = [&](QObject*, const std::string& t) { seen.push_back(t); };
        s.ReportLevel = level;
        connectTo(s, server.port());
        s.Transaction("NOOP");
        s.Disconnect();
        auto has = [&](const std::string& t) {
            return std::find(seen.begin(), seen.end(), t) != seen.end();
        };
        EXPECT_TRUE(has("+OK fine\r\n")) << level;
        EXPECT_EQ(has("Connecting"), level == 8);
        EXPECT_EQ(has("ReadLn"), level == 8);
        EXPECT_EQ(has("Request Close Socket"), level == 8);
        EXPECT_FALSE(has("Checking Error In Error Manager"));
        if (level == 2) {
            EXPECT_EQ(seen.size(), 1u);
        }
    }
}

TEST(AsyncSocketStatus, ErrorTextsAndFields) {
    EXPECT_EQ(WinsockErrorText(0), "");
    EXPECT_EQ(WinsockErrorText(10061), "10061:Connection refused");
    EXPECT_EQ(WinsockErrorText(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(WinsockErrorText(12345), "Unknown Error No. 12345");

    EXPECT_EQ(NthWord("a  b", ' ', 2), "");
    EXPECT_EQ(NthWord("a  b", ' ', 3), "b");
    EXPECT_EQ(NthWord(" a", ' ', 1), "");
    EXPECT_EQ(NthWord("+OK", ' ', 2), "");
    EXPECT_EQ(NthWord("x \"a.zip\" y", '"', 2), "a.zip");
}

TEST(AsyncSocketStatus, DestroyingAConnectedComponentClosesWithoutOnDisconnect) {
    LoopbackServer server([](Peer& p) { EXPECT_TRUE(p.waitForClose()); });
    int disconnects = 0;
    {
        TAsyncSocket s;
        s.OnDisconnect = [&](QObject*) { ++disconnects; };
        connectTo(s, server.port());
    }
    server.join();
    EXPECT_EQ(disconnects, 0);
}

} // namespace
} // namespace pb

// --- time limits ---------------------------------------------------------------------------------

namespace pb {
namespace {

// Shortens the time limits for one test.
struct ShortLimits {
    explicit ShortLimits(TNetTimeLimits limits) : saved(NetTimeLimits) { NetTimeLimits = limits; }
    ~ShortLimits() { NetTimeLimits = saved; }
    TNetTimeLimits saved;
};

// Runs f and returns its error text and how long it took.
std::pair<std::string, std::chrono::milliseconds> timed(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    std::string text = exceptionText(f);
    return {text, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)};
}

TEST(AsyncSocketLimits, SilentTricklingAndNonReadingServersEndInTheTimeLimit) {
    const std::string expected = "Zeitüberschreitung: der Server antwortet nicht (127.0.0.1)";
    ShortLimits limits({300, 400, 60000, 1000});
    struct Case { const char* name; std::function<void(Peer&)> serve; std::function<void(TAsyncSocket&)> wait; };
    const Case cases[] = {
        {"silent", [](Peer& p) { p.waitForClose(); }, [](TAsyncSocket& s) { s.ReadLn(); }},
        // A byte every 50 ms keeps the connection busy, but the line never ends.
        {"trickling",
         [](Peer& p) {
             for (int i = 0; i < 40 && !p.waitForClose(50ms); ++i)
                 p.send("x");
         },
         [](TAsyncSocket& s) { s.ReadLn(); }},
        // A server that takes nothing: the send stalls once the socket buffers are full.
        {"not reading", [](Peer& p) { p.pause(2s); },
         [](TAsyncSocket& s) {
             std::istringstream big(std::string(64 << 20, 'x'));
             s.SendStream(big);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server(c.serve);
        TAsyncSocket s;
        connectTo(s, server.port());
        const auto [text, took] = timed([&] { c.wait(s); });
        EXPECT_EQ(toUtf8(text), expected);
        EXPECT_LT(took, 3s);
        EXPECT_FALSE(s.Connected());
    }
}

// Lines that keep coming do not keep a mail going for ever: its time grows with its listed size.
TEST(AsyncSocketLimits, AMailMustArriveWithinTheTimeItsListedSizeAllows) {
    ShortLimits limits({60000, 60000, 300, 100});
    LoopbackServer server([](Peer& p) {
        p.send("+OK ready\r\n");
        for (std::string line = test::ReadPop3Command(p); !line.empty(); line = test::ReadPop3Command(p)) {
            if (line.starts_with("LIST")) {
                p.send("+OK\r\n1 70000\r\n.\r\n");   // two blocks of 64 KB: 300 + 2 * 100 ms
            } else if (line.starts_with("RETR")) {
                p.send("+OK\r\nSubject: endless\r\n\r\n");
                for (int i = 0; i < 60 && !p.waitForClose(50ms); ++i)
                    p.send("more text\r\n");
                return;
            } else {
                p.send("+OK\r\n");
            }
        }
    });
    test::RetrievingPop3 pop;
    test::pointAt(pop, server.port());
    pop.UserID = "u";
    pop.Password = "p";
    pop.OnList = [](int, int) {};
    pop.Connect();
    pop.List();
    const auto [text, took] = timed([&] { pop.GetMailMessage(1); });
    EXPECT_NE(text.find("(127.0.0.1)"), std::string::npos) << text;
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 1500ms);
    EXPECT_FALSE(pop.Connected());
}

} // namespace
} // namespace pb
