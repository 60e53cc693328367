// Retrieves every mail of a POP3 mailbox with TPop3Client, as the retrieval run does (Connect,
// List, GetMailMessage for each, Disconnect), keeping the mails on the server. Attachments go
// to a scratch directory that is emptied afterwards. Prints the wall time, the mail count and
// the process's peak resident memory. Used by bench/pop3.sh, which sets up the server.
//
//   bench_pop3 HOST PORT USER PASSWORD SCRATCH_DIR
#include "BenchTools.h"
#include "mail/MailAssembler.h"
#include "net/Pop3Client.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using bench::peakKiB;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_pop3 HOST PORT USER PASSWORD SCRATCH_DIR\n");
        return 2;
    }
    const std::string scratch = std::string(argv[5]) + "/";
    std::filesystem::create_directories(scratch);

    pb::TPop3Client c;
    pb::TMailAssembler assembler;
    c.Assembly = &assembler;
    c.Host = argv[1];
    c.Port = std::stoi(argv[2]);
    c.UserID = argv[3];
    c.Password = argv[4];
    c.TimeOut = 20000;
    c.ReportLevel = 2;
    c.AttachFilePath = scratch;

    long long bytes = 0;
    std::size_t bodyLines = 0, attachments = 0;
    const auto t0 = std::chrono::steady_clock::now();
    try {
        c.Connect();
        c.OnList = [&](int, int size) { bytes += size; };
        c.List();
        for (int n = 1; n <= c.MailCount; ++n) {
            c.GetMailMessage(n);
            bodyLines += static_cast<std::size_t>(c.MailMessage.Body.Count());
            attachments += static_cast<std::size_t>(c.MailMessage.Attachments.Count());
        }
        c.Disconnect();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_pop3: %s\n", e.what());
        return 1;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("mails %d  bytes %lld  body lines %zu  attachments %zu  seconds %.3f  peak_kib %ld\n",
                c.MailCount, bytes, bodyLines, attachments, secs, peakKiB());

    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(scratch, ec))
        std::filesystem::remove_all(entry.path(), ec);
    return 0;
}
