#pragma once
// The control socket of a serving host: the other edhost commands (status, list, write,
// fault, ...) reach the process that serves a base through it, so they see and change the very
// base it serves.
//
// The socket is a file in the user's private channel folder (see platform/Session.h), named
// after the base's full path, so every edhost of the user finds the process that serves that
// base whatever its session. Only the user's own processes are served (SO_PEERCRED). The
// serving side never waits for a client: connections are served without blocking from the
// host's poll loop, each with a deadline, so a slow or silent client delays nobody.
#include "Commands.h"
#include "MessageStore.h"

#include <chrono>
#include <poll.h>
#include <string>
#include <vector>

namespace pb::edhost {

class HostServer;

// Runs a command in the process that serves the base. False when no process serves it. A
// --text-file is read here, by the client, and sent as the text itself: the serving host
// never opens a file on a client's behalf.
bool remoteCommand(const std::string& base, std::vector<std::string> args, CommandResult& r);

class ControlServer {
public:
    ControlServer(MessageStore& store, HostServer& server) : store_(store), server_(server) {}
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens for the base; false (with a reason) when another host serves it.
    bool listen(const std::string& base, std::string& error);
    // Appends the descriptors to poll (the listening socket and every open connection).
    void addPollFds(std::vector<pollfd>& fds) const;
    // Does whatever the polled descriptors allow, then ends connections past their deadline.
    // fds are those of addPollFds, from the given offset on.
    void onPoll(const std::vector<pollfd>& fds, std::size_t offset);
    // Milliseconds until the next connection deadline (limit when none is nearer).
    int nextDeadlineMs(int limit) const;

private:
    struct Connection {
        int fd = -1;
        std::string in;
        std::string out;
        std::size_t sent = 0;
        bool answering = false;
        std::chrono::steady_clock::time_point deadline;
    };
    void accept();
    // False when the connection is finished (answered, failed or broken).
    bool step(Connection& c, short revents);

    MessageStore& store_;
    HostServer& server_;
    int listen_ = -1;
    std::string path_;
    std::vector<Connection> conns_;
};

} // namespace pb::edhost
