// edhost: the host program that Postbridge attaches to. It owns a message base on disk, serves
// the host side of the plug-in channel, and lets a person look into the base and write to it.
//
//   edhost serve --base DIR [--api-version N] [--refuse-attach]
//   (--user-base instead of --base DIR: the base in the user's Postbridge folder)
//   edhost status|disconnect|areas --base DIR
//   edhost list AREA | show AREA N | dump AREA N [--raw] | flags AREA N [VALUE] --base DIR
//   edhost write AREA --from NAME --to NAME --subject TEXT [--text-file F | --text T]
//                [--to-line ADDRESS ...] --base DIR
//   edhost fault [--answer CMD STATUS] [--stop-answering] [--resume] [--clear]
//                [--refuse-attach on|off] [--api-version N] --base DIR
//
// While `serve` runs, the other commands go to it over its control socket (so they see and
// change the very base it serves); otherwise they open the base themselves.
#include "Commands.h"
#include "HostServer.h"
#include "JamStore.h"
#include "MessageStore.h"

#include "platform/Session.h"
#include "platform/UserFolder.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace pb;
using namespace pb::edhost;

namespace {

constexpr int kControlLimitMs = 5000;
constexpr std::size_t kControlMax = 16u << 20;

const char* kUsage =
    "usage: edhost COMMAND (--base DIR | --user-base) [options]\n"
    "  serve [--api-version N] [--refuse-attach]   serve the base to plug-ins until stopped\n"
    "  status                                      the serving host and its plug-ins\n"
    "  disconnect                                  end every plug-in's connection\n"
    "  areas                                       the areas of the base\n"
    "  list AREA                                   the messages of an area\n"
    "  show AREA N                                 one message, readable\n"
    "  dump AREA N [--raw]                         the stored record bytes\n"
    "  write AREA --from NAME --to NAME --subject TEXT [--text-file F|--text T] [--to-line A]\n"
    "  flags AREA N [VALUE]                        read or set a message's flag word\n"
    "  fault [--answer CMD STATUS] [--stop-answering] [--resume] [--clear]\n"
    "        [--refuse-attach on|off] [--api-version N]\n";

// The rest of `edhost --help`, which stands in for a manual page.
const char* kHelpDetails =
    "\n"
    "edhost is the host program Postbridge attaches to: it keeps a message base (the areas\n"
    "NETMAIL, REPORT and, once Postbridge has attached, EMAIL) and serves it to Postbridge while\n"
    "`edhost serve` runs. Read the mail Postbridge fetched with `list EMAIL` and `show EMAIL N`;\n"
    "write a message for Postbridge to send with `write EMAIL`, its recipients on `To:` lines at\n"
    "the top of the text (--to-line) or found by the recipient's name in Postbridge's address book.\n"
    "\n"
    "  --base DIR      the folder of the message base; `serve` and `write` make it when missing\n"
    "  --user-base     the base in the user's Postbridge folder:\n"
    "                  $XDG_DATA_HOME/postbridge/edhost-base (~/.local/share/postbridge/...),\n"
    "                  the base of `systemctl --user start edhost` and `postbridge --user-folder`\n"
    "  --text-file F   the message text from a file, --text T from the argument (both UTF-8)\n"
    "  fault           provoke host faults for tests: answer command CMD (1032..1043) with\n"
    "                  STATUS, stop answering, refuse the attach, report interface version N\n"
    "\n"
    "While `serve` runs, the other commands are carried out by the serving process, so they see\n"
    "and change the very base it serves. `serve` ends on SIGTERM or Ctrl-C and tells every\n"
    "attached Postbridge that the host has gone.\n"
    "\n"
    "Environment: EDAPI_SESSION names the channel between host and plug-ins; edhost and\n"
    "postbridge must see the same value (unset: one channel per user).\n"
    "Exit status: 0 done; 3 `status` found no serving host; any other value, a failure.\n";

// The control socket of a base: abstract, named after the base's full path, so every edhost
// on the machine finds the process that serves that base whatever its session.
socklen_t controlAddress(const std::string& base, sockaddr_un& addr) {
    char real[PATH_MAX];
    std::string path = ::realpath(base.c_str(), real) ? real : base;
    std::uint64_t h = 1469598103934665603ull;   // FNV-1a
    for (unsigned char c : path)
        h = (h ^ c) * 1099511628211ull;
    char name[64];
    std::snprintf(name, sizeof name, "edhost/ctl/%016llx", static_cast<unsigned long long>(h));
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::size_t n = std::strlen(name);
    std::memcpy(addr.sun_path + 1, name, n);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

bool io(int fd, void* buf, std::size_t n, bool writing) {
    auto* p = static_cast<char*>(buf);
    while (n) {
        pollfd pfd{fd, static_cast<short>(writing ? POLLOUT : POLLIN), 0};
        int r = ::poll(&pfd, 1, kControlLimitMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t k = writing ? ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT) : ::recv(fd, p, n, MSG_DONTWAIT);
        if (k < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

bool sendString(int fd, const std::string& s) {
    auto n = static_cast<std::uint32_t>(s.size());
    return io(fd, &n, 4, true) && io(fd, const_cast<char*>(s.data()), s.size(), true);
}

bool recvString(int fd, std::string& s) {
    std::uint32_t n = 0;
    if (!io(fd, &n, 4, false) || n > kControlMax)
        return false;
    s.resize(n);
    return io(fd, s.data(), n, false);
}

// Runs a command in the serving process. False when no process serves the base.
bool remoteCommand(const std::string& base, const std::vector<std::string>& args, CommandResult& r) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    socklen_t len = controlAddress(base, addr);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    bool ok = true;
    auto argc = static_cast<std::uint32_t>(args.size());
    ok = io(fd, &argc, 4, true);
    for (const auto& a : args)
        ok = ok && sendString(fd, a);
    std::int32_t code = 0;
    ok = ok && io(fd, &code, 4, false) && recvString(fd, r.out) && recvString(fd, r.err);
    ::close(fd);
    if (!ok) {
        r = {2, "", "edhost: the serving host did not answer\n"};
        return true;
    }
    r.code = code;
    return true;
}

void serveControl(int listenFd, MessageStore& store, HostServer& server) {
    for (;;) {
        int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        std::uint32_t argc = 0;
        std::vector<std::string> args;
        bool ok = io(c, &argc, 4, false) && argc < 256;
        for (std::uint32_t i = 0; ok && i < argc; ++i) {
            std::string s;
            ok = recvString(c, s);
            args.push_back(std::move(s));
        }
        if (ok) {
            CommandResult r = runCommand(args, store, &server);
            std::int32_t code = r.code;
            io(c, &code, 4, true) && sendString(c, r.out) && sendString(c, r.err);
        }
        ::close(c);
    }
}

int serve(const std::string& base, const std::vector<std::string>& args) {
    ServeOptions opts;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--refuse-attach") {
            opts.refuseAttach = true;
        } else if (args[i] == "--api-version" && i + 1 < args.size()) {
            opts.apiVersion = static_cast<std::int32_t>(std::strtol(args[++i].c_str(), nullptr, 0));
        } else {
            std::fprintf(stderr, "edhost: unknown serve option %s\n%s", args[i].c_str(), kUsage);
            return 2;
        }
    }
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    int sigFd = ::signalfd(-1, &sigs, SFD_CLOEXEC);

    std::unique_ptr<MessageStore> store;
    try {
        store = openStore(base);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "edhost: %s\n", e.what());
        return 1;
    }
    HostServer server(*store, opts);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "edhost: %s\n", error.c_str());
        return 1;
    }
    int ctl = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr;
    socklen_t len = controlAddress(base, addr);
    if (ctl < 0 || ::bind(ctl, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(ctl, 8) != 0) {
        std::fprintf(stderr, "edhost: another edhost serves %s\n", base.c_str());
        return 1;
    }
    std::printf("edhost: serving %s in session %s (host thread %s)\n", base.c_str(),
                sessionName().c_str(), threadIdHex(server.hostThreadId()).c_str());
    std::fflush(stdout);

    auto lastHousekeeping = std::chrono::steady_clock::now();
    for (;;) {
        server.onQueue();   // messages already taken aside do not wake poll
        pollfd fds[4] = {{server.queueFd(), POLLIN, 0},
                         {server.windowFd(), POLLIN, 0},
                         {ctl, POLLIN, 0},
                         {sigFd, POLLIN, 0}};
        int r = ::poll(fds, 4, 500);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[3].revents & POLLIN)
            break;
        if (fds[0].revents & POLLIN)
            server.onQueue();
        if (fds[1].revents & POLLIN)
            server.onWindow();
        if (fds[2].revents & POLLIN)
            serveControl(ctl, *store, server);
        // Looking for dead plug-ins costs system calls: twice a second, not per message.
        auto now = std::chrono::steady_clock::now();
        if (now - lastHousekeeping >= std::chrono::milliseconds(500)) {
            server.housekeeping();
            lastHousekeeping = now;
        }
    }
    // The host goes: every attached plug-in learns that the connection has ended.
    server.disconnectAll();
    ::close(ctl);
    std::printf("edhost: stopped\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // A reader of our output that went away must not kill the host mid-shutdown.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args;
    std::string base;
    bool userBase = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--user-base")
            userBase = true;
        else if (a == "--base" && i + 1 < argc)
            base = argv[++i];
        else if (a.rfind("--base=", 0) == 0)
            base = a.substr(7);
        else
            args.push_back(a);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        if (!args.empty())
            std::fputs(kHelpDetails, stdout);
        return args.empty() ? 2 : 0;
    }
    if (userBase && base.empty()) {
        try {
            // Only the commands that may make a base make the folder it lives in.
            const bool makes = args[0] == "serve" || args[0] == "write";
            base = ((makes ? ensureUserFolder() : userFolderPath()) / "edhost-base").string();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "edhost: %s\n", e.what());
            return 1;
        }
    }
    if (base.empty()) {
        std::fprintf(stderr, "edhost: --base DIR is required\n%s", kUsage);
        return 2;
    }
    if (args[0] == "serve")
        return serve(base, args);

    CommandResult r;
    if (!remoteCommand(base, args, r)) {
        // Looking at a base must not make one: only `serve` and `write` start a new base.
        if (!std::filesystem::exists(base) && args[0] != "write") {
            if (args[0] == "status")
                std::printf("not serving; no base in %s\n", base.c_str());
            else
                std::fprintf(stderr, "edhost: no base in %s\n", base.c_str());
            return args[0] == "status" ? 3 : 1;
        }
        try {
            auto store = openStore(base);
            r = runCommand(args, *store, nullptr);
        } catch (const StoreError& e) {
            r = {1, "", std::string("edhost: ") + e.what() + "\n"};
        }
    }
    std::fwrite(r.out.data(), 1, r.out.size(), stdout);
    std::fwrite(r.err.data(), 1, r.err.size(), stderr);
    return r.code;
}
