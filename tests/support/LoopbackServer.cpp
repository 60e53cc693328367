#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace pb::test {
namespace {

constexpr int IoLimitMs = 5000;

int listenOn(int backlog, std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("listen");
    }
    port = ntohs(a.sin_port);
    return fd;
}

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

} // namespace

void Peer::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;   // the client is gone; the test's own assertions tell what that means
        }
        done += static_cast<std::size_t>(n);
    }
}

bool Peer::receive() {
    if (!readable(fd_, IoLimitMs))
        return false;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    pending_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::string Peer::readLine() {
    for (;;) {
        const auto lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            return line;
        }
        if (!receive())
            return {};
    }
}

std::string Peer::readBytes(std::size_t count) {
    while (pending_.size() < count && receive()) {
    }
    std::string out = pending_.substr(0, count);
    pending_.erase(0, out.size());
    return out;
}

std::string Peer::readAll() {
    while (receive()) {
    }
    return std::exchange(pending_, {});
}

bool Peer::waitForClose(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(fd_, static_cast<int>(left.count())))
            return false;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

void Peer::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

LoopbackServer::LoopbackServer(Session session, int connections) {
    listenFd_ = listenOn(8, port_);
    thread_ = std::thread([this, session = std::move(session), connections] {
        for (int i = 0; i < connections; ++i) {
            if (!readable(listenFd_, 10000))
                return;
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            Peer peer(fd);
            session(peer);
            peer.close();
        }
    });
}

LoopbackServer::~LoopbackServer() {
    join();
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

void LoopbackServer::join() {
    if (thread_.joinable())
        thread_.join();
}

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    const int fd = listenOn(1, port);
    ::close(fd);
    return port;
}

int connectLoopback(std::uint16_t port, std::chrono::seconds readLimit) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{static_cast<time_t>(readLimit.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

SilentListener::SilentListener() {
    listenFd_ = listenOn(0, port_);
    // With a backlog of 0 the queue holds one connection; this one fills it.
    fillerFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    ::connect(fillerFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

SilentListener::~SilentListener() {
    ::close(fillerFd_);
    ::close(listenFd_);
}

} // namespace pb::test
