// The sending run end to end: N outgoing messages of about 5 KB are written into the "EMAIL"
// area of a fresh edhost base (with `edhost write`, not timed), and "nur senden" is pressed in
// the main window (offscreen). The time from the press to the end of the run includes the host's
// message list, a flag read per message, reading each message, preparing its text, resolving its
// recipient through the address book, the SMTP dialogue with the server and the flag write.
// In the same run Python's smtplib sends the very mail texts the server received from us to the
// same server (aiosmtpd storing every mail in a Maildir) over one connection, alternately with
// our rounds. Prints per round and as medians: mails per second of both, the ratio, and the
// longest gap between the ticks of a 10 ms window timer during our run. Needs root (the
// fixture's servers), python3 with aiosmtpd, and an edhost built beside this program.
//
//   bench_outgoing [N] [ROUNDS]        default 1000 messages, 3 rounds
#include "BenchTools.h"
#include "ScratchDir.h"
#include "app/PB_main.h"
#include "mail/PB_addressbook.h"
#include "support/EdhostProcess.h"
#include "support/MailServers.h"

#include <QApplication>
#include <QDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bench::median;
using bench::shellQuote;


const char* const Words[] = {"Nachricht", "Punkt",  "Netz",    "Sysop", "Echo",   "Mailbox",
                             "und",       "der",    "die",     "das",   "ist",    "nicht",
                             "Modem",     "Knoten", "Adresse", "Brief", "heute",  "morgen",
                             "Internet",  "Gruss",  "schnell", "mit",   "ohne",   "Programm"};

// A message as a point user writes it: a To line naming an address book entry, then about 5 KB
// of text, mostly in lines the editor already broke, now and then a paragraph in one long line
// (wrapped by the run), a quoted line, or a line that needs dot transparency.
std::string messageText(unsigned seed) {
    std::mt19937 gen(seed);
    std::string text = "To: Erika Mustermann\n\n";
    while (text.size() < 5000) {
        const std::size_t width = gen() % 9 == 0 ? 300 : 72;
        std::string line = gen() % 11 == 0 ? " EM> " : "";
        for (;;) {
            const std::string w = Words[gen() % std::size(Words)];
            if (line.size() + w.size() + 1 > width)
                break;
            line += (line.empty() ? "" : " ") + w;
        }
        if (gen() % 17 == 0)
            line.insert(0, ".");
        text += line + "\n";
    }
    return text;
}

struct Round {
    double secs = 0;
    long marked = 0;       // messages the host lists with flag word 0x0080 afterwards
    double maxGapMs = 0;
    double ownCpu = 0;   // CPU seconds of this process (the window) during the run
    std::vector<pb::test::SmtpMail> received;
};

Round sendWithPostbridge(pb::test::MailServers& servers, int n) {
    pb::test::EdhostProcess host;
    if (!host.running())
        throw std::runtime_error("edhost did not start");
    const bench::ScratchDir dir(QDir::tempPath() + "/pb-bench-out-XXXXXX");
    {
        std::ofstream ini("pbridge.ini", std::ios::binary);
        ini << servers.host() << "\r\n" << servers.smtpPort() << "\r\npoint@bench.pb.test\r\nbench.pb.test\r\n0\r\n"
            << "127.0.0.1\r\n1\r\nuser\r\nsecret\r\n0\r\n";
    }
    pb::SaveAddressBook({{"Max", "max@bench.pb.test"}, {"Erika Mustermann", "rcpt@bench.pb.test"}});

    Round r;
    {
        pb::Tmain w;
        w.FormActivate();   // attaches and creates "EMAIL"
        if (!w.edapi1->Connected())
            throw std::runtime_error("the window did not attach to edhost");
        const std::string file = dir.filePath("message.txt").toStdString();
        for (int i = 0; i < n; ++i) {
            std::ofstream(file, std::ios::binary | std::ios::trunc) << messageText(static_cast<unsigned>(i));
            int code = 0;
            host.run({"write", "EMAIL", "--from", "Bench Punkt", "--to", "Erika Mustermann", "--subject",
                      "Bench " + std::to_string(i), "--text-file", file},
                     &code);
            if (code != 0)
                throw std::runtime_error("edhost write failed");
        }
        servers.clearSmtp();

        const bench::TimedRun t = bench::timeRun([&] { w.BitBtn3Click(); });
        r.secs = t.secs;
        r.ownCpu = t.ownCpu;
        r.maxGapMs = t.maxGapMs;
    }
    const std::string list = host.run({"list", "EMAIL"});
    for (std::size_t at = list.find("  0080  "); at != std::string::npos; at = list.find("  0080  ", at + 1))
        ++r.marked;
    r.received = servers.smtpReceived();
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (n <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_outgoing [N] [ROUNDS]\n");
        return 2;
    }
    try {
        pb::test::MailServers servers;
        servers.start();
        const std::string textFile = servers.dir() + "/bench-outgoing.txt";
        const std::string script = std::string(PB_SOURCE_DIR) + "/bench/smtplib_send.py";
        const std::string command = "/usr/bin/python3 " + shellQuote(script) + " " + shellQuote(textFile) + " " +
                                    std::to_string(servers.smtpPort());

        std::vector<double> ours, theirs, gaps;
        std::size_t bytes = 0;
        for (int i = 1; i <= rounds; ++i) {
            const Round r = sendWithPostbridge(servers, n);
            if (static_cast<int>(r.received.size()) != n || r.marked != n) {
                std::fprintf(stderr, "round %d: %zu of %d mails arrived, %ld marked sent\n", i, r.received.size(), n,
                             r.marked);
                return 1;
            }
            // smtplib sends exactly what the server received from us.
            bytes = 0;
            {
                std::ofstream out(textFile, std::ios::binary | std::ios::trunc);
                for (const auto& m : r.received) {
                    out << m.data.size() << '\n' << m.data;
                    bytes += m.data.size();
                }
            }
            servers.clearSmtp();
            FILE* py = ::popen(command.c_str(), "r");
            double pySecs = 0;
            if (!py || std::fscanf(py, "%lf", &pySecs) != 1 || ::pclose(py) != 0)
                throw std::runtime_error("smtplib run failed: " + command);
            const auto pyGot = servers.smtpReceived();
            if (static_cast<int>(pyGot.size()) != n || pyGot.back().data != r.received.back().data)
                throw std::runtime_error("smtplib's mails did not arrive as expected");

            std::printf("round %d: postbridge %.3f s (%.0f mails/s), smtplib %.3f s (%.0f mails/s), ratio %.2f, "
                        "longest timer gap %.1f ms; CPU of the window %.3f s\n",
                        i, r.secs, n / r.secs, pySecs, n / pySecs, r.secs / pySecs, r.maxGapMs, r.ownCpu);
            std::fflush(stdout);
            ours.push_back(r.secs);
            theirs.push_back(pySecs);
            gaps.push_back(r.maxGapMs);
        }
        const double o = median(ours), p = median(theirs);
        std::printf("%d messages of %.1f KB on average, median of %d rounds: postbridge %.3f s (%.0f mails/s), "
                    "smtplib %.3f s (%.0f mails/s), time ratio %.2f; longest timer gap %.1f ms\n",
                    n, bytes / 1000.0 / n, rounds, o, n / o, p, n / p, o / p, median(gaps));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_outgoing: %s\n", e.what());
        return 1;
    }
    return 0;
}
