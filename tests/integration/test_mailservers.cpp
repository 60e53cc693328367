// The mail server fixture itself: a hand-driven POP3 and SMTP conversation over plain POSIX
// sockets proves that what a test puts into the fixture is what a client meets on the wire,
// and that what a client sends is what the fixture reports.
#include "support/LoopbackServer.h"
#include "support/MailServers.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using pb::test::MailServers;
using namespace std::chrono_literals;

// A blocking line client with a 10 s bound on every read.
class Conn {
public:
    explicit Conn(int port) : fd_(pb::test::connectLoopback(static_cast<std::uint16_t>(port), 10s)) {}
    ~Conn() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void send(const std::string& s) {
        std::size_t done = 0;
        while (done < s.size()) {
            ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }
    // One line with its CRLF; empty when the peer closed or 10 s passed.
    std::string line() {
        for (;;) {
            auto pos = buf_.find("\r\n");
            if (pos != std::string::npos) {
                std::string l = buf_.substr(0, pos + 2);
                buf_.erase(0, pos + 2);
                return l;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                return {};
            char chunk[65536];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return {};
            buf_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    std::string cmd(const std::string& c) {
        send(c + "\r\n");
        return line();
    }
    // A POP3 multi-line answer after its status line, dot-stuffing undone, without the end
    // line.
    std::string multiline() {
        std::string out;
        for (int i = 0; i < 10000000; ++i) {
            std::string l = line();
            if (l.empty() || l == ".\r\n")
                break;
            out += l[0] == '.' ? l.substr(1) : l;
        }
        return out;
    }

private:
    int fd_ = -1;
    std::string buf_;
};

bool starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Running and not a zombie (a daemon re-parented to PID 1 may stay a zombie for a moment).
bool processAlive(int pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return false;
    char buf[512] = {};
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string st(buf, n);
    auto pos = st.rfind(") ");
    return pos != std::string::npos && pos + 2 < st.size() && st[pos + 2] != 'Z' &&
           st[pos + 2] != 'X';
}

Conn pop3Login(const MailServers& s) {
    Conn c(s.pop3Port());
    EXPECT_TRUE(starts(c.line(), "+OK"));
    EXPECT_TRUE(starts(c.cmd("USER " + s.user()), "+OK"));
    EXPECT_TRUE(starts(c.cmd("PASS " + s.password()), "+OK"));
    return c;
}

// Sends each command in turn and expects a reply that starts with its code.
void dialogue(Conn& c, const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [command, code] : steps)
        EXPECT_TRUE(starts(c.cmd(command), code.c_str())) << command;
}

std::vector<std::string> retrAll(Conn& c, int count) {
    std::vector<std::string> out;
    for (int i = 1; i <= count; ++i) {
        EXPECT_TRUE(starts(c.cmd("RETR " + std::to_string(i)), "+OK"));
        out.push_back(c.multiline());
    }
    return out;
}

// --- POP3 -------------------------------------------------------------------------------

TEST(MailServersPop3, ServesAddedMailsInOrderAsCrlfTextWithTheirSizes) {
    MailServers s;
    auto t0 = std::chrono::steady_clock::now();
    s.start();
    std::printf("start-up: %.3f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());

    const std::vector<std::string> raws = {
        "Subject: lf\n\nfirst line\n.starts with a dot\n.\nlast\n",
        "Subject: crlf\r\n\r\nbody\r\n..two dots\r\n",
        "Subject: no final break\n\nbyte \xE4\xF6\xFC and a lone \r in the line",
        "Subject: mixed\r\n\nx\r\r\ny\n",
    };
    for (const auto& r : raws)
        s.addMail(r);
    for (int i = 0; i < 20; ++i)   // enough files that directory order would show
        s.addMail("Subject: n" + std::to_string(i) + "\n\n" + std::string(i * 50, 'x') + "\n");

    Conn c = pop3Login(s);
    std::size_t total = 0;
    std::vector<std::string> expected;
    for (const auto& r : raws)
        expected.push_back(MailServers::asServed(r));
    for (int i = 0; i < 20; ++i)
        expected.push_back(MailServers::asServed("Subject: n" + std::to_string(i) + "\n\n" +
                                                 std::string(i * 50, 'x') + "\n"));
    for (const auto& e : expected)
        total += e.size();
    EXPECT_EQ(c.cmd("STAT"), "+OK 24 " + std::to_string(total) + "\r\n");

    ASSERT_TRUE(starts(c.cmd("LIST"), "+OK"));
    std::string list = c.multiline();
    std::string wanted;
    for (std::size_t i = 0; i < expected.size(); ++i)
        wanted += std::to_string(i + 1) + " " + std::to_string(expected[i].size()) + "\r\n";
    EXPECT_EQ(list, wanted);

    auto got = retrAll(c, 24);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got[0], "Subject: lf\r\n\r\nfirst line\r\n.starts with a dot\r\n.\r\nlast\r\n");
    EXPECT_TRUE(got[2].ends_with("\xE4\xF6\xFC and a lone \r in the line\r\n")) << got[2];
    EXPECT_EQ(got[3], "Subject: mixed\r\n\r\nx\r\ny\r\n");
    EXPECT_EQ(s.pop3Mails(), expected);
    EXPECT_TRUE(starts(c.cmd("QUIT"), "+OK"));
}

TEST(MailServersPop3, DeletionsShowOnlyAfterQuit) {
    MailServers s;
    s.start();
    s.setMails({"Subject: 1\n\na\n", "Subject: 2\n\nb\n", "Subject: 3\n\nc\n"});
    {
        Conn c = pop3Login(s);
        EXPECT_TRUE(starts(c.cmd("DELE 2"), "+OK"));
        // The connection drops without QUIT: nothing is deleted.
    }
    for (int i = 0; i < 500 && s.pop3Count() != 3; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(s.pop3Count(), 3u);
    {
        Conn c = pop3Login(s);
        EXPECT_TRUE(starts(c.cmd("DELE 2"), "+OK"));
        EXPECT_TRUE(starts(c.cmd("QUIT"), "+OK"));
    }
    EXPECT_EQ(s.pop3Count(), 2u);
    EXPECT_EQ(s.pop3Mails(), (std::vector<std::string>{"Subject: 1\r\n\r\na\r\n",
                                                        "Subject: 3\r\n\r\nc\r\n"}));
}

TEST(MailServersPop3, ReplacingTheMailboxRenumbersAndForgetsOldUidls) {
    MailServers s;
    s.start();
    s.setMails({"Subject: old 1\n\n.\n", "Subject: old 2\n\n.\n"});
    std::string oldUidl;
    {
        Conn c = pop3Login(s);
        ASSERT_TRUE(starts(c.cmd("UIDL"), "+OK"));
        oldUidl = c.multiline();
        retrAll(c, 2);   // moves the files and writes the server's index
        EXPECT_TRUE(starts(c.cmd("QUIT"), "+OK"));
    }
    s.setMails({"Subject: new 1\n\n.\n", "Subject: new 2\n\n.\n", "Subject: new 3\n\n.\n"});
    s.addMail("Subject: new 4\n\n.\n");
    Conn c = pop3Login(s);
    EXPECT_TRUE(starts(c.cmd("STAT"), "+OK 4 "));
    ASSERT_TRUE(starts(c.cmd("UIDL"), "+OK"));
    std::string newUidl = c.multiline();
    EXPECT_EQ(oldUidl.find(newUidl.substr(2, newUidl.find("\r\n") - 2)), std::string::npos)
        << "the first new mail got an old mail's UIDL";
    auto got = retrAll(c, 4);
    EXPECT_EQ(got[0], "Subject: new 1\r\n\r\n.\r\n");
    EXPECT_EQ(got[3], "Subject: new 4\r\n\r\n.\r\n");
}

TEST(MailServersPop3, RefusesAWrongPasswordAndTakesAnOwnAccount) {
    MailServers s("point.eins", "pass word");
    s.start();
    {
        Conn c(s.pop3Port());
        c.line();
        EXPECT_TRUE(starts(c.cmd("USER point.eins"), "+OK"));
        EXPECT_TRUE(starts(c.cmd("PASS wrong"), "-ERR"));
    }
    Conn c = pop3Login(s);
    EXPECT_EQ(c.cmd("STAT"), "+OK 0 0\r\n");
}

TEST(MailServersPop3, BenchmarkMailboxIsReproducibleAndListedWithTrueSizes) {
    MailServers s;
    s.start();
    s.makeMailbox(40, 7);
    auto first = s.pop3Mails();
    ASSERT_EQ(first.size(), 40u);
    s.makeMailbox(40, 7);
    EXPECT_EQ(s.pop3Mails(), first);
    s.makeMailbox(3, 8, "300K");
    auto other = s.pop3Mails();
    ASSERT_EQ(other.size(), 4u);
    EXPECT_NE(other[0], first[0]);
    EXPECT_GT(other[3].size(), 300u * 1024 * 4 / 3);

    // The sizes in the file names are what LIST reports; they must match what RETR sends.
    s.makeMailbox(40, 7);
    Conn c = pop3Login(s);
    ASSERT_TRUE(starts(c.cmd("LIST"), "+OK"));
    std::string list = c.multiline(), wanted;
    for (std::size_t i = 0; i < first.size(); ++i)
        wanted += std::to_string(i + 1) + " " + std::to_string(first[i].size()) + "\r\n";
    EXPECT_EQ(list, wanted);
    EXPECT_EQ(retrAll(c, 40), first);
}

// --- SMTP -------------------------------------------------------------------------------

TEST(MailServersSmtp, StoresTheMailAndEnvelopeExactlyAsSent) {
    MailServers s;
    s.start();
    const std::string wire = "From: a@x.test\r\nSubject: t\r\n\r\n..leading dot\r\n"
                             "8 bit: \xE4\xF6\xFC\r\nlast\r\n";
    const std::string sent = "HELO point.local\r\nRSET\r\nMAIL FROM:<a@x.test>\r\n"
                             "RCPT TO:<b@y.test>\r\nRCPT TO:<c@y.test>\r\nDATA\r\n" +
                             wire + ".\r\nQUIT\r\n";
    {
        Conn c(s.smtpPort());
        EXPECT_TRUE(starts(c.line(), "220"));
        dialogue(c, {{"HELO point.local", "250"},
                     {"RSET", "250"},
                     {"MAIL FROM:<a@x.test>", "250"},
                     {"RCPT TO:<b@y.test>", "250"},
                     {"RCPT TO:<c@y.test>", "250"},
                     {"DATA", "354"}});
        c.send(wire + ".\r\n");
        EXPECT_TRUE(starts(c.line(), "250"));
        // Available as soon as the client has its 250.
        auto got = s.smtpReceived();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].helo, "point.local");
        EXPECT_EQ(got[0].mailFrom, "a@x.test");
        EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"b@y.test", "c@y.test"}));
        EXPECT_EQ(got[0].data, "From: a@x.test\r\nSubject: t\r\n\r\n.leading dot\r\n"
                               "8 bit: \xE4\xF6\xFC\r\nlast\r\n");
        EXPECT_TRUE(starts(c.cmd("QUIT"), "221"));
    }
    auto sessions = s.smtpSessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0], sent);

    s.clearSmtp();
    EXPECT_TRUE(s.smtpReceived().empty());
    EXPECT_TRUE(s.smtpSessions().empty());
}

TEST(MailServersSmtp, RefusesOnRequestAndStoresNothingRefused) {
    MailServers s;
    s.start();
    {
        Conn c(s.smtpPort());
        c.line();
        dialogue(c, {{"HELO reject.me", "550"},
                     {"MAIL FROM:<a@x.test>", "503"},   // HELO still missing
                     {"HELO ok", "250"},
                     {"MAIL FROM:<Reject-me@x.test>", "553"},
                     {"MAIL FROM:<defer@x.test>", "451"},
                     {"MAIL FROM:<a@x.test>", "250"},
                     {"RCPT TO:<reject@y.test>", "550"},
                     {"RCPT TO:<defer.later@y.test>", "451"},
                     {"RCPT TO:<datareject@y.test>", "250"},
                     {"DATA", "354"},
                     {"Subject: no\r\n\r\nrefused\r\n.", "554"},
                     // The next mail of the same session gets through.
                     {"MAIL FROM:<a@x.test>", "250"},
                     {"RCPT TO:<b@y.test>", "250"},
                     {"DATA", "354"},
                     {std::string(1001, 'x') + "\r\n.", "500"},
                     {"MAIL FROM:<a@x.test>", "250"},
                     {"RCPT TO:<b@y.test>", "250"},
                     {"DATA", "354"},
                     {"Subject: yes\r\n\r\nok\r\n.", "250"}});
    }
    auto got = s.smtpReceived();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, "Subject: yes\r\n\r\nok\r\n");
    EXPECT_EQ(got[0].rcptTo, std::vector<std::string>{"b@y.test"});
}

// --- Life cycle -------------------------------------------------------------------------

TEST(MailServersLifeCycle, InstancesSideBySideAndGoneAfterDestruction) {
    std::string dirA;
    int popA = 0, smtpA = 0;
    {
        MailServers a, b;
        a.start();
        b.start();
        EXPECT_NE(a.dir(), b.dir());
        EXPECT_NE(a.pop3Port(), b.pop3Port());
        EXPECT_NE(a.smtpPort(), b.smtpPort());
        a.addMail("Subject: only in a\n\n.\n");
        EXPECT_EQ(a.pop3Count(), 1u);
        EXPECT_EQ(b.pop3Count(), 0u);
        Conn c = pop3Login(b);
        EXPECT_EQ(c.cmd("STAT"), "+OK 0 0\r\n");
        dirA = a.dir();
        popA = a.pop3Port();
        smtpA = a.smtpPort();
    }
    EXPECT_FALSE(std::filesystem::exists(dirA));
    EXPECT_FALSE(Conn(popA).ok());
    EXPECT_FALSE(Conn(smtpA).ok());
}

// Tests that share one pair of servers (the test run's) must not meet each other's mail.
TEST(MailServersLifeCycle, JoinedAccountsShareTheServersButNotTheirMail) {
    MailServers shared;
    shared.start();
    std::string homeA;
    {
        MailServers a, b;
        ASSERT_TRUE(a.join(shared.dir()));
        ASSERT_TRUE(b.join(shared.dir()));
        EXPECT_NE(a.user(), b.user());
        EXPECT_EQ(a.pop3Port(), shared.pop3Port());
        EXPECT_NE(a.smtpPort(), b.smtpPort());
        const std::string mail = "Subject: only for a\n\nhello\n";
        a.addMail(mail);
        {
            Conn c = pop3Login(a);
            EXPECT_EQ(c.cmd("STAT"), "+OK 1 " + std::to_string(MailServers::asServed(mail).size()) + "\r\n");
        }
        {
            Conn c = pop3Login(b);
            EXPECT_EQ(c.cmd("STAT"), "+OK 0 0\r\n");
        }
        Conn c(b.smtpPort());
        EXPECT_TRUE(starts(c.line(), "220"));
        dialogue(c, {{"HELO b.local", "250"}, {"MAIL FROM:<x@y.test>", "250"},
                     {"RCPT TO:<z@y.test>", "250"}, {"DATA", "354"}, {"only for b\r\n.", "250"}});
        EXPECT_EQ(b.smtpReceived().size(), 1u);
        EXPECT_EQ(b.smtpSessions().size(), 1u);
        EXPECT_TRUE(a.smtpReceived().empty());
        EXPECT_TRUE(a.smtpSessions().empty());
        EXPECT_TRUE(shared.smtpReceived().empty());
        homeA = a.pop3Maildir();
    }
    // Gone with its account; the servers still serve the others.
    EXPECT_FALSE(std::filesystem::exists(homeA));
    Conn c = pop3Login(shared);
    EXPECT_EQ(c.cmd("STAT"), "+OK 0 0\r\n");
    MailServers none;
    EXPECT_FALSE(none.join(shared.dir() + "/none"));
}

TEST(MailServersLifeCycle, ServersOfADeadOwnerCleanUpByThemselves) {
    // An owner process that ends without stopping its servers, like a crashed test.
    pid_t owner = -1;
    const char* argv[] = {"/bin/sleep", "60", nullptr};
    ASSERT_EQ(posix_spawn(&owner, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
    const std::string dir = pb::test::makeTempDir("pbms");
    ASSERT_FALSE(dir.empty());
    std::string cmd = std::string(PB_SOURCE_DIR) + "/scripts/start-servers --random-ports --owner " +
                      std::to_string(owner) + " --cleanup " + dir + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(std::filesystem::exists(dir + "/ports.env"));
    std::FILE* f = std::fopen((dir + "/run/dovecot/master.pid").c_str(), "r");
    ASSERT_NE(f, nullptr);
    int dovecot = 0;
    ASSERT_EQ(std::fscanf(f, "%d", &dovecot), 1);
    std::fclose(f);
    kill(owner, SIGKILL);
    int status = 0;
    waitpid(owner, &status, 0);

    for (int i = 0; i < 2000 && std::filesystem::exists(dir); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(std::filesystem::exists(dir)) << "servers of a dead owner left " << dir;
    EXPECT_FALSE(processAlive(dovecot)) << "Dovecot of a dead owner still runs";
    if (std::filesystem::exists(dir)) {
        EXPECT_EQ(std::system((std::string(PB_SOURCE_DIR) + "/scripts/stop-servers " + dir).c_str()), 0);
        std::filesystem::remove_all(dir);
    }
}

} // namespace
