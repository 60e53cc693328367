#include "platform/HostWindow.h"

#include "platform/Session.h"
#include "platform/UnixSockets.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace pb {
namespace {

constexpr std::uint32_t kMarker = 0x57494E31;   // "WIN1"
constexpr int kRequestLimitMs = 500;

struct WireRequest {
    std::uint32_t marker;
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
};
struct WireReply {
    std::uint32_t marker;
    std::uint32_t reserved;
    std::int64_t result;
};

std::string windowPath(const std::string& className) { return channelPath("w-" + className); }

// Connects to the window; -1 when there is none or it is not of our user.
int connectTo(const std::string& className, pid_t* windowPid = nullptr) {
    sockaddr_un addr;
    socklen_t len = 0;
    if (!unixAddress(windowPath(className), addr, len))
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    ucred cred{};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || !peerIsOwnUser(fd, cred)) {
        ::close(fd);
        return -1;
    }
    if (windowPid)
        *windowPid = cred.pid;
    return fd;
}

} // namespace

bool findWindow(const std::string& className, pid_t* windowPid) {
    int fd = connectTo(className, windowPid);
    if (fd < 0)
        return false;
    ::close(fd);   // the window drops a connection that asks nothing
    return true;
}

bool sendWindowMessage(const std::string& className, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam, std::intptr_t& result, int timeoutMs, pid_t* windowPid) {
    int fd = connectTo(className, windowPid);
    if (fd < 0)
        return false;
    WireRequest req{kMarker, message, static_cast<std::uint64_t>(wParam),
                    static_cast<std::int64_t>(lParam)};
    WireReply rep{};
    bool ok = transferAll(fd, &req, sizeof req, true, timeoutMs) &&
              transferAll(fd, &rep, sizeof rep, false, timeoutMs) && rep.marker == kMarker;
    ::close(fd);
    if (ok)
        result = static_cast<std::intptr_t>(rep.result);
    return ok;
}

WindowEndpoint::~WindowEndpoint() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

bool WindowEndpoint::create(const std::string& className) {
    std::string path = windowPath(className);
    int fd = listenAt(path);
    if (fd < 0)
        return false;
    fd_ = fd;
    path_ = std::move(path);
    return true;
}

void WindowEndpoint::serve(const Handler& handler) {
    for (;;) {
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        ucred cred{};
        WireRequest req{};
        if (peerIsOwnUser(c, cred) && transferAll(c, &req, sizeof req, false, kRequestLimitMs) && req.marker == kMarker) {
            Request r{req.message, static_cast<std::uintptr_t>(req.wParam),
                      static_cast<std::intptr_t>(req.lParam), cred.pid};
            WireReply rep{kMarker, 0, static_cast<std::int64_t>(handler(r))};
            transferAll(c, &rep, sizeof rep, true, kRequestLimitMs);
        }
        ::close(c);
    }
}

} // namespace pb
