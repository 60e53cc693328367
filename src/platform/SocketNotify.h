#pragma once
// WinSock 1.1 in asynchronous notification mode, carried onto non-blocking POSIX sockets.
//
// A `TcpSocket` delivers its network events as window messages to a `HiddenWindow`, like
// WSAAsyncSelect: the event number in the low word of the second parameter and a WinSock error
// code in its high word, the socket handle as the first parameter. Readiness is watched with
// QSocketNotifier on the GUI thread's event loop, so the messages are dispatched by the same
// `processEvents` that every wait of the mail components turns.
//
// Re-enabling follows WinSock: a read notification is delivered once and armed again only by
// the next `recv`, so a handler that returns without reading does not make the loop spin; a
// write notification comes once after the connect and then only after a `send` that would have
// blocked. Errors are reported as WinSock codes (Linux errno values mapped to the matching code)
// through `WSAGetLastError`.
#include <QEvent>
#include <QObject>
#include <QPointer>

#include <cstddef>
#include <cstdint>
#include <functional>

class QSocketNotifier;

namespace pb::winsock {

// Network events (low word of a socket notification).
enum : int {
    FD_READ = 1,
    FD_WRITE = 2,
    FD_OOB = 4,
    FD_ACCEPT = 8,
    FD_CONNECT = 16,
    FD_CLOSE = 32,
    FD_ALL_EVENTS = 63,
};

// WinSock error codes produced here.
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAENOTEMPTY = 10066,
    WSAEPROCLIM = 10067,
    WSAEUSERS = 10068,
    WSAEDQUOT = 10069,
    WSAESTALE = 10070,
    WSAEREMOTE = 10071,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

constexpr int SOCKET_ERROR = -1;

// Socket handles are 16-bit numbers; 65535 stands for "no socket". Handles are handed out in
// turn, so a notification still queued for a closed socket never matches its successor.
using SOCKET = std::uint16_t;
constexpr SOCKET INVALID_SOCKET = 65535;

// The WinSock code for a Linux errno value (EINPROGRESS and EAGAIN become WSAEWOULDBLOCK, as
// a non-blocking WinSock socket reports them); unknown values map to WSAEINVAL.
int fromErrno(int err);

// The error of the calling thread's last failed call in this unit.
int WSAGetLastError();
void WSASetLastError(int code);

// A posted window message: message number and its two parameters.
class WindowMessage final : public QEvent {
public:
    static QEvent::Type type();
    WindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    const unsigned message;
    const std::uintptr_t wParam;
    const std::intptr_t lParam;
};

// MAKELONG(event, error): how a notification packs its second parameter.
constexpr std::intptr_t makeSelectParam(int event, int error) {
    return static_cast<std::intptr_t>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) |
                                      static_cast<std::uint32_t>(event & 0xFFFF));
}
constexpr int selectEvent(std::intptr_t lParam) { return static_cast<int>(lParam & 0xFFFF); }
constexpr int selectError(std::intptr_t lParam) { return static_cast<int>((lParam >> 16) & 0xFFFF); }

// A hidden window: receives posted window messages and hands each to its procedure.
// Messages still queued when the window is destroyed are discarded.
class HiddenWindow final : public QObject {
public:
    using Procedure = std::function<void(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)>;
    explicit HiddenWindow(Procedure procedure, QObject* parent = nullptr);
    // PostMessage: queue a message for this window.
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

protected:
    bool event(QEvent* e) override;

private:
    Procedure procedure_;
};

// A non-blocking IPv4 stream socket with WinSock's asynchronous notification.
class TcpSocket final : public QObject {
public:
    // Creates the socket; `valid()` tells whether the system gave one (WSAGetLastError why not).
    TcpSocket();
    // closesocket without any further notification.
    ~TcpSocket() override;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    bool valid() const { return fd_ >= 0; }
    SOCKET handle() const { return handle_; }

    // SO_LINGER; TCP_NODELAY. 0 or SOCKET_ERROR.
    int setLinger(bool on, int seconds);
    int setNoDelay(bool on);

    // WSAAsyncSelect: deliver the events of `mask` to `window` as `message`; mask 0 withdraws
    // every notification. 0 or SOCKET_ERROR.
    int asyncSelect(HiddenWindow* window, unsigned message, int mask);

    // Starts connecting to an IPv4 address and port, both in network byte order. A connect
    // that is under way fails with WSAEWOULDBLOCK; its outcome arrives as FD_CONNECT.
    int connect(std::uint32_t address, std::uint16_t port);

    // Bytes received (0: the peer closed), or SOCKET_ERROR (WSAEWOULDBLOCK: nothing there).
    long recv(char* buffer, std::size_t length);
    // Bytes accepted (possibly fewer than given), or SOCKET_ERROR (WSAEWOULDBLOCK: full; an
    // FD_WRITE follows when there is room again). Never raises SIGPIPE.
    long send(const char* buffer, std::size_t length);

    // closesocket. 0 or SOCKET_ERROR. Later calls fail with WSAENOTSOCK.
    int close();

private:
    void notify(int event, int error);
    void readable();
    void writable();
    void armRead();

    int fd_ = -1;
    SOCKET handle_ = INVALID_SOCKET;
    QPointer<HiddenWindow> window_;
    unsigned message_ = 0;
    int mask_ = 0;
    bool connecting_ = false;
    bool connected_ = false;
    bool closeReported_ = false;
    bool readPosted_ = false;   // an FD_READ went out and no recv has answered it yet
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
};

} // namespace pb::winsock
