// edhost: the host program that Postbridge attaches to. It owns a message base on disk, serves
// the host side of the plug-in channel, and lets a person look into the base and write to it.
//
//   edhost serve --base DIR [--api-version N] [--refuse-attach]
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
    "a folder there that is not the user's alone is refused.\n"
    "Exit status: 0 done; 3 `status` found no serving host; any other value, a failure.\n";

// `edhost CMD --help`: each command's own usage and what it does.
struct CommandHelp {
    const char* name;
    const char* text;
};
const CommandHelp kCommandHelp[] = {
    {"serve", "usage: edhost serve (--base DIR | --user-base) [--api-version N] [--refuse-attach]\n"
              "Serves the base to Postbridge until SIGTERM or Ctrl-C, then tells every attached\n"
              "Postbridge that the host has gone. Makes the base (NETMAIL, REPORT) when missing.\n"
              "--api-version N reports another interface version; --refuse-attach refuses every attach.\n"},
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
    ControlServer control(*store, server);
    if (!control.listen(base, error)) {
        std::fprintf(stderr, "edhost: %s\n", error.c_str());
        return 1;
    }
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
            lastHousekeeping = now;
        }
    }
    // The host goes: every attached plug-in learns that the connection has ended.
    server.disconnectAll();
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
