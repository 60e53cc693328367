#include "platform/AnsiText.h"
#include "platform/MessageLoop.h"
#include "platform/SocketNotify.h"
#include "support/LoopbackServer.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace pb {
namespace {

TEST(AnsiText, GermanTextsBecomeWindows1252Bytes) {
    EXPECT_EQ(ansi("Größe"), std::string("Gr\xF6\xDF" "e"));
    EXPECT_EQ(ansi("Empfängeradressen"), std::string("Empf\xE4ngeradressen"));
    EXPECT_EQ(ansi("€ – “x”"), std::string("\x80 \x96 \x93x\x94"));
    EXPECT_EQ(ansi("\xE2\x9C\x93"), "?");   // no Windows-1252 form
}

TEST(AnsiText, EveryByteSurvivesTheRoundTripThroughUnicode) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    EXPECT_EQ(fromUnicode(toUnicode(all)), all);
    EXPECT_EQ(toUtf8("\x80"), "\xE2\x82\xAC");
}

TEST(MessageLoop, WaitEndsWhenPostedWorkIsDoneAndKeepsTimersFiring) {
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(5);
    bool done = false;
    QTimer::singleShot(60, [&] { done = true; });
    pumpUntil([&] { return done; });
    EXPECT_TRUE(done);
    EXPECT_GE(ticks, 3);
}

TEST(MessageLoop, PendingEventsAreDispatchedWithoutAFixedSleepPerTurn) {
    // 2000 queued events, each dispatched by one turn: with a 2 ms sleep per turn this would
    // take four seconds; it must take a small fraction of that.
    int left = 2000;
    std::function<void()> step = [&] {
        if (--left > 0)
            QTimer::singleShot(0, step);
    };
    QTimer::singleShot(0, step);
    QElapsedTimer clock;
    clock.start();
    pumpUntil([&] { return left == 0; });
    EXPECT_LT(clock.elapsed(), 1500);
}

// WinSock's re-enabling: one FD_READ until a recv answers it. While a handler leaves the data
// unread, no further FD_READ comes and the loop is not kept awake by the waiting data.
TEST(SocketNotify, UnansweredReadIsNotRepeatedNorKeepsTheLoopAwake) {
    using namespace winsock;
    test::LoopbackServer server([](test::Peer& p) {
        p.send("first\r\n");
        p.readLine();   // the client's go-ahead
        p.send("second\r\n");
        p.waitForClose();
    });
    int reads = 0, connects = 0;
    HiddenWindow window([&](unsigned, std::uintptr_t, std::intptr_t l) {
        reads += selectEvent(l) == FD_READ;
        connects += selectEvent(l) == FD_CONNECT;
    });
    TcpSocket socket;
    ASSERT_EQ(socket.asyncSelect(&window, 1125, FD_READ | FD_CONNECT | FD_CLOSE), 0);
    socket.connect(htonl(INADDR_LOOPBACK), htons(server.port()));
    int wakeUps = 0;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
    auto pumpFor = [](int ms) {
        bool over = false;
        QTimer::singleShot(ms, [&] { over = true; });
        pumpUntil([&] { return over; });
    };
    pumpFor(100);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(reads, 1);
    // 100 ms with unread data: the 2 ms wake-up of the wait, not a loop spinning on the socket.
    EXPECT_LT(wakeUps, 500);

    char buf[64];
    EXPECT_EQ(socket.recv(buf, sizeof buf), 7);
    socket.send("go\n", 3);
    pumpFor(100);
    EXPECT_EQ(reads, 2);   // the recv armed it again, the second line came
    EXPECT_EQ(socket.recv(buf, sizeof buf), 8);
    socket.close();
}

} // namespace
} // namespace pb
