#include "support/EdhostProcess.h"
#include "support/TempRoot.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pb::test {
namespace {

constexpr int kStartLimitMs = 10000;
constexpr int kStopLimitMs = 5000;

// Starts the serving host with stdout into a pipe. It is told to end when this test program
// ends, so a test that crashes (a sanitizer abort, a failed assertion in a helper thread)
// leaves no host behind.
pid_t spawnHost(const std::vector<std::string>& args, int& outFd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(fds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    outFd = fds[0];
    return pid;
}

// Runs argv with stdout into a pipe; returns the pid and the read end.
pid_t spawn(const std::vector<std::string>& args, int& outFd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    outFd = fds[0];
    return pid;
}

bool waitExit(pid_t pid, int limitMs, int* status) {
    for (int waited = 0; waited <= limitMs; waited += 10) {
        int st = 0;
        pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (status)
                *status = st;
            return true;
        }
        if (r < 0)
            return true;
        ::usleep(10000);
    }
    return false;
}

} // namespace

std::string edhostPath() { return std::string(PB_BIN_DIR) + "/edhost"; }

EdhostProcess::EdhostProcess(std::vector<std::string> serveArgs)
    : serveArgs_(std::move(serveArgs)), session_("test") {
    if (std::string dir = makeTempDir("pb-edhost"); !dir.empty())
        base_ = dir + "/base";
    session_.enter();
    start();
}

EdhostProcess::~EdhostProcess() {
    stop();
    // The session, this host's alone, goes with session_ after this.
    if (!base_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(base_).parent_path(), ec);
    }
}

bool EdhostProcess::start() {
    if (running())
        return true;
    std::vector<std::string> args{edhostPath(), "serve", "--base", base_};
    args.insert(args.end(), serveArgs_.begin(), serveArgs_.end());
    int out = -1;
    pid_ = spawnHost(args, out);
    if (pid_ < 0)
        return false;
    // Serving once it has printed its first line.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        ssize_t n = ::read(out, buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out);   // later output goes nowhere; the host ignores SIGPIPE-free writes failing
    if (line.find("serving") == std::string::npos) {
        kill();
        return false;
    }
    return true;
}

bool EdhostProcess::running() const {
    if (pid_ <= 0)
        return false;
    int st = 0;
    return ::waitpid(pid_, &st, WNOHANG) == 0;
}

void EdhostProcess::stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    if (!waitExit(pid_, kStopLimitMs, nullptr)) {
        ::kill(pid_, SIGKILL);
        waitExit(pid_, kStopLimitMs, nullptr);
    }
    pid_ = -1;
}

void EdhostProcess::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    waitExit(pid_, kStopLimitMs, nullptr);
    pid_ = -1;
}

std::string EdhostProcess::run(const std::vector<std::string>& args, int* code) const {
    std::vector<std::string> argv{edhostPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--base");
    argv.push_back(base_);
    int out = -1;
    pid_t pid = spawn(argv, out);
    std::string text;
    if (pid < 0) {
        if (code)
            *code = -1;
        return text;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(out, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out);
    int st = 0;
    ::waitpid(pid, &st, 0);
    if (code)
        *code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return text;
}

} // namespace pb::test
