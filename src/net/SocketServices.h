#pragma once
// What the socket component takes from its surroundings: the timer that bounds its lookups,
// connects and handshakes, and the WinSock error texts its failures carry.
#include <QObject>

#include <functional>
#include <string>

class QTimerEvent;

namespace pb {

using TNotifyEvent = std::function<void(QObject* Sender)>;

// The time-limit timer of the component (a window timer on its own hidden window).
class TThreadTimer : public QObject {
public:
    explicit TThreadTimer(QObject* owner = nullptr);
    ~TThreadTimer() override;

    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned ms);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    void SetOnTimer(TNotifyEvent handler);

protected:
    void timerEvent(QTimerEvent* e) override;

private:
    void rearm();

    unsigned interval_ = 1000;
    bool enabled_ = true;
    TNotifyEvent onTimer_;
    int timerId_ = 0;
};

// The WinSock error text of a code: "" for 0, "10061:Connection refused" for a known code,
// "Unknown Error No. <code>" otherwise.
std::string WinsockErrorText(int code);

} // namespace pb
