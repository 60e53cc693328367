#include "support/CutProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace pb::test {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

bool sendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace

CutProxy::CutProxy(std::uint16_t targetPort) : targetPort_(targetPort) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_, 8) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        ::pipe(wakeFd_) != 0)
        throw std::runtime_error("CutProxy: cannot listen on 127.0.0.1");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
}

CutProxy::~CutProxy() {
    stop_ = true;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_[1], "x", 1);
    thread_.join();
    ::close(listenFd_);
    ::close(wakeFd_[0]);
    ::close(wakeFd_[1]);
}

void CutProxy::setBudget(long long budget) {
    served_ = 0;
    cut_ = false;
    budget_ = budget;
}

void CutProxy::serve() {
    while (!stop_) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        if (::poll(p, 2, 1000) <= 0 || !(p[0].revents & POLLIN))
            continue;
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            relay(client);
            ::close(client);
        }
    }
}

std::string CutProxy::clientBytes() const {
    const std::lock_guard lock(recordLock_);
    return fromClient_;
}

void CutProxy::relay(int client) {
    // A budget used up before this connection: the server "drops" it before its greeting.
    if (budget_ >= 0 && served_ >= budget_) {
        cut_ = true;
        return;
    }
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(targetPort_);
    if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (server >= 0)
            ::close(server);
        return;
    }
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char buf[65536];
    // 10 s without a byte either way ends the relay: the client under test has hung.
    while (!stop_) {
        pollfd p[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        if (::poll(p, 3, 10000) <= 0 || (p[2].revents & POLLIN))
            break;
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t r = ::recv(client, buf, sizeof buf, 0);
            if (r <= 0 || !sendAll(server, buf, static_cast<std::size_t>(r)))
                break;
            const std::lock_guard lock(recordLock_);
            fromClient_.append(buf, static_cast<std::size_t>(r));
        }
        if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t r = ::recv(server, buf, sizeof buf, 0);
            if (r <= 0)
                break;
            const long long budget = budget_;
            bool cutNow = false;
            if (budget >= 0 && served_ + r >= budget) {
                r = static_cast<ssize_t>(std::max(0LL, budget - served_));
                cutNow = true;
            }
            if (r > 0 && !sendAll(client, buf, static_cast<std::size_t>(r)))
                break;
            served_ += r;
            if (cutNow) {
                cut_ = true;
                break;
            }
        }
    }
    // The server side goes first, so that it never sees a command the client sent after the cut.
    ::close(server);
    ::shutdown(client, SHUT_RDWR);
}

} // namespace pb::test
