#pragma once
// A window found by its class name with one synchronous request, the stand-in for FindWindowA
// and SendMessageA across processes. The window is a Unix stream socket in the session's private
// channel folder, named after the class; sending a message connects, writes the message and
// reads the window's return value. Both ends check the other's user with SO_PEERCRED: a window
// answers only its own user, and a sender talks only to a window of its own user.
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace pb {

// FindWindowA by class name: true when a window of that class listens in this session;
// *windowPid (when given) is then the kernel's pid of the window's process.
bool findWindow(const std::string& className, pid_t* windowPid = nullptr);

// SendMessageA to the window of that class. False when there is no such window or it gave no
// answer within timeoutMs; otherwise result holds the window's return value and *windowPid
// (when given) the kernel's pid of the window's process.
bool sendWindowMessage(const std::string& className, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam, std::intptr_t& result, int timeoutMs = 10000,
                       pid_t* windowPid = nullptr);

// The receiving side: owns the listening socket of one window class.
class WindowEndpoint {
public:
    struct Request {
        std::uint32_t message = 0;
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
        pid_t senderPid = 0;   // from the socket's credentials, not from the request
    };
    using Handler = std::function<std::intptr_t(const Request&)>;

    WindowEndpoint() = default;
    ~WindowEndpoint();
    WindowEndpoint(const WindowEndpoint&) = delete;
    WindowEndpoint& operator=(const WindowEndpoint&) = delete;

    // Creates the window; false when a window of that class already exists in the session (or
    // the channel folder is refused). A socket file that nobody listens on any more is one a
    // crashed window left: it is replaced.
    bool create(const std::string& className);
    // Readable when a request is waiting (for a poll loop).
    int fd() const { return fd_; }
    // Answers the waiting requests with the handler; a client of another user is dropped at
    // once, one that sends nothing or garbage within a short time is dropped too, so it cannot
    // stall the window for long.
    void serve(const Handler& handler);

private:
    int fd_ = -1;
    std::string path_;
};

} // namespace pb
