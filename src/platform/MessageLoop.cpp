#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <memory>

namespace pb {
namespace {

// A 2 ms wake-up that only runs while somebody waits, so an idle wait is bounded without a
// fixed sleep per turn: processEvents returns as soon as any event (socket, post, timer) is
// dispatched. Nested waits share it; it stops when the outermost wait ends.
struct WakeTimer {
    std::unique_ptr<QTimer> timer;
    int depth = 0;
};

WakeTimer& wake() {
    thread_local WakeTimer w;
    return w;
}

struct WaitScope {
    WaitScope() {
        auto& w = wake();
        if (w.depth++ == 0) {
            if (!w.timer) {
                w.timer = std::make_unique<QTimer>();
                w.timer->setTimerType(Qt::PreciseTimer);
                w.timer->setInterval(2);
            }
            w.timer->start();
        }
    }
    ~WaitScope() {
        auto& w = wake();
        if (--w.depth == 0 && w.timer)
            w.timer->stop();
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
};

} // namespace

void pumpOnce() {
    WaitScope scope;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void pumpUntil(const std::function<bool()>& done) {
    WaitScope scope;
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void processMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace pb
