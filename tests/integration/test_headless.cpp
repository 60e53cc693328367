// postbridge --poll / --read / --send as a scheduler runs it: the real program, no display,
// against Dovecot, the SMTP sink and edhost, judged by its exit status, its output and what
// arrived in the host and at the servers.
#include "support/EdhostProcess.h"
#include "support/MailRunFixture.h"
#include "support/MailServers.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace pb::test {
namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

class Headless : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        servers_ = new MailServers;
        servers_->start();
    }
    static void TearDownTestSuite() {
        delete servers_;
        servers_ = nullptr;
    }
    static MailServers& servers() { return *servers_; }

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        servers().clearMails();
        servers().clearSmtp();
    }

    std::string path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }

    void writeIni(const std::string& password = "") {
        const MailServers& s = servers();
        std::ofstream(path("pbridge.ini"), std::ios::binary)
            << s.host() << "\r\n" << s.smtpPort() << "\r\nme@example.org\r\nme\r\n0\r\n"
            << s.host() << "\r\n" << s.pop3Port() << "\r\n" << s.user() << "\r\n"
            << (password.empty() ? s.password() : password) << "\r\n0\r\n";
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
    inline static MailServers* servers_ = nullptr;
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
    Outcome r = run({QStringLiteral("--poll"), QStringLiteral("--send")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "postbridge: nur eine von --poll, --read und --send")) << r.err;
    r = run({QStringLiteral("--poll")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "keine pbridge.ini")) << r.err;

    // No host: 2, and the message names the channel folder it looked in.
    writeIni();
    const QString nobody = QStringLiteral("pbtest-headless-nohost-%1").arg(::getpid());
    r = run({QStringLiteral("--poll")}, nobody);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "Kein Hostprogramm erreichbar im Kanalordner ") && has(r.err, nobody.toStdString()))
        << r.err;

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
    EXPECT_TRUE(has(r.err, "kann nicht für Postbridge gesperrt werden")) << r.err;
}

} // namespace
} // namespace pb::test
