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
    "Aufruf: edhost BEFEHL (--base ORDNER | --user-base) [Optionen]\n"
    "  serve [--log DATEI]                         die Basis für Postbridge bereitstellen, bis\n"
    "                                              edhost beendet wird\n"
    "  status                                      der bereitstellende Host und seine Plug-ins\n"
    "  disconnect                                  die Verbindung jedes Plug-ins beenden\n"
    "  areas                                       die Bereiche der Basis\n"
    "  list BEREICH                                die Nachrichten eines Bereichs\n"
    "  show BEREICH N                              eine Nachricht, lesbar\n"
    "  dump BEREICH N [--raw]                      die gespeicherten Bytes einer Nachricht\n"
    "  write BEREICH --from NAME --to NAME --subject TEXT [--text-file D | --text T]\n"
    "        [--to-line ADRESSE ...]               eine Nachricht zum Senden schreiben\n"
    "  flags BEREICH N [WERT]                      das Flag-Wort einer Nachricht lesen oder setzen\n"
    "edhost BEFEHL --help zeigt die Hilfe eines Befehls; man edhost das Handbuch.\n";

// The rest of `edhost --help`; the manual page (dist/man/edhost.1) says the same at length. The
// commands and options that provoke faults for the tests are left out: nobody else needs them.
const char* kHelpDetails =
    "\n"
    "edhost ist das Hostprogramm, an das sich Postbridge hängt: Es hält eine Nachrichtenbasis\n"
    "(die Bereiche NETMAIL, REPORT und, sobald Postbridge sich angemeldet hat, EMAIL) und stellt\n"
    "sie Postbridge bereit, solange \"edhost serve\" läuft. Die abgeholten Mails zeigen\n"
    "\"list EMAIL\" und \"show EMAIL N\"; eine Nachricht, die Postbridge senden soll, schreibt\n"
    "\"write EMAIL\", ihre Empfänger auf \"To:\"-Zeilen am Anfang des Textes (--to-line) oder über\n"
    "den Namen des Empfängers im Adressbuch von Postbridge.\n"
    "\n"
    "  --base ORDNER   der Ordner der Nachrichtenbasis; serve und write legen ihn an, wenn er fehlt\n"
    "  --user-base     die Basis im Postbridge-Ordner des Benutzers:\n"
    "                  $XDG_DATA_HOME/postbridge/edhost-base (~/.local/share/postbridge/...),\n"
    "                  die Basis von systemctl --user start edhost und postbridge --user-folder\n"
    "  --text-file D   der Text der Nachricht aus einer Datei (von diesem edhost gelesen,\n"
    "                  höchstens 64 MiB), --text T aus dem Argument (beide UTF-8)\n"
    "\n"
    "Während serve läuft, führt der bereitstellende Host die anderen Befehle aus; sie sehen und\n"
    "ändern also genau die Basis, die er bereitstellt. serve endet mit SIGTERM oder Strg-C und\n"
    "sagt jedem angemeldeten Postbridge, dass der Host gegangen ist.\n"
    "\n"
    "Umgebung: EDAPI_SESSION benennt den Kanal zwischen Host und Plug-ins; edhost und postbridge\n"
    "müssen denselben Wert sehen (ohne ihn: ein Kanal je Benutzer). Der Kanal liegt in\n"
    "$XDG_RUNTIME_DIR/edapi, sonst /run/user/UID/edapi, /dev/shm/edapi-UID oder /tmp/edapi-UID;\n"
    "an einem Ordner, der einem anderen Benutzer gehört, gehen beide Programme gleich vorbei zum\n"
    "ersten eigenen (oder anlegbaren) von ORDNER.1 .. ORDNER.9 daneben und ~/.cache/edapi-HOST.\n"
    "Rückgabewert: 0 erledigt; 3 status fand keinen bereitstellenden Host; 4 der Ordner hält eine\n"
    "Basis der älteren Form aus einer Datei, die edhost nicht mehr liest; jeder andere Wert: ein\n"
    "Fehler.\n";

// `edhost CMD --help`: each command's own usage and what it does.
struct CommandHelp {
    const char* name;
    const char* text;
};
const CommandHelp kCommandHelp[] = {
    {"serve", "Aufruf: edhost serve (--base ORDNER | --user-base) [--log DATEI]\n"
              "Stellt die Basis Postbridge bereit, bis SIGTERM oder Strg-C kommt, und sagt dann jedem\n"
              "angemeldeten Postbridge, dass der Host gegangen ist. Legt die Basis (NETMAIL, REPORT)\n"
              "an, wenn sie fehlt. Ein zweites serve einer Basis, die schon ein Host bereitstellt,\n"
              "endet sofort (Rückgabewert 1). --log DATEI schreibt die Ausgabe in DATEI (0600), unter\n"
              "1 MiB gehalten, indem die ältesten Zeilen wegfallen.\n"},
    {"status", "Aufruf: edhost status (--base ORDNER | --user-base)\n"
               "Sagt, ob ein Host die Basis bereitstellt und welche Plug-ins an ihm angemeldet sind.\n"
               "Rückgabewert 3, wenn keiner sie bereitstellt.\n"},
    {"disconnect", "Aufruf: edhost disconnect (--base ORDNER | --user-base)\n"
                   "Beendet die Verbindung jedes angemeldeten Plug-ins, wie ein Host, der geht.\n"},
    {"areas", "Aufruf: edhost areas (--base ORDNER | --user-base)\n"
              "Listet die Bereiche der Basis, einen je Zeile.\n"},
    {"list", "Aufruf: edhost list BEREICH (--base ORDNER | --user-base)\n"
             "Listet die Nachrichten von BEREICH: Nummer, Flag-Wort, Absender, Empfänger und Betreff.\n"
             "Die Flag-Wörter: 0x0840 hier geschrieben und noch nicht gesendet, 0x0080 von Postbridge\n"
             "gesendet, 0x2014 aus dem Internet empfangen.\n"},
    {"show", "Aufruf: edhost show BEREICH N (--base ORDNER | --user-base)\n"
             "Zeigt Nachricht N von BEREICH lesbar: ihre Kopffelder, dann ihren Text, die\n"
             "Steuerzeilen (Kludges) mit einem \"@\" davor.\n"},
    {"dump", "Aufruf: edhost dump BEREICH N [--raw] (--base ORDNER | --user-base)\n"
             "Zeigt den gespeicherten Satz von Nachricht N als Hex-Dump von Kopf und Text\n"
             "(--raw: die Bytes des Satzes selbst).\n"},
    {"write", "Aufruf: edhost write BEREICH --from NAME --to NAME --subject TEXT [--text-file D | --text T]\n"
              "                      [--to-line ADRESSE ...] (--base ORDNER | --user-base)\n"
              "Schreibt eine neue Nachricht in BEREICH, wie der Benutzer eines Point-Programms es tut:\n"
              "Flag-Wort 0x0840 (geschrieben, nicht gesendet), eine erste Zeile des Hosts, dann der Text\n"
              "(UTF-8). Postbridge sendet eine solche Nachricht aus EMAIL und setzt 0x0080. Eine erste\n"
              "\"To:\"-Zeile des Textes nennt den Empfänger im Internet (eine Adresse oder einen Namen\n"
              "aus dem Adressbuch von Postbridge); --to-line ADRESSE setzt eine solche Zeile an den\n"
              "Anfang des Textes, einmal je Empfänger. Ohne sie nennt --to den Empfänger über das\n"
              "Adressbuch.\n"},
    {"flags", "Aufruf: edhost flags BEREICH N [WERT] (--base ORDNER | --user-base)\n"
              "Zeigt das Flag-Wort von Nachricht N oder setzt es auf WERT (0x0840 geschrieben, nicht\n"
              "gesendet; 0x0080 gesendet; 0x2014 aus dem Internet empfangen).\n"},
    // For the tests only, and so left out of `edhost --help`.
    {"fault", "Aufruf: edhost fault [--answer CMD STATUS] [--stop-answering] [--die-after CMD] [--resume]\n"
              "                    [--clear] [--refuse-attach on|off] [--api-version N] [--post MSG ...]\n"
              "                    (--base ORDNER | --user-base)\n"
              "Löst im bereitstellenden Host Fehler aus, für Tests: Befehl CMD (1032..1043) mit STATUS\n"
              "beantworten, nicht mehr antworten (--resume antwortet wieder), den nächsten Befehl CMD\n"
              "ausführen und vor der Antwort enden (--die-after), die Anmeldung ablehnen, die\n"
              "Schnittstellenversion N melden, den Hostbefehl MSG an jedes angemeldete Plug-in\n"
              "schicken; --clear beendet sie alle. serve nimmt dafür --api-version N und\n"
              "--refuse-attach.\n"},
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
