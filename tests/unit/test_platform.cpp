#include "platform/AnsiText.h"
#include "platform/MessageLoop.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

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

} // namespace
} // namespace pb
