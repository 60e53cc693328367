#include "platform/ThreadMessages.h"

#include "platform/Session.h"
#include "platform/UnixSockets.h"

#include <atomic>
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

std::atomic<std::uint64_t> g_dropped{0};

// One message on the wire. The sender's thread travels with it, so that a host can answer the
// posting thread of a command; the pid field is informational (the kernel's pid counts).
struct Wire {
    std::uint32_t marker;
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
    std::uint32_t time;
    std::uint32_t senderTid;
    std::int32_t senderPid;
    std::uint32_t seq;
};
static_assert(sizeof(Wire) == 40);

// False when the session's channel folder is refused or the path does not fit.
bool queueAddress(std::uint32_t tid, sockaddr_un& addr, socklen_t& len) {
    return unixAddress(channelPath("q-" + threadIdHex(tid)), addr, len);
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
    // The sender whose thread was last found in its process. A conversation goes back and forth
    // between two threads, so looking in /proc once a second for that pair is enough; any other
    // pair is looked up at once.
    pid_t lastPid = 0;
    std::uint32_t lastTid = 0;
    std::chrono::steady_clock::time_point lastSeen;
    bool senderChecked(pid_t pid, std::uint32_t tid) {
        auto now = std::chrono::steady_clock::now();
        if (pid == lastPid && tid == lastTid && now - lastSeen < std::chrono::seconds(1))
            return true;
        if (!threadOfProcess(pid, tid))
            return false;
        lastPid = pid;
        lastTid = tid;
        lastSeen = now;
        return true;
    }
    int fd = -1;
    std::string session;   // the namespace the queue was made in
    std::string path;      // its socket file
    std::deque<Kept> kept;
    void close() {
        if (fd < 0)
            return;
        ::close(fd);
        ::unlink(path.c_str());
        fd = -1;
    }
    ~Queue() { close(); }
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
        q.close();
        q.kept.clear();
    }
    std::string path = channelPath("q-" + threadIdHex(currentThreadId()));
    if (path.empty())
        return false;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    int on = 1;
    // A socket file of this id that nobody receives on was left by a thread that died without
    // closing it (its process crashed): it is replaced.
    bool ok = ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0 &&
              bindReplacingStale(fd, SOCK_DGRAM, path);
    if (!ok) {
        ::close(fd);
        return false;
    }
    q.fd = fd;
    q.session = session;
    q.path = std::move(path);
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

// Moves every datagram waiting on the socket into the kept list; what the kernel does not
// vouch for as ours is dropped here.
void drain(Queue& q) {
    const uid_t self = ::geteuid();
    for (;;) {
        Wire w;
        iovec iov{&w, sizeof w};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(q.fd, &mh, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        const ucred* cred = nullptr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len == CMSG_LEN(sizeof(ucred)))
                cred = reinterpret_cast<const ucred*>(CMSG_DATA(c));
        if (n != static_cast<ssize_t>(sizeof w) || w.marker != kMarker || (mh.msg_flags & MSG_TRUNC) ||
            !cred || cred->uid != self || !q.senderChecked(cred->pid, w.senderTid)) {
            ++g_dropped;   // malformed, another user's, or naming a thread not its own
            continue;
        }
        Kept k;
        k.msg.message = w.message;
        k.msg.wParam = static_cast<std::uintptr_t>(w.wParam);
        k.msg.lParam = static_cast<std::intptr_t>(w.lParam);
        k.msg.time = w.time;
        k.origin.tid = w.senderTid;
        k.origin.pid = cred->pid;
        k.origin.seq = w.seq;
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

std::uint64_t droppedMessages() { return g_dropped.load(); }

std::uint32_t nextSequence() {
    thread_local std::uint32_t seq = 0;
    if (++seq == 0)
        seq = 1;
    return seq;
}

bool threadHasQueue(std::uint32_t tid) {
    sockaddr_un addr;
    socklen_t len = 0;
    if (!queueAddress(tid, addr, len))
        return false;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
}

bool postThreadMessage(std::uint32_t tid, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam, std::uint32_t seq) {
    int fd = senderSocket();
    if (fd < 0 || tid == 0)
        return false;
    Wire w{kMarker, message, static_cast<std::uint64_t>(wParam), static_cast<std::int64_t>(lParam),
           tickCount(), currentThreadId(), static_cast<std::int32_t>(::getpid()), seq};
    sockaddr_un addr;
    socklen_t len = 0;
    if (!queueAddress(tid, addr, len))
        return false;
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
