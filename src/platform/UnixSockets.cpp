#include "platform/UnixSockets.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace pb {

bool unixAddress(const std::string& path, sockaddr_un& addr, socklen_t& len) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

bool bindReplacingStale(int fd, int type, const std::string& path) {
    sockaddr_un addr;
    socklen_t len = 0;
    if (!unixAddress(path, addr, len))
        return false;
    auto* a = reinterpret_cast<sockaddr*>(&addr);
    if (::bind(fd, a, len) == 0)
        return true;
    if (errno != EADDRINUSE)
        return false;
    int probe = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    bool live = ::connect(probe, a, len) == 0 || errno != ECONNREFUSED;
    ::close(probe);
    if (live) {
        errno = EADDRINUSE;
        return false;
    }
    return ::unlink(path.c_str()) == 0 && ::bind(fd, a, len) == 0;
}

int listenAt(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (!bindReplacingStale(fd, SOCK_STREAM, path) || ::listen(fd, 16) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

bool transferAll(int fd, void* buf, std::size_t n, bool writing, int timeoutMs) {
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

bool peerIsOwnUser(int fd, ucred& cred) {
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred &&
           cred.uid == ::geteuid();
}

} // namespace pb
