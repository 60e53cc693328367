#include "platform/SocketNotify.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pb::winsock {
namespace {

thread_local int lastError = 0;

SOCKET nextHandle() {
    // GUI thread only; 0 and 65535 are never handed out.
    static SOCKET next = 0;
    if (++next == INVALID_SOCKET)
        next = 1;
    return next;
}

int fail(int code) {
    lastError = code;
    return SOCKET_ERROR;
}

int failErrno() { return fail(fromErrno(errno)); }

} // namespace

int fromErrno(int err) {
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
    }
}

int WSAGetLastError() { return lastError; }
void WSASetLastError(int code) { lastError = code; }

// --- window messages -------------------------------------------------------------------------

QEvent::Type WindowMessage::type() {
    static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
    return t;
}

WindowMessage::WindowMessage(unsigned msg, std::uintptr_t w, std::intptr_t l)
    : QEvent(type()), message(msg), wParam(w), lParam(l) {}

HiddenWindow::HiddenWindow(Procedure procedure, QObject* parent)
    : QObject(parent), procedure_(std::move(procedure)) {}

void HiddenWindow::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    QCoreApplication::postEvent(this, new WindowMessage(message, wParam, lParam));
}

bool HiddenWindow::event(QEvent* e) {
    if (e->type() != WindowMessage::type())
        return QObject::event(e);
    const auto* m = static_cast<const WindowMessage*>(e);
    if (procedure_)
        procedure_(m->message, m->wParam, m->lParam);
    return true;
}

// --- the socket ------------------------------------------------------------------------------

TcpSocket::TcpSocket() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd_ < 0) {
        failErrno();
        return;
    }
    handle_ = nextHandle();
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    readNotifier_->setEnabled(false);
    QObject::connect(readNotifier_, &QSocketNotifier::activated, this, [this] { readable(); });
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    QObject::connect(writeNotifier_, &QSocketNotifier::activated, this, [this] { writable(); });
}

TcpSocket::~TcpSocket() { close(); }

int TcpSocket::setLinger(bool on, int seconds) {
    if (fd_ < 0)
        return fail(WSAENOTSOCK);
    linger l{on ? 1 : 0, seconds};
    return ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : failErrno();
}

int TcpSocket::setNoDelay(bool on) {
    if (fd_ < 0)
        return fail(WSAENOTSOCK);
    int v = on ? 1 : 0;
    return ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) == 0 ? 0 : failErrno();
}

int TcpSocket::asyncSelect(HiddenWindow* window, unsigned message, int mask) {
    if (fd_ < 0)
        return fail(WSAENOTSOCK);
    window_ = window;
    message_ = message;
    mask_ = window ? mask : 0;
    readPosted_ = false;   // a new selection notifies of data already there
    if (mask_ == 0) {
        readNotifier_->setEnabled(false);
        if (!connecting_)
            writeNotifier_->setEnabled(false);
        return 0;
    }
    armRead();
    return 0;
}

int TcpSocket::connect(std::uint32_t address, std::uint16_t port) {
    if (fd_ < 0)
        return fail(WSAENOTSOCK);
    if (connected_ || connecting_)
        return fail(connected_ ? WSAEISCONN : WSAEALREADY);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        connected_ = true;
        notify(FD_CONNECT, 0);
        notify(FD_WRITE, 0);
        armRead();
        return 0;
    }
    const int err = errno;
    if (err == EINPROGRESS) {
        connecting_ = true;
        writeNotifier_->setEnabled(true);
    }
    return fail(fromErrno(err));
}

long TcpSocket::recv(char* buffer, std::size_t length) {
    if (fd_ < 0)
        return fail(WSAENOTSOCK);
    const ssize_t n = ::recv(fd_, buffer, length, MSG_DONTWAIT);
    const int err = errno;
    readPosted_ = false;
    armRead();   // WinSock re-enables FD_READ with every recv
    if (n < 0)
        return fail(fromErrno(err));
    return static_cast<long>(n);
}

long TcpSocket::send(const char* buffer, std::size_t length) {
    if (fd_ < 0)
        return fail(WSAENOTSOCK);
    const ssize_t n = ::send(fd_, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
        const int err = errno;
        if ((err == EAGAIN || err == EWOULDBLOCK) && connected_)
            writeNotifier_->setEnabled(true);   // FD_WRITE once there is room again
        return fail(fromErrno(err));
    }
    return static_cast<long>(n);
}

int TcpSocket::close() {
    if (fd_ < 0)
        return fail(WSAENOTSOCK);
    delete readNotifier_;
    delete writeNotifier_;
    readNotifier_ = writeNotifier_ = nullptr;
    const int rc = ::close(fd_);
    const int err = errno;
    fd_ = -1;
    connected_ = connecting_ = readPosted_ = false;
    window_ = nullptr;
    mask_ = 0;
    return rc == 0 ? 0 : fail(fromErrno(err));
}

void TcpSocket::notify(int event, int error) {
    if (window_ && (mask_ & event))
        window_->post(message_, handle_, makeSelectParam(event, error));
}

void TcpSocket::armRead() {
    if (readNotifier_ && connected_ && !closeReported_ && (mask_ & (FD_READ | FD_CLOSE)))
        readNotifier_->setEnabled(true);
}

void TcpSocket::readable() {
    if (readPosted_) {
        // The FD_READ posted is still unanswered: no second one, and no waking the loop
        // again and again while the data waits for the handler.
        readNotifier_->setEnabled(false);
        return;
    }
    // Tell data from the end of the stream without taking anything: the handler reads.
    char probe;
    const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        if (mask_ & FD_READ) {
            // The notifier stays on: the handler's recv usually comes first, and switching it
            // off and on costs the message loop a wake-up each time.
            readPosted_ = true;
            notify(FD_READ, 0);
        }
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    readNotifier_->setEnabled(false);
    closeReported_ = true;
    notify(FD_CLOSE, n == 0 ? 0 : fromErrno(errno));
}

void TcpSocket::writable() {
    writeNotifier_->setEnabled(false);
    if (connecting_) {
        connecting_ = false;
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err != 0) {
            notify(FD_CONNECT, fromErrno(err));
            return;
        }
        connected_ = true;
        notify(FD_CONNECT, 0);
        notify(FD_WRITE, 0);
        armRead();
        return;
    }
    if (connected_)
        notify(FD_WRITE, 0);
}

} // namespace pb::winsock
