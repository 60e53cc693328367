#include "app/UserHost.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pb {
namespace {

using Clock = std::chrono::steady_clock;

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> v;
    for (std::string& a : args)
        v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

// Runs a helper program quietly (no terminal input, no output) and waits for it until
// `deadline`; its exit status, or -1 when it could not run or did not end in time (then it
// is killed, so that no helper outlives this start).
int runQuietly(std::vector<std::string> args, Clock::time_point deadline) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv = argvOf(args);
    pid_t pid = 0;
    const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return -1;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool hostAnswers(const std::string& edhost, Clock::time_point deadline) {
    return runQuietly({edhost, "status", "--user-base"}, deadline) == 0;
}

// A systemd user manager listens on this socket while it runs; without it, systemctl --user
// could only fail.
bool userManagerRuns() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/')
        return false;
    struct stat st {};
    return ::stat((std::string(runtime) + "/systemd/private").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Starts `edhost serve --user-base --log LOG` in a session of its own, as a grandchild that
// init adopts at once: it outlives the window, a hang-up of the window's terminal does not
// reach it, and the window never has to reap it. Returns its pid, or 0 with `problem` set.
pid_t startDetached(const std::string& edhost, const std::string& log, std::string& problem) {
    std::vector<std::string> args = {edhost, "serve", "--user-base", "--log", log};
    std::vector<char*> argv = argvOf(args);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        problem = std::strerror(errno);
        return 0;
    }
    // Between fork and exec only async-signal-safe calls: the window's process has threads.
    const pid_t middle = ::fork();
    if (middle < 0) {
        problem = std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return 0;
    }
    if (middle == 0) {
        ::close(report[0]);
        const pid_t host = ::fork();
        if (host == 0) {
            ::setsid();
            ::umask(077);   // the host makes files that hold mail
            if (::chdir("/") != 0) {
                // Not fatal: the host uses absolute paths only.
            }
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, STDIN_FILENO);
                ::dup2(null, STDOUT_FILENO);   // edhost writes into its log itself (--log)
                ::dup2(null, STDERR_FILENO);
            }
            // Only the three standard descriptors and the report pipe (closed by exec) go on:
            // an inherited folder lock or socket would live as long as the host.
            if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)   // kernels before 5.11
                for (int fd = 3; fd < 4096; ++fd)
                    if (fd != report[1])
                        ::close(fd);
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
                ::sigaction(s, &dfl, nullptr);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(argv[0], argv.data(), environ);
            const int error = errno;
            [[maybe_unused]] ssize_t w = ::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        [[maybe_unused]] ssize_t w = ::write(report[1], &host, sizeof host);
        ::_exit(0);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // First the grandchild's pid, then either the end of the pipe (its exec closed it) or the
    // errno of a failed exec.
    pid_t host = 0;
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &host, sizeof host)) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof host) && host > 0) {
        while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
        if (n == static_cast<ssize_t>(sizeof error))
            problem = std::strerror(error);
    } else {
        problem = "fork failed";
        host = 0;
    }
    ::close(report[0]);
    return problem.empty() ? host : 0;
}

} // namespace

std::string findEdhost() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string beside = (std::filesystem::path(std::string(self, static_cast<std::size_t>(n)))
                                        .parent_path() / "edhost").string();
        if (executable(beside))
            return beside;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/' && executable(dir + "/edhost"))
            return dir + "/edhost";
        start = end + 1;
    }
    return {};
}

UserHostResult ensureUserHost(const std::string& edhost, const std::filesystem::path& folder,
                              std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    UserHostResult result;
    if (edhost.empty()) {
        result.problem = "Das Hostprogramm edhost ist nicht installiert.";
        return result;
    }
    if (hostAnswers(edhost, deadline)) {
        result.how = UserHostStart::AlreadyServing;
        return result;
    }
    const std::string log = (folder / kHostLogFile).string();
    // Polls `edhost status` until it answers (true) or `until` has passed.
    const auto answersBy = [&](Clock::time_point until) {
        for (;;) {
            if (hostAnswers(edhost, deadline))
                return true;
            if (Clock::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    };
    if (userManagerRuns() && runQuietly({"systemctl", "--user", "start", "edhost.service"}, deadline) == 0) {
        result.how = UserHostStart::ByUnit;
        // The unit's host gets half the time. One that has not answered by then (its sandbox or
        // the base failed after its start) is replaced by a host started here: a host that comes
        // up late after all makes the second one end at once, so one of them serves.
        if (answersBy(Clock::now() + (deadline - Clock::now()) / 2))
            return result;
    }
    // No user manager, no unit (a build that is not installed), or a unit that failed.
    std::string problem;
    result.pid = startDetached(edhost, log, problem);
    if (result.pid == 0) {
        result.problem = "Das Hostprogramm " + edhost + " kann nicht gestartet werden: " + problem;
        return result;
    }
    result.how = UserHostStart::Started;
    if (answersBy(deadline))
        return result;
    result.problem = "Das Hostprogramm antwortet nicht (Protokoll: " + log + ").";
    result.how = UserHostStart::NoAnswer;
    return result;
}

} // namespace pb
