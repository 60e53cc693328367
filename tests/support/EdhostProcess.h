#pragma once
// A real `edhost serve` for tests: a fresh message base in a temporary folder and a session
// namespace of its own, so tests never meet another test's host (or the user's).
//
//   pb::test::EdhostProcess host;            // started and serving when the constructor returns
//   ASSERT_TRUE(host.running());
//   TEchodeskAPI api; api.Connect();          // attaches to this host
//   host.run({"list", "EMAIL"});              // `edhost list EMAIL --base <its base>`, stdout
//
// The constructor sets EDAPI_SESSION in this process to the host's namespace (every host
// channel name of the process lives there from then on) and the destructor stops the host,
// restores the previous EDAPI_SESSION and removes the base and the session's channel folder.
// One instance at a time per process.
#include "support/ScratchSession.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace pb::test {

class EdhostProcess {
public:
    // serveArgs go after `serve --base DIR` (e.g. {"--api-version", "7"} or {"--refuse-attach"}).
    explicit EdhostProcess(std::vector<std::string> serveArgs = {});
    ~EdhostProcess();
    EdhostProcess(const EdhostProcess&) = delete;
    EdhostProcess& operator=(const EdhostProcess&) = delete;

    bool running() const;
    pid_t pid() const { return pid_; }
    const std::string& base() const { return base_; }
    const std::string& session() const { return session_.name(); }

    // Runs `edhost ARGS --base BASE` to its end; returns its stdout, the exit status in *code.
    std::string run(const std::vector<std::string>& args, int* code = nullptr) const;

    // SIGTERM and wait: the host ends its connections (1029) as it goes.
    void stop();
    // SIGKILL and wait: the host vanishes without a word.
    void kill();
    // Starts `serve` again on the same base (after stop or kill).
    bool start();

private:
    std::vector<std::string> serveArgs_;
    std::string base_;
    ScratchSession session_;
    pid_t pid_ = -1;
};

// The edhost program of this build.
std::string edhostPath();

} // namespace pb::test
