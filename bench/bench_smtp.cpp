// Sending speed of the SMTP client: 1,000 mails of about 5 KB over one connection to a real
// SMTP server on loopback (the aiosmtpd sink of the test fixtures, storing every mail in a
// Maildir), beside Python's smtplib sending the very same mail texts to the same server in the
// same run. Prints mails/s of both, median of the rounds, and their ratio. Needs root (the
// fixture's servers) and python3 with aiosmtpd.
//
//   bench_smtp [mails] [rounds]      default 1000 mails, 3 rounds
#include "BenchTools.h"
#include "net/SmtpClient.h"
#include "support/MailServers.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bench::median;
using bench::shellQuote;

using Clock = std::chrono::steady_clock;

const char* const Words[] = {"Nachricht", "Punkt",  "Netz",    "Sysop", "Echo",   "Mailbox",
                             "und",       "der",    "die",     "das",   "ist",    "nicht",
                             "Modem",     "Knoten", "Adresse", "Brief", "heute",  "morgen",
                             "Internet",  "Gruss",  "schnell", "mit",   "ohne",   "Programm"};

// About 5 KB of text in lines of at most 72 characters, the same for the same seed.
std::vector<std::string> bodyLines(unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::string> lines;
    std::size_t total = 0;
    while (total < 4800) {
        std::string line;
        for (;;) {
            const std::string w = Words[gen() % std::size(Words)];
            if (line.size() + w.size() + 1 > 72)
                break;
            line += (line.empty() ? "" : " ") + w;
        }
        if (gen() % 17 == 0)
            line.insert(0, ".");   // now and then a line that needs dot transparency
        total += line.size() + 2;
        lines.push_back(line);
    }
    return lines;
}

void fill(pb::TPostMessage& m, int i) {
    m.FromName = "Bench Sender ";
    m.FromAddress = "sender@bench.pb.test";
    m.ToAddress = pb::TStringList{"Empfaenger <rcpt@bench.pb.test>"};
    m.Subject = "Bench mail " + std::to_string(i);
    m.LocalProgram = "Echodesk 95 using Postbridge Alpha 4";
    m.Body.Clear();
    for (auto& l : bodyLines(static_cast<unsigned>(i)))
        m.Body.Add(std::move(l));
}

// CPU seconds this process (our client only: the servers and smtplib are other processes).
double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int mails = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (mails <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_smtp [mails] [rounds]\n");
        return 2;
    }

    pb::test::MailServers servers;
    servers.start();

    // The mail texts as the server receives them from our client, for smtplib to send alike.
    pb::TSmtpClient smtp;
    smtp.Host = servers.host();
    smtp.Port = servers.smtpPort();
    smtp.TimeOut = 20000;
    smtp.UserID = "bench.pb.test";
    smtp.Connect();
    for (int i = 0; i < mails; ++i) {
        fill(smtp.PostMessage, i);
        smtp.SendMail();
    }
    smtp.Disconnect();
    const auto reference = servers.smtpReceived();
    if (static_cast<int>(reference.size()) != mails) {
        std::fprintf(stderr, "warm-up: %zu of %d mails arrived\n", reference.size(), mails);
        return 1;
    }
    std::size_t bytes = 0;
    const std::string textFile = servers.dir() + "/bench-mails.txt";
    {
        std::ofstream out(textFile, std::ios::binary);
        for (const auto& m : reference) {
            out << m.data.size() << '\n' << m.data;
            bytes += m.data.size();
        }
    }
    const std::string script = std::string(PB_SOURCE_DIR) + "/bench/smtplib_send.py";
    const std::string command = "/usr/bin/python3 " + shellQuote(script) + " " +
                                shellQuote(textFile) + " " + std::to_string(servers.smtpPort());

    std::vector<double> ours, theirs, cpu;
    for (int r = 0; r < rounds; ++r) {
        servers.clearSmtp();
        const auto t0 = Clock::now();
        const double c0 = cpuSeconds();
        smtp.Connect();
        for (int i = 0; i < mails; ++i) {
            fill(smtp.PostMessage, i);
            smtp.SendMail();
        }
        smtp.Disconnect();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu.push_back((cpuSeconds() - c0) / mails * 1e6);
        const auto got = servers.smtpReceived();
        if (static_cast<int>(got.size()) != mails || got.front().data != reference.front().data) {
            std::fprintf(stderr, "round %d: our mails did not arrive as expected\n", r + 1);
            return 1;
        }
        ours.push_back(mails / s);

        servers.clearSmtp();
        FILE* py = ::popen(command.c_str(), "r");
        double pySeconds = 0;
        if (!py || std::fscanf(py, "%lf", &pySeconds) != 1 || ::pclose(py) != 0) {
            std::fprintf(stderr, "smtplib run failed: %s\n", command.c_str());
            return 1;
        }
        const auto pyGot = servers.smtpReceived();
        if (static_cast<int>(pyGot.size()) != mails || pyGot.back().data != reference.back().data) {
            std::fprintf(stderr, "round %d: smtplib's mails did not arrive as expected\n", r + 1);
            return 1;
        }
        theirs.push_back(mails / pySeconds);
        std::printf("round %d: TSmtpClient %.0f mails/s, smtplib %.0f mails/s\n", r + 1,
                    ours.back(), theirs.back());
    }
    const double a = median(ours), b = median(theirs);
    std::printf("%d mails of %.1f KB on average over one connection, median of %d rounds:\n",
                mails, bytes / 1000.0 / mails, rounds);
    std::printf("  TSmtpClient  %8.0f mails/s\n  smtplib      %8.0f mails/s\n  ratio        %8.2f\n",
                a, b, a / b);
    std::printf("  TSmtpClient's own CPU time: %.0f us per mail\n", median(cpu));
    return 0;
}
