// postbridge --poll / --read / --send as a scheduler runs it: the real program, no display,
// against Dovecot, the SMTP sink and edhost, judged by its exit status, its output and what
// arrived in the host and at the servers.
#include "support/EdhostProcess.h"
#include "support/HostRecords.h"
#include "support/LoopbackServer.h"
#include "support/MailServers.h"
#include "support/PeakMemory.h"
#include "support/ScratchSession.h"
#include "support/StrictServers.h"
#include "support/SuiteServers.h"

#include "mail/Config.h"
#include "platform/AnsiText.h"
#include "platform/RecordLimit.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace pb::test {
namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

class Headless : public SuiteServers<> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        servers().clearMails();
        servers().clearSmtp();
    }

    std::string path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }

    // The settings for the servers, or for a scripted POP3 server on pop3Port.
    void writeIni(const std::string& password = "", int pop3Port = 0) {
        const MailServers& s = servers();
        std::ofstream(path("pbridge.ini"), std::ios::binary)
            << s.host() << "\r\n" << s.smtpPort() << "\r\nme@example.org\r\nme\r\n0\r\n"
            << s.host() << "\r\n" << (pop3Port ? pop3Port : s.pop3Port()) << "\r\n" << s.user() << "\r\n"
            << (password.empty() ? s.password() : password) << "\r\n0\r\n";
    }
    Outcome runBounded(long& peakKiB);
    std::set<std::string> folderFiles() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path().toStdString()))
            names.insert(e.path().filename().string());
        return names;
    }

    // The program started as cron would: no display, in another folder than the one it works in.
    void start(QProcess& p, const QStringList& args, const QString& session = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        if (!session.isEmpty())
            env.insert(QStringLiteral("EDAPI_SESSION"), session);
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QStringLiteral("/"));
        p.start(QStringLiteral(PB_BIN_DIR "/postbridge"), args + QStringList{QStringLiteral("--dir"), dir_.path()});
        ASSERT_TRUE(p.waitForStarted(10000));
    }
    Outcome run(const QStringList& args, const QString& session = {}) {
        QProcess p;
        start(p, args, session);
        EXPECT_TRUE(p.waitForFinished(60000));
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
                p.readAllStandardError().toStdString()};
    }

    static std::string flags(const EdhostProcess& host, int n) {
        std::string f = host.run({"flags", "EMAIL", std::to_string(n)});
        return f.substr(0, f.find('\n'));
    }
    static int count(const EdhostProcess& host, const std::string& area) {
        std::istringstream list(host.run({"list", area}));
        int n = 0;
        for (std::string line; std::getline(list, line);)
            ++n;
        return n;
    }
    void write(const EdhostProcess& host, const std::string& to, const std::string& subject, const std::string& text) {
        std::ofstream(path("message.txt"), std::ios::binary) << text;
        int code = -1;
        host.run({"write", "EMAIL", "--from", "Max Punkt", "--to", to, "--subject", subject, "--text-file",
                  path("message.txt")},
                 &code);
        ASSERT_EQ(code, 0);
    }

    QTemporaryDir dir_;

private:
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(Headless, ReadSendAndPollDoTheirRunsAndStoreTheLog) {
    EdhostProcess host;
    writeIni();
    servers().setMails({"Subject: Eins\n\nText eins\n"});

    // A first read makes "EMAIL" and fetches; the log comes out line by line in its own format.
    Outcome r = run({QStringLiteral("--read")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "ED95 Area EMAIL erstellt\n")) << r.out;
    EXPECT_TRUE(has(r.out, "POP3 Empfange Mail 1 (")) << r.out;
    EXPECT_EQ(hostSubjects(host), (std::map<std::string, int>{{"Eins", 1}}));
    EXPECT_TRUE(r.err.empty()) << r.err;

    // Send only: one message goes, one whose recipient would need the prompt stays unsent
    // without changing the exit status.
    write(host, "Erika Mustermann", "Hin", "To: erika@example.org\n\nHallo\n");
    write(host, "Niemand Bekannt", "Offen", "Hallo\n");
    r = run({QStringLiteral("--send")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "SMTP Kein Empfänger für \"Offen\" gefunden, die Nachricht bleibt ungesendet")) << r.out;
    const auto sent = servers().smtpReceived();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"erika@example.org"});
    EXPECT_EQ(flags(host, 2), "0x0080");
    EXPECT_EQ(flags(host, 3), "0x0840");

    // The poll fetches only the new mail, then sends (nothing new), and every run left its log.
    servers().addMail("Subject: Zwei\n\nText zwei\n");
    r = run({QStringLiteral("--poll")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "SMTP Verbindung getrennt\n")) << r.out;
    EXPECT_EQ(hostSubjects(host)["Eins"], 1);
    EXPECT_EQ(hostSubjects(host)["Zwei"], 1);
    EXPECT_EQ(servers().smtpReceived().size(), 1u);
    EXPECT_EQ(count(host, "REPORT"), 3);
}

TEST_F(Headless, ExitStatusesNameWhatWentWrong) {
    // Bad usage and a missing "pbridge.ini": 2, before any host is needed.
    const test::ScratchSession noHost("pbtest-headless-nohost");
    const QString nobody = QString::fromStdString(noHost.name());
    // Without a display, where Qt would abort: a typo, and the window itself.
    const std::pair<QStringList, std::string> refused[] = {
        {{QStringLiteral("--poll"), QStringLiteral("--send")}, "postbridge: nur eine von --poll, --read und --send"},
        {{QStringLiteral("--pol")}, "postbridge: unbekannte Option --pol (postbridge --help zeigt alle Optionen)\n"},
        {{QStringLiteral("-style"), QStringLiteral("Windows"), QStringLiteral("--dri")}, "unbekannte Option --dri"},
        {{}, "postbridge: Das Fenster braucht eine Anzeige, aber weder DISPLAY noch WAYLAND_DISPLAY ist gesetzt. "
             "Ohne Fenster holt und sendet postbridge --poll die Mails.\n"},
    };
    Outcome r;
    for (const auto& [args, line] : refused) {
        r = run(args, nobody);
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(has(r.err, line)) << r.err;
    }
    r = run({QStringLiteral("--poll")}, nobody);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "keine pbridge.ini")) << r.err;

    // No host: 2, and the message names the channel folder it looked in and how to start one
    // (without a window, none is started).
    writeIni();
    r = run({QStringLiteral("--poll")}, nobody);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "Kein Hostprogramm erreichbar im Kanalordner ") && has(r.err, nobody.toStdString()) &&
                has(r.err, "systemctl --user enable --now edhost"))
        << r.err;

    // A host of an older interface is left at once: 2, and no log mail is tried on it.
    {
        EdhostProcess old({"--api-version", "7"});
        r = run({QStringLiteral("--poll")});
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_EQ(count(old, "REPORT"), 0);
    }

    // A wrong password: 1, the box on standard error, the log mail still stored.
    EdhostProcess host;
    writeIni("falsch");
    r = run({QStringLiteral("--read")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "Der Server hat Sie nicht autorisiert.")) << r.err;
    EXPECT_TRUE(has(r.err, "postbridge: Der Lauf ist fehlgeschlagen")) << r.err;
    EXPECT_EQ(count(host, "REPORT"), 1);
}

TEST_F(Headless, SigtermDuringALargeMailLosesNothing) {
    EdhostProcess host;
    writeIni();
    servers().makeMailbox(4, 7, "40M");
    const std::size_t onServer = servers().pop3Count();

    QProcess p;
    start(p, {QStringLiteral("--read")});
    // Terminated while the large mail is on its way (or, on a fast machine, just after).
    // The log line "POP3 Empfange Mail N (SIZE Bytes)" of a mail of a megabyte or more.
    const auto largeMailStarted = [](const std::string& log) {
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            if (const auto at = line.find("POP3 Empfange Mail "); at != std::string::npos)
                if (const auto open = line.find('(', at); open != std::string::npos)
                    if (std::atoll(line.c_str() + open + 1) >= 1000000)
                        return true;
        return false;
    };
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!largeMailStarted(out)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << out;
        if (p.waitForReadyRead(200))
            out += p.readAllStandardOutput().toStdString();
        ASSERT_EQ(p.state(), QProcess::Running) << out;
    }
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);   // ended by itself, not by the signal
    EXPECT_EQ(count(host, "REPORT"), 1);

    // The next run completes and every mail is in the host exactly once.
    const Outcome r = run({QStringLiteral("--read")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(static_cast<std::size_t>(count(host, "EMAIL")), onServer);
    for (const auto& [subject, n] : hostSubjects(host))
        EXPECT_EQ(n, 1) << subject;
}

// ---- Memory and file bounds, whatever the server sends --------------------------------------

// The address space the program may use in these runs: what it takes idle (measured: about
// 220 MB of libraries, thread stacks and allocator arenas, almost none of it touched) plus one
// record and a fixed amount. A run that held a 2 GB line, or a record twice, fails under it.
constexpr rlim_t kAddressLimit = (224u << 20) + kMaxRecordSize + (96u << 20);
// The resident memory a run may reach: one record and a fixed amount (idle, the program holds
// about 20 MB). AddressSanitizer keeps freed blocks aside and adds its own, so only the address
// limit holds there.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kResidentLimitKiB = 4l << 20;
#else
constexpr long kResidentLimitKiB = static_cast<long>((kMaxRecordSize + (64u << 20)) >> 10);
#endif

// A read run under the address limit (not under AddressSanitizer, whose shadow memory
// reserves terabytes); its peak resident memory is read while it runs.
Outcome Headless::runBounded(long& peakKiB) {
    QProcess p;
#if !defined(__SANITIZE_ADDRESS__)
    p.setChildProcessModifier([] {
        const rlimit limit{kAddressLimit, kAddressLimit};
        ::setrlimit(RLIMIT_AS, &limit);
    });
#endif
    start(p, {QStringLiteral("--read")});
    peakKiB = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
    while (!p.waitForFinished(20) && std::chrono::steady_clock::now() < deadline)
        peakKiB = std::max(peakKiB, peakResidentKiB(std::to_string(p.processId())));
    EXPECT_EQ(p.state(), QProcess::NotRunning) << "the run did not end";
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
            p.readAllStandardError().toStdString()};
}

// A scripted server lists three small mails and sends a flood of header lines, an HTML text of
// nothing but tags, then a single line of 2 GB, made as it is sent. The run keeps a fixed share
// of each, stores the mails cut (or, should the 2 GB not arrive within the time a 1 KB mail is
// given, reports that mail), and ends.
TEST_F(Headless, AHostileServerCannotPushTheRunPastAFixedBound) {
    EdhostProcess host;
    constexpr std::size_t Piece = 1 << 20;
    constexpr int LinePieces = 2048;   // 2 GB
    LoopbackServer server([&](Peer& p) {
        p.send("+OK ready\r\n");
        for (std::string line = test::ReadPop3Command(p); !line.empty(); line = test::ReadPop3Command(p)) {
            const std::string verb = line.substr(0, 4);
            if (verb == "STAT")
                p.send("+OK 3 3208\r\n");
            else if (verb == "LIST")
                p.send("+OK\r\n1 136\r\n2 2048\r\n3 1024\r\n.\r\n");
            else if (verb == "UIDL")
                p.send("-ERR not offered\r\n");
            else if (line == "RETR 1\r\n") {
                p.send("+OK\r\nFrom: a@example.org\r\nSubject: Kopfflut\r\n");
                std::string lines;
                for (int i = 0; i < 1000; ++i)
                    lines += "X-Flut: " + std::string(990, 'h') + "\r\n";
                for (int i = 0; i < 100; ++i)   // 100 MB of header lines
                    p.send(lines);
                p.send("\r\nText nach der Flut\r\n.\r\n");
            } else if (line == "RETR 2\r\n") {
                p.send("+OK\r\nFrom: a@example.org\r\nSubject: Nur Tags\r\nContent-Type: text/html\r\n\r\n");
                std::string tags;
                for (int i = 0; i < 4000; ++i)
                    tags += "<i><b>x</b></i>";
                for (int i = 0; i < 140; ++i)   // 8 MB, 2.2 million tags
                    p.send(tags + "\r\n");
                p.send(".\r\n");
            } else if (line == "RETR 3\r\n") {
                p.send("+OK\r\nFrom: a@example.org\r\nSubject: Lange Zeile\r\n\r\n");
                const std::string piece(Piece, 'x');
                for (int i = 0; i < LinePieces; ++i)
                    p.send(piece);
                p.send("\r\nEnde\r\n.\r\n");
            } else if (verb == "QUIT") {
                p.send("+OK bye\r\n");
                return;
            } else
                p.send("+OK\r\n");
        }
    });
    writeIni("", server.port());
    long peakKiB = 0;
    const Outcome r = runBounded(peakKiB);
    server.join();
    EXPECT_TRUE(has(r.out, "POP3 Kopfzeilen über 4 MB nicht übernommen")) << r.out.substr(0, 4000);
    const auto stored = hostSubjects(host);
    EXPECT_EQ(stored.count("Kopfflut"), 1u);
    EXPECT_EQ(stored.count("Nur Tags"), 1u);
    if (stored.count("Lange Zeile") == 0)
        EXPECT_TRUE(has(r.out, "Zeitüberschreitung")) << r.out.substr(0, 4000);
    else
        EXPECT_TRUE(has(r.out, "POP3 Zeilen über 1 MB gekürzt")) << r.out.substr(0, 4000);
    EXPECT_LT(peakKiB, kResidentLimitKiB);
}

// A text over the host's record limit, from Dovecot into edhost: stored once, cut to fit, with
// the note; it counts as read, so the next run fetches nothing. The run holds it about once.
TEST_F(Headless, ATextOverTheRecordLimitIsStoredOnceCutWithANote) {
    EdhostProcess host;
    writeIni();
    servers().makeMailbox(0, 1, "text:70M");
    long peakKiB = 0;
    Outcome r = runBounded(peakKiB);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "POP3 Nachricht für die Nachrichtenbasis zu lang, Text gekürzt")) << r.out;
    EXPECT_LT(peakKiB, kResidentLimitKiB);
    ASSERT_EQ(count(host, "EMAIL"), 1);
    const std::string record = host.run({"dump", "EMAIL", "1", "--raw"});
    EXPECT_LE(record.size(), kMaxRecordSize);
    EXPECT_GT(record.size(), kMaxRecordSize - (1u << 20));
    EXPECT_TRUE(has(record.substr(record.size() - 1000), ansi("ist hier gekürzt"))) << record.substr(record.size() - 300);

    r = run({QStringLiteral("--read")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(has(r.out, "POP3 Empfange Mail")) << r.out;
    EXPECT_EQ(count(host, "EMAIL"), 1);
}

// 5,000 parts from Dovecot: half of them empty and unnamed (no file), the named ones in at most
// 100 files, the last of them "rest.eml" with everything that did not get a file of its own.
TEST_F(Headless, FiveThousandPartsMakeAtMostAHundredFilesAndLoseNothing) {
    EdhostProcess host;
    writeIni();
    std::string mail = "From: a@example.org\nSubject: Viele Teile\nMIME-Version: 1.0\n"
                       "Content-Type: multipart/mixed; boundary=p\n\n--p\n\nDer Text.\n";
    for (int i = 0; i < 5000; ++i) {
        if (i % 2 == 0)
            mail += "--p\nContent-Type: application/octet-stream\n\n";
        else
            mail += "--p\nContent-Disposition: attachment; filename=teil.txt\n\n<" + std::to_string(i) + ">\n";
    }
    mail += "--p--\n";
    servers().setMails({mail});
    const auto before = folderFiles();
    const Outcome r = run({QStringLiteral("--read")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "POP3 Mehr als 100 Dateien in der Mail, der Rest steht in \"rest.eml\"")) << r.out;
    EXPECT_EQ(hostSubjects(host), (std::map<std::string, int>{{"Viele Teile", 1}}));
    std::string all;
    int files = 0;
    for (const auto& name : folderFiles()) {
        if (before.count(name) || name.rfind("readmsg.", 0) == 0 || name.rfind("pbridge.", 0) == 0)
            continue;
        ++files;
        std::ifstream in(path(name), std::ios::binary);
        all += std::string(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(files, 100);
    EXPECT_TRUE(std::filesystem::exists(path("rest.eml")));
    for (int i = 1; i < 5000; i += 2)
        ASSERT_TRUE(has(all, "<" + std::to_string(i) + ">")) << "part " << i << " lost";
}

// ---- What the user is told when the connection worked but the server said no --------------

// The first box of a failed run names the cause when the connection itself worked (a refused
// login, a server without STARTTLS, a certificate refused or changed) in the server's own words;
// the general "keine Verbindung ... Internet" box is left to the rest.
TEST_F(Headless, BoxesNameTheRefusalNotTheNetwork) {
    EdhostProcess host;
    MailServers tls;
    tls.start(true);
    const MailServers& plain = servers();
    // Settings with the security lines: POP3 over TLS from the first byte, SMTP with STARTTLS and
    // the login, the SMTP password taken from POP3.
    auto writeSecureIni = [&](int smtpPort, const std::string& password, int pop3Port = 0) {
        std::ofstream(path("pbridge.ini"), std::ios::binary)
            << tls.host() << "\r\n" << smtpPort << "\r\n" << tls.user() << "\r\nme\r\n0\r\n" << tls.host() << "\r\n"
            << (pop3Port ? pop3Port : tls.pop3sPort()) << "\r\n" << tls.user() << "\r\n" << password << "\r\n0\r\n2\r\n1\r\n1\r\n\r\n\r\n";
    };
    auto trust = [&](const std::string& popFingerprint) {
        std::ofstream(path("pbridge.crt"), std::ios::binary)
            << tls.host() << " " << tls.pop3sPort() << " " << popFingerprint << "\n"
            << tls.host() << " " << tls.submissionPort() << " " << tls.fingerprint("server") << "\n";
    };
    const std::string general = "Internet verbunden";

    // A wrong password at the POP3 server, and an SMTP server that offers no STARTTLS.
    writeSecureIni(plain.smtpPort(), "falsch");
    trust(tls.fingerprint("server"));
    Outcome r = run({QStringLiteral("--poll")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "postbridge: Der Server hat Sie nicht autorisiert. ") &&
                has(r.err, "POP3 Server lehnt PASS ab: -ERR ")) << r.err;
    EXPECT_TRUE(has(r.out, "POP3 Server lehnt PASS ab: -ERR ")) << r.out;
    EXPECT_TRUE(has(r.err, "postbridge: Der SMTP-Server 127.0.0.1 bietet keine Verschlüsselung mit STARTTLS an: "
                           "SMTP Server bietet kein STARTTLS an (Antwort auf EHLO: 250")) << r.err;
    EXPECT_FALSE(has(r.err, general)) << r.err;
    EXPECT_TRUE(plain.smtpReceived().empty());

    // The SMTP login refused: the POP3 password is wrong for it too.
    writeSecureIni(tls.submissionPort(), "falsch");
    r = run({QStringLiteral("--send")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "postbridge: Der Server hat Sie nicht autorisiert. ") &&
                has(r.err, "SMTP Server lehnt AUTH ab: 535")) << r.err;
    EXPECT_FALSE(has(r.err, general)) << r.err;

    // A certificate that replaced the trusted one is named as changed, with both fingerprints.
    writeSecureIni(tls.submissionPort(), tls.password());
    const std::string old(64, 'c');
    trust(old);
    r = run({QStringLiteral("--read")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "Das Zertifikat von 127.0.0.1:" + std::to_string(tls.pop3sPort()) + " hat sich geändert")) << r.err;
    EXPECT_TRUE(has(r.err, "Bisher vertraut (SHA-256): CC:CC:")) << r.err;
    std::string now = GroupedFingerprint(tls.fingerprint("server"));
    std::replace(now.begin(), now.end(), '\n', ' ');
    EXPECT_TRUE(has(r.err, "jetzt angeboten (SHA-256): " + now + ".")) << r.err;
    EXPECT_FALSE(has(r.err, general)) << r.err;

    // SSL/TLS chosen for the plain POP3 port: the failed handshake is named, its umlauts whole.
    writeSecureIni(tls.submissionPort(), tls.password(), tls.pop3Port());
    r = run({QStringLiteral("--read")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "Die verschlüsselte Verbindung zum POP3-Server 127.0.0.1 kam nicht zustande")) << r.err;
}

// A refused listing keeps its log line and gains the server's words; no box but the summary.
// (Scripted: no real server refuses a well-formed LIST.)
TEST_F(Headless, ARefusedListingIsLoggedInTheServersWords) {
    EdhostProcess host;
    LoopbackServer server([](Peer& p) {
        p.send("+OK ready\r\n");
        for (std::string line = p.readLine(); !line.empty(); line = p.readLine()) {
            const std::string verb = line.substr(0, 4);
            if (verb == "USER" || verb == "PASS")
                p.send("+OK\r\n");
            else if (verb == "STAT")
                p.send("+OK 1 10\r\n");
            else if (verb == "LIST")
                p.send("-ERR Syntax error\r\n");
            else
                p.send("-ERR unknown command\r\n");
        }
    });
    writeIni("", server.port());
    const Outcome r = run({QStringLiteral("--read")});
    server.join();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.out, "Übertragung bei Initialisierung abgebrochen\n")) << r.out;
    const auto at = r.out.find("Übertragung bei Initialisierung abgebrochen\n");
    const auto next = r.out.find('\n', at) + 1;
    EXPECT_NE(r.out.find("POP3 Server lehnt LIST ab: -ERR Syntax error\n", next), std::string::npos) << r.out;
    // The login went out in the clear: the log says so.
    EXPECT_TRUE(has(r.out, "POP3 Warnung: Das Passwort wurde unverschlüsselt gesendet")) << r.out;
    EXPECT_EQ(r.err, "postbridge: Der Lauf ist fehlgeschlagen (Verbindung, Anmeldung oder Hostprogramm); "
                     "Einzelheiten im Protokoll.\n");
}

TEST_F(Headless, AFolderInUseIsRefused) {
    writeIni();
    // Another program holds the folder.
    const int fd = ::open(path("pbridge.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    Outcome r = run({QStringLiteral("--poll")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "arbeitet schon ein anderes Postbridge")) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    ::close(fd);

    // A lock file planted as a link is never used.
    ASSERT_EQ(::unlink(path("pbridge.lock").c_str()), 0);
    ASSERT_EQ(::symlink("/tmp/elsewhere", path("pbridge.lock").c_str()), 0);
    r = run({QStringLiteral("--poll")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "kann nicht gesperrt werden (pbridge.lock): ")) << r.err;
}

} // namespace
} // namespace pb::test
