// The retrieval run end to end: a Dovecot mailbox of N mixed mails (scripts/make-mailbox,
// seed 1) is fetched into a fresh edhost base by pressing "nur lesen" in the main window
// (offscreen), and the same mailbox is downloaded by curl in the same run, alternately. Prints,
// per round and as medians: wall times, mails per second, the ratio to curl, the longest gap
// between the ticks of a 10 ms window timer during the run (how responsive the window stays),
// and the peak resident memory of this process. Run one mailbox size per process, so that the
// peak memory figures of two sizes can be compared. Needs root (Dovecot), curl and an edhost
// built beside this program.
//
//   bench_incoming [--shown] [--delete] N [ROUNDS [BIG]]
//                                    (default ROUNDS 3; BIG adds one mail with an attachment of
//                                     that size, e.g. 50M, after the N mails; text:70M adds a
//                                     plain-text mail of that size instead, html:8M an
//                                     HTML-only one)
//
// With --shown the window is shown during the run, as the user sees it, on the X server that
// DISPLAY names (painting, the X round trips and the log box's layout then count), or offscreen
// when DISPLAY is not set; without it the window is never shown and always offscreen.
//
// With --delete the run deletes the mails it stored ("Nachrichten vom Server löschen"): the
// mailbox, Dovecot's index included, is put back from a copy before each run and each curl
// download (not timed), and a login after it (not timed either) lets Dovecot look at it first.
//
// With PB_BENCH_NO_PIPELINING=1 the run takes Dovecot as a server without PIPELINING (one mail
// asked for ahead, none with deletion on), for the figures before and after.
//
// With PB_BENCH_TLS=1 every round also fetches over TLS from the first byte (the certificate
// trusted by its fingerprint) and curl over pop3s, from the same Dovecot, and the summary
// gives both ratios to curl and how much TLS adds to ours.
#include "BenchTools.h"
#include "ScratchDir.h"
#include "app/PB_main.h"
#include "platform/AnsiText.h"
#include "support/EdhostProcess.h"
#include "support/MailServers.h"

#include <QApplication>
#include <QDir>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bench::median;
using bench::peakKiB;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct Round {
    double secs = 0;
    long stored = 0;
    double maxGapMs = 0;
    long ticks = 0;
    long failures = 0;
    double ownCpu = 0;    // CPU seconds of this process (the window) during the run
    double hostCpu = 0;   // CPU seconds of the edhost process, start to end
    long hostRssKiB = 0;  // what the edhost process holds once the run has ended
};

// The run folders of the rounds; removed after the last one. On ext4, a file made shortly after
// many others were removed costs far more than usual (the search for a free inode passes over
// the recently freed ones), and the runs make one file per attachment part.
std::vector<QString> runFolders;

bool shown = false;       // --shown: the window is on screen during the run
bool deleting = false;    // --delete: the run deletes what it stored

// Shows the window and waits (bounded) until the window system has mapped it, so the run
// starts with the window as the user has it.
void showWindow(QWidget& w) {
    w.show();
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until && !(w.windowHandle() && w.windowHandle()->isExposed()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents();
}

Round fetchWithPostbridge(const pb::test::MailServers& servers, bool tls) {
    Round r;
    const double childCpu0 = bench::cpuSeconds(RUSAGE_CHILDREN);
    {
        pb::test::EdhostProcess host;
        if (!host.running())
            throw std::runtime_error("edhost did not start");
        bench::ScratchDir dir(QDir::tempPath() + "/pb-bench-in-XXXXXX");
        dir.keep();
        runFolders.push_back(dir.path());
        {
            std::ofstream ini("pbridge.ini", std::ios::binary);
            ini << "127.0.0.1\r\n" << servers.smtpPort() << "\r\nme@example.org\r\nme\r\n0\r\n"
                << servers.host() << "\r\n" << (tls ? servers.pop3sPort() : servers.pop3Port()) << "\r\n"
                << servers.user() << "\r\n" << servers.password() << "\r\n" << (deleting ? 1 : 0) << "\r\n";
            if (tls) {
                ini << "2\r\n0\r\n0\r\n\r\n\r\n";
                std::ofstream("pbridge.crt") << servers.host() << " " << servers.pop3sPort() << " "
                                             << servers.fingerprint("server") << "\n";
            }
        }

        {
            pb::Tmain w;
            if (shown)
                showWindow(w);
            w.FormActivate();
            if (!w.edapi1->Connected())
                throw std::runtime_error("the window did not attach to edhost");
            if (!qEnvironmentVariableIsEmpty("PB_BENCH_NO_PIPELINING")) {
                pb::TPop3Client& pop3 = *w.POP3_Service;
                pop3.OnConnect = [&pop3](QObject*) { pop3.Capabilities.Pipelining = false; };
            }

            const bench::TimedRun t = bench::timeRun([&] { w.BitBtn2Click(); });
            r.secs = t.secs;
            r.ownCpu = t.ownCpu;
            r.maxGapMs = t.maxGapMs;
            r.ticks = t.ticks;
            const std::string failed = pb::ansi("POP3 Übetragungsfehler");
            for (const std::string& line : w.LogLines())
                if (line.find(failed) != std::string::npos)
                    ++r.failures;
        }
        r.hostRssKiB = bench::memoryKiB("VmRSS:", std::to_string(host.pid()));
        const std::string list = host.run({"list", "EMAIL"});
        r.stored = static_cast<long>(std::count(list.begin(), list.end(), '\n'));
    }
    // edhost has ended and been waited for here; "edhost list" is counted too, and is small.
    r.hostCpu = bench::cpuSeconds(RUSAGE_CHILDREN) - childCpu0;
    return r;
}

double fetchWithCurl(const pb::test::MailServers& servers, int n, bool tls = false) {
    const std::string cmd = "curl -s -u " + servers.user() + ":" + servers.password() +
                            (tls ? " --cacert " + servers.tlsFile("ca.pem") + " 'pop3s://" : std::string(" 'pop3://")) +
                            servers.host() + ":" + std::to_string(tls ? servers.pop3sPort() : servers.pop3Port()) +
                            "/[1-" + std::to_string(n) + "]' -o /dev/null";
    const auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("curl failed");
    return seconds(t0, Clock::now());
}

// --delete: the mailbox as it was made, Dovecot's index included, put back from its copy.
void refillMailbox(const pb::test::MailServers& servers) {
    if (!deleting)
        return;
    const std::string box = servers.pop3Maildir();
    const std::string cmd = "rm -rf '" + box + "' && cp -a '" + box + ".full' '" + box + "'";
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("the mailbox could not be put back");
    fetchWithCurl(servers, 1);
}

} // namespace

int main(int argc, char** argv) {
    for (std::string flag; argc >= 2 && (flag = argv[1]).rfind("--", 0) == 0;) {
        if (flag == "--shown")
            shown = true;
        else if (flag == "--delete")
            deleting = true;
        else
            break;
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", shown && !qEnvironmentVariableIsEmpty("DISPLAY") ? "xcb" : "offscreen");
    QApplication app(argc, argv);
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: bench_incoming [--shown] [--delete] N [ROUNDS [BIG]]\n");
        return 2;
    }
    struct RemoveRunFolders {
        ~RemoveRunFolders() {
            for (const QString& folder : runFolders)
                QDir(folder).removeRecursively();
        }
    } removeRunFolders;
    const std::string big = argc == 4 ? argv[3] : "";
    const int n = std::atoi(argv[1]) + (big.empty() ? 0 : 1);
    const int rounds = argc >= 3 ? std::atoi(argv[2]) : 3;
    // What the process holds before any run (Qt, fonts, the window): the peak beyond it is the run's.
    const long baseKiB = [] {
        pb::Tmain w;
        return peakKiB();
    }();
    try {
        const bool tls = !qEnvironmentVariableIsEmpty("PB_BENCH_TLS");
        if (tls)
            ::setenv("TLS_SSL", "yes", 1);   // plain logins too, for the side-by-side figures
        pb::test::MailServers servers;
        servers.start(tls);
        servers.makeMailbox(n - (big.empty() ? 0 : 1), 1, big);
        fetchWithCurl(servers, 1);   // the first login builds Dovecot's index: not timed
        if (deleting &&
            std::system(("cp -a '" + servers.pop3Maildir() + "' '" + servers.pop3Maildir() + ".full'").c_str()) != 0)
            throw std::runtime_error("the mailbox could not be copied");

        std::vector<double> ours, theirs, gaps, oursTls, theirsTls;
        for (int i = 1; i <= rounds; ++i) {
            if (tls) {
                refillMailbox(servers);
                const Round r = fetchWithPostbridge(servers, true);
                refillMailbox(servers);
                const double c = fetchWithCurl(servers, n, true);
                std::printf("round %d over TLS: postbridge %.3f s (%ld stored, %ld errors), curl pop3s %.3f s, "
                            "ratio %.2f\n",
                            i, r.secs, r.stored, r.failures, c, r.secs / c);
                oursTls.push_back(r.secs);
                theirsTls.push_back(c);
            }
            refillMailbox(servers);
            const Round r = fetchWithPostbridge(servers, false);
            const std::size_t left = deleting ? servers.pop3Count() : 0;
            refillMailbox(servers);
            const double c = fetchWithCurl(servers, n);
            std::printf("round %d: postbridge %.3f s (%ld stored, %.0f mails/s, %ld errors), curl %.3f s "
                        "(%.0f mails/s), ratio %.2f, timer: %ld ticks, longest gap %.1f ms; CPU: window %.3f s, "
                        "edhost %.3f s (%.0f us per mail, %.1f MB resident after the run)\n",
                        i, r.secs, r.stored, r.stored / r.secs, r.failures, c, n / c, r.secs / c, r.ticks, r.maxGapMs,
                        r.ownCpu, r.hostCpu, r.hostCpu * 1e6 / n, static_cast<double>(r.hostRssKiB) / 1024);
            std::fflush(stdout);
            if (r.stored != n)
                std::printf("  stored %ld of %d mails\n", r.stored, n);
            if (left != 0)
                std::printf("  %zu mails left on the server\n", left);
            ours.push_back(r.secs);
            theirs.push_back(c);
            gaps.push_back(r.maxGapMs);
        }
        const double o = median(ours), c = median(theirs);
        if (shown)
            std::printf("window shown (%s): ", qPrintable(QGuiApplication::platformName()));
        if (deleting)
            std::printf("deletion on: ");
        std::printf("%d mails: postbridge %.3f s (%.0f mails/s), curl %.3f s (%.0f mails/s), ratio %.2f; "
                    "longest timer gap %.1f ms (median); peak memory %.1f MB (%.1f MB before the first run)\n",
                    n, o, n / o, c, n / c, o / c, median(gaps), peakKiB() / 1024.0, baseKiB / 1024.0);
        if (tls) {
            const double ot = median(oursTls), ct = median(theirsTls);
            std::printf("over TLS: postbridge %.3f s, curl pop3s %.3f s, ratio %.2f; plain ratio %.2f; "
                        "TLS adds %+.2f to the ratio\n",
                        ot, ct, ot / ct, o / c, ot / ct - o / c);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_incoming: %s\n", e.what());
        return 1;
    }
    return 0;
}
