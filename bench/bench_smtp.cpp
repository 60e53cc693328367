// Sending speed of the SMTP client: 1,000 mails of about 5 KB over one connection to a real
// SMTP server on loopback (the aiosmtpd sink of the test fixtures, storing every mail in a
// Maildir), beside Python's smtplib sending the very same mail texts to the same server in the
// same run. Prints mails/s of both, median of the rounds, and their ratio. Needs root (the
// fixture's servers) and python3 with aiosmtpd.
//
// With --postfix the server is Postfix as the interop tests run it (scripts/interop-servers:
// TLS from the first byte, AUTH PLAIN, PIPELINING offered), both clients logging in over TLS;
// the mail texts for smtplib are those Postfix delivered, without the lines it put on top.
//
//   bench_smtp [--postfix] [mails] [rounds]      default 1000 mails, 3 rounds
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

void report(int mails, std::size_t bytes, int rounds, const std::vector<double>& ours,
            const std::vector<double>& theirs, const std::vector<double>& cpu) {
    const double a = median(ours), b = median(theirs);
    std::printf("%d mails of %.1f KB on average over one connection, median of %d rounds:\n",
                mails, bytes / 1000.0 / mails, rounds);
    std::printf("  TSmtpClient  %8.0f mails/s\n  smtplib      %8.0f mails/s\n  ratio        %8.2f\n",
                a, b, a / b);
    std::printf("  TSmtpClient's own CPU time: %.0f us per mail\n", median(cpu));
}

// Seconds smtplib_send.py took for the mails in textFile, or a negative value when it failed.
double smtplibSeconds(const std::string& textFile, int port, const std::string& tlsArgs) {
    const std::string script = std::string(PB_SOURCE_DIR) + "/bench/smtplib_send.py";
    const std::string command = "/usr/bin/python3 " + shellQuote(script) + " " + shellQuote(textFile) +
                                " " + std::to_string(port) + tlsArgs;
    FILE* py = ::popen(command.c_str(), "r");
    double seconds = -1;
    if (!py || std::fscanf(py, "%lf", &seconds) != 1 || ::pclose(py) != 0) {
        std::fprintf(stderr, "smtplib run failed: %s\n", command.c_str());
        return -1;
    }
    return seconds;
}

// Postfix queues a mail before it delivers it: waits (at most a minute) until `count` arrived.
bool awaitDelivered(const pb::test::InteropServer& postfix, std::size_t count) {
    for (int i = 0; i < 6000; ++i) {
        const std::size_t now = postfix.delivered().size();
        if (now >= count)
            return now == count;
        ::usleep(10000);
    }
    return false;
}

int againstPostfix(int mails, int rounds) {
    pb::test::InteropServer postfix("postfix");
    if (const std::string why = postfix.start(); !why.empty()) {
        std::fprintf(stderr, "Postfix cannot run here: %s\n", why.c_str());
        return 1;
    }
    pb::TSmtpClient smtp;
    smtp.Host = postfix.host();
    smtp.Port = postfix.smtpsPort();
    smtp.TimeOut = 20000;
    smtp.UserID = "bench.pb.test";
    smtp.Security = pb::TSecurity::Implicit;
    smtp.UseAuth = true;
    smtp.AuthUser = postfix.user();
    smtp.AuthPassword = postfix.password();
    std::ifstream fingerprint(postfix.tlsFile("server.sha256"));
    std::getline(fingerprint, smtp.TrustedFingerprint);
    smtp.TrustedFingerprint.resize(64);
    auto sendAll = [&] {
        smtp.Connect();
        for (int i = 0; i < mails; ++i) {
            fill(smtp.PostMessage, i);
            smtp.SendMail();
        }
        smtp.Disconnect();
    };
    sendAll();
    std::size_t delivered = mails;
    if (!awaitDelivered(postfix, delivered)) {
        std::fprintf(stderr, "warm-up: not all of %d mails arrived\n", mails);
        return 1;
    }
    std::printf("PIPELINING %s\n", smtp.Pipelining() ? "offered and used" : "not offered");
    // The texts as we sent them: from our first header line on, with CR LF line ends.
    std::size_t bytes = 0;
    const std::string textFile = postfix.tlsFile("bench-mails.txt");
    {
        std::ofstream out(textFile, std::ios::binary);
        for (const std::string& m : postfix.delivered()) {
            std::string text;
            for (const char c : m.substr(m.find("\nFrom: ") + 1)) {
                if (c == '\n')
                    text += '\r';
                text += c;
            }
            out << text.size() << '\n' << text;
            bytes += text.size();
        }
    }
    const std::string tlsArgs = " " + shellQuote(postfix.tlsFile("ca.pem")) + " " + postfix.user() + " " +
                                postfix.password();
    std::vector<double> ours, theirs, cpu;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        const double c0 = cpuSeconds();
        sendAll();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu.push_back((cpuSeconds() - c0) / mails * 1e6);
        ours.push_back(mails / s);
        if (!awaitDelivered(postfix, delivered += mails)) {
            std::fprintf(stderr, "round %d: our mails did not all arrive\n", r + 1);
            return 1;
        }
        const double pySeconds = smtplibSeconds(textFile, postfix.smtpsPort(), tlsArgs);
        if (pySeconds < 0)
            return 1;
        theirs.push_back(mails / pySeconds);
        if (!awaitDelivered(postfix, delivered += mails)) {
            std::fprintf(stderr, "round %d: smtplib's mails did not all arrive\n", r + 1);
            return 1;
        }
        std::printf("round %d: TSmtpClient %.0f mails/s, smtplib %.0f mails/s\n", r + 1, ours.back(),
                    theirs.back());
    }
    report(mails, bytes, rounds, ours, theirs, cpu);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool postfix = argc > 1 && std::string(argv[1]) == "--postfix";
    if (postfix) {
        --argc;
        ++argv;
    }
    const int mails = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (mails <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_smtp [--postfix] [mails] [rounds]\n");
        return 2;
    }
    if (postfix)
        return againstPostfix(mails, rounds);

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
        const double pySeconds = smtplibSeconds(textFile, servers.smtpPort(), "");
        if (pySeconds < 0)
            return 1;
        const auto pyGot = servers.smtpReceived();
        if (static_cast<int>(pyGot.size()) != mails || pyGot.back().data != reference.back().data) {
            std::fprintf(stderr, "round %d: smtplib's mails did not arrive as expected\n", r + 1);
            return 1;
        }
        theirs.push_back(mails / pySeconds);
        std::printf("round %d: TSmtpClient %.0f mails/s, smtplib %.0f mails/s\n", r + 1,
                    ours.back(), theirs.back());
    }
    report(mails, bytes, rounds, ours, theirs, cpu);
    return 0;
}
