#include "Control.h"

#include "HostServer.h"

#include "platform/Fnv1a.h"
#include "platform/Session.h"
#include "platform/UnixSockets.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace pb::edhost {
namespace {

// A control exchange (request and answer) must be over within this time.
constexpr int kControlLimitMs = 5000;
constexpr std::size_t kMaxArgs = 256;
// Room for a whole record's text plus the other arguments.
constexpr std::size_t kControlMax = kMaxRecordSize + (1u << 20);
// Connections served at once; more wait in the listen queue.
constexpr std::size_t kMaxConnections = 16;

// The socket file for a base, in the user's channel folder; empty when that folder is refused.
std::string controlPath(const std::string& base) {
    ChannelDir root = channelRoot();
    if (!root.ok)
        return {};
    char real[PATH_MAX];
    std::string path = ::realpath(base.c_str(), real) ? real : base;
    // The start value (one digit short of the usual) is the one the socket names have always
    // been made with; a new one would rename every base's control socket.
    const std::uint64_t h = Fnv1a(path, 1469598103934665603ull);
    char name[32];
    std::snprintf(name, sizeof name, "/ctl-%016llx", static_cast<unsigned long long>(h));
    return root.path + name;
}

void putString(std::string& out, const std::string& s) {
    auto n = static_cast<std::uint32_t>(s.size());
    out.append(reinterpret_cast<const char*>(&n), 4);
    out += s;
}

// Takes a length-prefixed string from in at pos; false while it is incomplete.
bool takeString(const std::string& in, std::size_t& pos, std::string& s) {
    if (in.size() - pos < 4)
        return false;
    std::uint32_t n;
    std::memcpy(&n, in.data() + pos, 4);
    if (in.size() - pos - 4 < n)
        return false;
    s.assign(in, pos + 4, n);
    pos += 4 + n;
    return true;
}

// The client's blocking exchange, bounded by the control deadline.
bool io(int fd, void* buf, std::size_t n, bool writing) {
    return transferAll(fd, buf, n, writing, kControlLimitMs);
}

bool recvString(int fd, std::string& s) {
    std::uint32_t n = 0;
    if (!io(fd, &n, 4, false) || n > kControlMax)
        return false;
    s.resize(n);
    return io(fd, s.data(), n, false);
}

} // namespace

bool remoteCommand(const std::string& base, std::vector<std::string> args, CommandResult& r) {
    sockaddr_un addr;
    socklen_t len = 0;
    if (!unixAddress(controlPath(base), addr, len))
        return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ucred cred{};
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        !peerIsOwnUser(fd, cred)) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] != "--text-file")
            continue;
        std::string text, error;
        if (!readTextFile(args[i + 1], text, error)) {
            ::close(fd);
            r = {2, "", "edhost: " + error + "\n"};
            return true;
        }
        args[i] = "--text";
        args[i + 1] = std::move(text);
    }
    std::string request;
    auto argc = static_cast<std::uint32_t>(args.size());
    request.append(reinterpret_cast<const char*>(&argc), 4);
    for (const auto& a : args)
        putString(request, a);
    std::int32_t code = 0;
    bool ok = io(fd, request.data(), request.size(), true) && io(fd, &code, 4, false) &&
              recvString(fd, r.out) && recvString(fd, r.err);
    ::close(fd);
    if (!ok) {
        r = {2, "", "edhost: the serving host did not answer\n"};
        return true;
    }
    r.code = code;
    return true;
}

ControlServer::~ControlServer() {
    for (auto& c : conns_)
        ::close(c.fd);
    if (listen_ >= 0) {
        ::close(listen_);
        ::unlink(path_.c_str());
    }
}

bool ControlServer::listen(const std::string& base, std::string& error) {
    path_ = controlPath(base);
    if (path_.empty()) {
        error = "refusing the channel folder: " + channelProblem(channelRoot());
        return false;
    }
    listen_ = listenAt(path_);
    if (listen_ < 0) {
        error = errno == EADDRINUSE ? "another edhost serves " + base
                                    : path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void ControlServer::addPollFds(std::vector<pollfd>& fds) const {
    fds.push_back({conns_.size() < kMaxConnections ? listen_ : -1, POLLIN, 0});
    for (const auto& c : conns_)
        fds.push_back({c.fd, static_cast<short>(c.answering ? POLLOUT : POLLIN), 0});
}

int ControlServer::nextDeadlineMs(int limit) const {
    auto now = std::chrono::steady_clock::now();
    for (const auto& c : conns_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - now).count();
        limit = std::min<int>(limit, static_cast<int>(std::max<long long>(left, 0)) + 1);
    }
    return limit;
}

void ControlServer::accept() {
    while (conns_.size() < kMaxConnections) {
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        ucred cred{};
        if (!peerIsOwnUser(fd, cred)) {
            ::close(fd);   // another user's process: not a word
            continue;
        }
        Connection c;
        c.fd = fd;
        c.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kControlLimitMs);
        conns_.push_back(std::move(c));
    }
}

bool ControlServer::step(Connection& c, short revents) {
    if (c.answering) {
        if (!(revents & (POLLOUT | POLLERR | POLLHUP)))
            return true;
        while (c.sent < c.out.size()) {
            ssize_t k = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (k < 0 && errno == EINTR)
                continue;
            if (k < 0 && errno == EAGAIN)
                return true;
            if (k <= 0)
                return false;
            c.sent += static_cast<std::size_t>(k);
        }
        return false;   // answered
    }
    if (!(revents & (POLLIN | POLLERR | POLLHUP)))
        return true;
    char buf[65536];
    bool ended = false;   // the client has sent all it will
    for (;;) {
        ssize_t k = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && errno == EAGAIN)
            break;
        if (k < 0)
            return false;
        if (k == 0) {
            ended = true;
            break;
        }
        c.in.append(buf, static_cast<std::size_t>(k));
        if (c.in.size() > kControlMax + kMaxArgs * 4)
            return false;
    }
    // The request is complete once argc and every argument are there.
    if (c.in.size() < 4)
        return !ended;
    std::uint32_t argc;
    std::memcpy(&argc, c.in.data(), 4);
    if (argc >= kMaxArgs)
        return false;
    std::vector<std::string> args(argc);
    std::size_t pos = 4;
    for (auto& a : args)
        if (!takeString(c.in, pos, a))
            return !ended;   // more to come, unless the client has stopped
    CommandResult r = runCommand(args, store_, &server_);
    std::int32_t code = r.code;
    c.out.assign(reinterpret_cast<const char*>(&code), 4);
    putString(c.out, r.out);
    putString(c.out, r.err);
    c.in.clear();
    c.answering = true;
    return step(c, POLLOUT);
}

void ControlServer::onPoll(const std::vector<pollfd>& fds, std::size_t offset) {
    const bool incoming = offset < fds.size() && (fds[offset].revents & POLLIN);
    auto now = std::chrono::steady_clock::now();
    std::vector<Connection> kept;
    for (std::size_t i = 0; i < conns_.size(); ++i) {
        Connection& c = conns_[i];
        std::size_t at = offset + 1 + i;
        short revents = at < fds.size() && fds[at].fd == c.fd ? fds[at].revents : 0;
        if (step(c, revents) && now < c.deadline)
            kept.push_back(std::move(c));
        else
            ::close(c.fd);
    }
    conns_ = std::move(kept);
    if (incoming)
        accept();
}

} // namespace pb::edhost
