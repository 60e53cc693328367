// edhost: the host program that Postbridge attaches to. It owns a message base on disk, serves
// the host side of the plug-in channel, and lets a person look into the base and write to it.
//
//   edhost serve --base DIR [--api-version N] [--refuse-attach] [--log FILE]
//   (--user-base instead of --base DIR: the base in the user's Postbridge folder)
//   edhost status|disconnect|areas --base DIR
//   edhost list AREA | show AREA N | dump AREA N [--raw] | flags AREA N [VALUE] --base DIR
//   edhost write AREA --from NAME --to NAME --subject TEXT [--text-file F | --text T]
//                [--to-line ADDRESS ...] --base DIR
//   edhost fault [--answer CMD STATUS] [--stop-answering] [--die-after CMD] [--resume] [--clear]
//                [--refuse-attach on|off] [--api-version N] [--post MSG ...] --base DIR
//
// While `serve` runs, the other commands go to it over its control socket (so they see and
// change the very base it serves, see Control.h); otherwise they open the base themselves.
#include "Commands.h"
#include "Control.h"
#include "HostServer.h"
#include "JamStore.h"
#include "MessageStore.h"

#include "platform/Session.h"
#include "platform/SharedMemory.h"
#include "platform/UserFolder.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace pb;
using namespace pb::edhost;

namespace {

const char* kUsage =
    "usage: edhost COMMAND (--base DIR | --user-base) [options]\n"
    "  serve [--api-version N] [--refuse-attach] [--log FILE]\n"
    "                                              serve the base to plug-ins until stopped\n"
    "  status                                      the serving host and its plug-ins\n"
    "  disconnect                                  end every plug-in's connection\n"
    "  areas                                       the areas of the base\n"
    "  list AREA                                   the messages of an area\n"
    "  show AREA N                                 one message, readable\n"
    "  dump AREA N [--raw]                         the stored record bytes\n"
    "  write AREA --from NAME --to NAME --subject TEXT [--text-file F|--text T] [--to-line A]\n"
    "  flags AREA N [VALUE]                        read or set a message's flag word\n"
    "  fault [--answer CMD STATUS] [--stop-answering] [--die-after CMD] [--resume] [--clear]\n"
    "        [--refuse-attach on|off] [--api-version N] [--post MSG ...]\n";

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
    "  --text-file F   the message text from a file (read by this edhost, at most 64 MiB),\n"
    "                  --text T from the argument (both UTF-8)\n"
    "  fault           provoke host faults for tests: answer command CMD (1032..1043) with\n"
    "                  STATUS, stop answering, refuse the attach, report interface version N,\n"
    "                  post host command MSG to every attached plug-in\n"
    "\n"
    "While `serve` runs, the other commands are carried out by the serving process, so they see\n"
    "and change the very base it serves. `serve` ends on SIGTERM or Ctrl-C and tells every\n"
    "attached Postbridge that the host has gone.\n"
    "\n"
    "Environment: EDAPI_SESSION names the channel between host and plug-ins; edhost and\n"
    "postbridge must see the same value (unset: one channel per user). The channel lives in\n"
    "$XDG_RUNTIME_DIR/edapi, else /run/user/UID/edapi, /dev/shm/edapi-UID or /tmp/edapi-UID;\n"
    "one that another user holds is passed by for the first of FOLDER.1 .. FOLDER.9 beside it\n"
    "and ~/.cache/edapi-HOST that is the user's own (or can be made), the same in both programs.\n"
    "Exit status: 0 done; 3 `status` found no serving host; 4 the folder holds a base of the\n"
    "older single-file form, which edhost no longer reads; any other value, a failure.\n";

// `edhost CMD --help`: each command's own usage and what it does.
struct CommandHelp {
    const char* name;
    const char* text;
};
const CommandHelp kCommandHelp[] = {
    {"serve", "usage: edhost serve (--base DIR | --user-base) [--api-version N] [--refuse-attach] [--log FILE]\n"
              "Serves the base to Postbridge until SIGTERM or Ctrl-C, then tells every attached\n"
              "Postbridge that the host has gone. Makes the base (NETMAIL, REPORT) when missing.\n"
              "A second serve of a base that a host already serves ends at once (exit status 1).\n"
              "--api-version N reports another interface version; --refuse-attach refuses every attach;\n"
              "--log FILE writes the output to FILE (0600), kept below 1 MiB by cutting off its oldest lines.\n"},
    {"status", "usage: edhost status (--base DIR | --user-base)\n"
               "Tells whether a host serves the base, and which plug-ins are attached to it.\n"
               "Exit status 3 when no host serves it.\n"},
    {"disconnect", "usage: edhost disconnect (--base DIR | --user-base)\n"
                   "Ends the connection of every attached plug-in, as a host that goes away does.\n"},
    {"areas", "usage: edhost areas (--base DIR | --user-base)\n"
              "Lists the areas of the base, one a line.\n"},
    {"list", "usage: edhost list AREA (--base DIR | --user-base)\n"
             "Lists the messages of AREA: number, flag word, sender, recipient and subject. The flag\n"
             "words: 0x0840 written here and not sent yet, 0x0080 sent by Postbridge, 0x2014\n"
             "received from the Internet.\n"},
    {"show", "usage: edhost show AREA N (--base DIR | --user-base)\n"
             "Prints message N of AREA readably: its header fields, then its text, the control\n"
             "(kludge) lines shown with a leading \"@\".\n"},
    {"dump", "usage: edhost dump AREA N [--raw] (--base DIR | --user-base)\n"
             "Prints the stored record of message N as a hex dump of its header and text\n"
             "(--raw: the record bytes themselves).\n"},
    {"write", "usage: edhost write AREA --from NAME --to NAME --subject TEXT [--text-file F | --text T]\n"
              "                   [--to-line ADDRESS ...] (--base DIR | --user-base)\n"
              "Writes a new message into AREA as the user of a point program would: flag word 0x0840\n"
              "(written, not sent), a first line of the host's own, then the text (UTF-8). Postbridge\n"
              "sends such a message from EMAIL and marks it 0x0080. A first \"To:\" line of the text\n"
              "names the Internet recipient (an address, or a name of Postbridge's address book);\n"
              "--to-line ADDRESS puts such a line at the top of the text, once per recipient. Without\n"
              "one, --to names the recipient through the address book.\n"},
    {"flags", "usage: edhost flags AREA N [VALUE] (--base DIR | --user-base)\n"
              "Prints the flag word of message N, or sets it to VALUE (0x0840 written, not sent;\n"
              "0x0080 sent; 0x2014 received from the Internet).\n"},
    {"fault", "usage: edhost fault [--answer CMD STATUS] [--stop-answering] [--die-after CMD] [--resume] [--clear]\n"
              "                    [--refuse-attach on|off] [--api-version N] [--post MSG ...]\n"
              "                    (--base DIR | --user-base)\n"
              "Provokes host faults in the serving host, for tests: answer command CMD (1032..1043)\n"
              "with STATUS, stop answering (--resume answers again), carry out the next command CMD\n"
              "and die before answering it (--die-after), refuse the attach, report interface\n"
              "version N, post host command MSG to every attached plug-in; --clear ends them all.\n"},
};

// The help of a command when one of its arguments asks for it; nullptr otherwise.
const char* commandHelp(const std::vector<std::string>& args) {
    bool asked = false;
    for (std::size_t i = 1; i < args.size(); ++i)
        asked = asked || args[i] == "--help" || args[i] == "-h";
    if (!asked)
        return nullptr;
    for (const CommandHelp& h : kCommandHelp)
        if (args[0] == h.name)
            return h.text;
    return nullptr;
}

// The output of a host that runs for months without a terminal: appended to a file that is cut
// back to its newest lines whenever it grows past the limit, so it never fills the disk.
class BoundedLog {
public:
    static constexpr off_t kLimit = 1 << 20;
    static constexpr off_t kKeep = 256 << 10;

    bool open(const std::string& path, std::string& error) {
        const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = "cannot open the log " + path + ": " + std::strerror(errno);
            return false;
        }
        ::fchmod(fd, 0600);   // also a log made by hand before: it names the user's areas
        std::fflush(stdout);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
        active_ = true;
        keepBounded();
        return true;
    }

    // Cheap enough to call twice a second: one fstat while the log is below the limit.
    void keepBounded() {
        struct stat st {};
        if (!active_ || ::fstat(STDOUT_FILENO, &st) != 0 || st.st_size <= kLimit)
            return;
        std::fflush(stdout);
        std::string tail(static_cast<std::size_t>(kKeep), '\0');
        const ssize_t n = ::pread(STDOUT_FILENO, tail.data(), tail.size(), st.st_size - kKeep);
        tail.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        // Whole lines only.
        const auto firstBreak = tail.find('\n');
        tail.erase(0, firstBreak == std::string::npos ? tail.size() : firstBreak + 1);
        if (::ftruncate(STDOUT_FILENO, 0) != 0)
            return;
        static const char kCut[] = "edhost: (older lines of this log were cut off)\n";
        writeAll(kCut, sizeof kCut - 1);
        writeAll(tail.data(), tail.size());
    }

private:
    static void writeAll(const char* p, std::size_t n) {
        while (n > 0) {
            const ssize_t w = ::write(STDOUT_FILENO, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return;
            p += w;
            n -= static_cast<std::size_t>(w);
        }
    }
    bool active_ = false;
};

// A base of the older form has a status of its own: trying again will not help.
int storeFailureStatus(const StoreError& e) {
    return dynamic_cast<const OldBaseError*>(&e) ? 4 : 1;
}

// Whether another process holds the base's lock right now (a serving host, or a command such as
// `status` that looks into the base while no host serves it).
bool baseHeldElsewhere(const std::string& base) {
    const int fd = ::open((base + "/lock").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// Opens the base for serving. A host that already serves it wins at once; a command that only
// looks into the base holds it for a moment, which a host started at the same time (by
// Postbridge, waiting for `status` to answer) outwaits instead of failing. Such a command may
// let go of the lock at any moment, also between the failed open and the look at the lock
// here: a lock found free is tried again, and only one still held past the bound ends the
// start.
std::unique_ptr<MessageStore> openForServing(const std::string& base) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        try {
            return openStore(base);
        } catch (const BaseInUseError&) {
            CommandResult r;
            if (remoteCommand(base, {"status"}, r))
                throw StoreError("another edhost already serves " + base);
            if (!baseHeldElsewhere(base))
                continue;
            if (std::chrono::steady_clock::now() >= until)
                throw;
        }
        ::usleep(20 * 1000);
    }
}

int serve(const std::string& base, const std::vector<std::string>& args) {
    ServeOptions opts;
    BoundedLog log;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--log" && i + 1 < args.size()) {
            std::string error;
            if (!log.open(args[++i], error)) {
                std::fprintf(stderr, "edhost: %s\n", error.c_str());
                return 1;
            }
        } else if (args[i] == "--refuse-attach") {
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
        store = openForServing(base);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "edhost: %s\n", e.what());
        return storeFailureStatus(e);
    }
    HostServer server(*store, opts);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "edhost: %s\n", error.c_str());
        return 1;
    }
    ControlServer control(*store, server);
    if (!control.listen(base, error)) {
        std::fprintf(stderr, "edhost: %s\n", error.c_str());
        return 1;
    }
    removeLeftovers();   // what crashed plug-ins (and hosts) left in the channel folder
    if (const ChannelDir dir = channelDirectory(); !dir.passedBy.empty())
        std::printf("edhost: passing by the channel folder %s; using %s\n",
                    channelProblem(passedByAccount(dir)).c_str(), dir.path.c_str());
    std::printf("edhost: serving %s in session %s (host thread %s)\n", base.c_str(),
                sessionName().c_str(), threadIdHex(server.hostThreadId()).c_str());
    std::fflush(stdout);

    auto lastHousekeeping = std::chrono::steady_clock::now();
    std::vector<pollfd> fds;
    for (;;) {
        server.onQueue();   // messages already taken aside do not wake poll
        fds = {{server.queueFd(), POLLIN, 0}, {server.windowFd(), POLLIN, 0}, {sigFd, POLLIN, 0}};
        control.addPollFds(fds);
        int r = ::poll(fds.data(), fds.size(), control.nextDeadlineMs(500));
        if (r < 0 && errno != EINTR)
            break;
        if (fds[2].revents & POLLIN) {
            // Commands posted before the signal are answered first: a plug-in may have posted a
            // store and gone on with its next mail, and that mail must be stored or refused,
            // not dropped with the plug-in left to guess.
            server.onQueue();
            break;
        }
        if (fds[0].revents & POLLIN)
            server.onQueue();
        if (fds[1].revents & POLLIN)
            server.onWindow();
        control.onPoll(fds, 3);
        // Looking for dead plug-ins costs system calls: twice a second, not per message.
        auto now = std::chrono::steady_clock::now();
        if (now - lastHousekeeping >= std::chrono::milliseconds(500)) {
            server.housekeeping();
            log.keepBounded();
            lastHousekeeping = now;
        }
    }
    // The host goes: every attached plug-in learns that the connection has ended.
    server.disconnectAll();
    std::printf("edhost: stopped\n");
    return 0;
}

int run(int argc, char** argv) {
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
    if (const char* help = commandHelp(args)) {
        std::fputs(help, stdout);
        return 0;
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
        std::error_code ec;
        const bool exists = std::filesystem::exists(base, ec);
        if (ec) {
            std::fprintf(stderr, "edhost: cannot look at the base in %s: %s\n", base.c_str(),
                         ec.message().c_str());
            return 1;
        }
        if (!exists && args[0] != "write") {
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
            r = {storeFailureStatus(e), "", std::string("edhost: ") + e.what() + "\n"};
        }
    }
    std::fwrite(r.out.data(), 1, r.out.size(), stdout);
    std::fwrite(r.err.data(), 1, r.err.size(), stderr);
    return r.code;
}

} // namespace

int main(int argc, char** argv) {
    // A reader of our output that went away must not kill the host mid-shutdown.
    std::signal(SIGPIPE, SIG_IGN);
    // Whatever fails on the way (a folder that cannot be read, memory) ends in one line and an
    // exit status, never in an abort.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "edhost: %s\n", e.what());
    }
    return 1;
}
