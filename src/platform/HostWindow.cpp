#include "platform/HostWindow.h"

#include "platform/Session.h"

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

socklen_t windowAddress(const std::string& className, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string name = "edapi/" + sessionName() + "/w/" + className;
    if (name.size() > sizeof addr.sun_path - 2)
        name.resize(sizeof addr.sun_path - 2);
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// Reads or writes exactly n bytes before the deadline of timeoutMs.
bool transfer(int fd, void* buf, std::size_t n, bool writing, int timeoutMs) {
    auto* p = static_cast<char*>(buf);
    std::size_t done = 0;
    while (done < n) {
        pollfd pfd{fd, static_cast<short>(writing ? POLLOUT : POLLIN), 0};
        int r = ::poll(&pfd, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t k = writing ? ::send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                            : ::recv(fd, p + done, n - done, MSG_DONTWAIT);
        if (k < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (k <= 0)
            return false;
        done += static_cast<std::size_t>(k);
    }
    return true;
}

int connectTo(const std::string& className) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr;
    socklen_t len = windowAddress(className, addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool findWindow(const std::string& className) {
    int fd = connectTo(className);
    if (fd < 0)
        return false;
    ::close(fd);   // the window drops a connection that asks nothing
    return true;
}

bool sendWindowMessage(const std::string& className, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam, std::intptr_t& result, int timeoutMs) {
    int fd = connectTo(className);
    if (fd < 0)
        return false;
    WireRequest req{kMarker, message, static_cast<std::uint64_t>(wParam),
                    static_cast<std::int64_t>(lParam)};
    WireReply rep{};
    bool ok = transfer(fd, &req, sizeof req, true, timeoutMs) &&
              transfer(fd, &rep, sizeof rep, false, timeoutMs) && rep.marker == kMarker;
    ::close(fd);
    if (ok)
        result = static_cast<std::intptr_t>(rep.result);
    return ok;
}

WindowEndpoint::~WindowEndpoint() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool WindowEndpoint::create(const std::string& className) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr;
    socklen_t len = windowAddress(className, addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void WindowEndpoint::serve(const Handler& handler) {
    for (;;) {
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        ucred cred{};
        socklen_t clen = sizeof cred;
        ::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &clen);
        WireRequest req{};
        if (transfer(c, &req, sizeof req, false, kRequestLimitMs) && req.marker == kMarker) {
            Request r{req.message, static_cast<std::uintptr_t>(req.wParam),
                      static_cast<std::intptr_t>(req.lParam), cred.pid};
            WireReply rep{kMarker, 0, static_cast<std::int64_t>(handler(r))};
            transfer(c, &rep, sizeof rep, true, kRequestLimitMs);
        }
        ::close(c);
    }
}

} // namespace pb
