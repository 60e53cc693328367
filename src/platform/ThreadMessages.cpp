#include "platform/ThreadMessages.h"

#include "platform/Session.h"

#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstring>
#include <deque>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace pb {
namespace {

constexpr std::uint32_t kMarker = 0x4D534731;   // "MSG1"
constexpr int kSendLimitMs = 5000;

// One message on the wire. The sender's thread and process travel with it, so that a host
// can answer the posting thread of a command.
struct Wire {
    std::uint32_t marker;
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
    std::uint32_t time;
    std::uint32_t senderTid;
    std::int32_t senderPid;
    std::uint32_t reserved;
};
static_assert(sizeof(Wire) == 40);

socklen_t queueAddress(std::uint32_t tid, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string name = "edapi/" + sessionName() + "/q/" + threadIdHex(tid);
    // Abstract namespace: a leading NUL; the name vanishes with the last descriptor.
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

std::uint32_t tickCount() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(ts.tv_sec * 1000u + ts.tv_nsec / 1000000);
}

struct Kept {
    tagMSG msg;
    MessageOrigin origin;
};

struct Queue {
    int fd = -1;
    std::string session;   // the namespace the queue was made in
    std::deque<Kept> kept;
    ~Queue() {
        if (fd >= 0)
            ::close(fd);
    }
};

Queue& queue() {
    thread_local Queue q;
    return q;
}

bool openQueue(Queue& q) {
    std::string session = sessionName();
    if (q.fd >= 0 && q.session == session)
        return true;
    if (q.fd >= 0) {   // the session changed (tests): move to the new namespace
        ::close(q.fd);
        q.fd = -1;
        q.kept.clear();
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr;
    socklen_t len = queueAddress(currentThreadId(), addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(fd);
        return false;
    }
    q.fd = fd;
    q.session = session;
    return true;
}

int senderSocket() {
    thread_local struct Sender {
        int fd = -1;
        Sender() {
            fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd >= 0) {
                timeval tv{kSendLimitMs / 1000, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            }
        }
        ~Sender() {
            if (fd >= 0)
                ::close(fd);
        }
    } sender;
    return sender.fd;
}

// Moves every datagram waiting on the socket into the kept list.
void drain(Queue& q) {
    for (;;) {
        Wire w;
        ssize_t n = ::recv(q.fd, &w, sizeof w, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (n != static_cast<ssize_t>(sizeof w) || w.marker != kMarker)
            continue;   // malformed: not a message of this channel
        Kept k;
        k.msg.message = w.message;
        k.msg.wParam = static_cast<std::uintptr_t>(w.wParam);
        k.msg.lParam = static_cast<std::intptr_t>(w.lParam);
        k.msg.time = w.time;
        k.origin.tid = w.senderTid;
        k.origin.pid = w.senderPid;
        q.kept.push_back(k);
    }
}

bool takeKept(Queue& q, tagMSG& msg, std::uint32_t first, std::uint32_t last,
              MessageOrigin* origin) {
    for (auto it = q.kept.begin(); it != q.kept.end(); ++it) {
        if (it->msg.message >= first && it->msg.message <= last) {
            msg = it->msg;
            if (origin)
                *origin = it->origin;
            q.kept.erase(it);
            return true;
        }
    }
    return false;
}

bool quitKept(const Queue& q) {
    for (const auto& k : q.kept)
        if (k.msg.message == WM_QUIT)
            return true;
    return false;
}

} // namespace

bool ensureMessageQueue() { return openQueue(queue()); }

int messageQueueFd() {
    Queue& q = queue();
    return openQueue(q) ? q.fd : -1;
}

bool threadHasQueue(std::uint32_t tid) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr;
    socklen_t len = queueAddress(tid, addr);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
}

bool postThreadMessage(std::uint32_t tid, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
    int fd = senderSocket();
    if (fd < 0 || tid == 0)
        return false;
    Wire w{kMarker, message, static_cast<std::uint64_t>(wParam), static_cast<std::int64_t>(lParam),
           tickCount(), currentThreadId(), static_cast<std::int32_t>(::getpid()), 0};
    sockaddr_un addr;
    socklen_t len = queueAddress(tid, addr);
    for (;;) {
        ssize_t n = ::sendto(fd, &w, sizeof w, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
        if (n == static_cast<ssize_t>(sizeof w))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

WaitResult waitMessage(tagMSG& msg, std::uint32_t first, std::uint32_t last, int timeoutMs,
                       bool stopOnQuit, MessageOrigin* origin) {
    Queue& q = queue();
    if (!openQueue(q))
        return WaitResult::Error;
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        drain(q);
        if (takeKept(q, msg, first, last, origin))
            return WaitResult::Message;
        if (stopOnQuit && quitKept(q))
            return WaitResult::Quit;
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return WaitResult::Timeout;
            wait = static_cast<int>(left.count()) + 1;
        }
        pollfd p{q.fd, POLLIN, 0};
        int r = ::poll(&p, 1, wait);
        if (r < 0 && errno != EINTR)
            return WaitResult::Error;
    }
}

bool peekMessage(tagMSG& msg, std::uint32_t first, std::uint32_t last, MessageOrigin* origin) {
    Queue& q = queue();
    if (!openQueue(q))
        return false;
    drain(q);
    return takeKept(q, msg, first, last, origin);
}

void discardMessages(std::uint32_t message) {
    Queue& q = queue();
    if (!openQueue(q))
        return;
    drain(q);
    std::erase_if(q.kept, [&](const Kept& k) { return k.msg.message == message; });
}

} // namespace pb
