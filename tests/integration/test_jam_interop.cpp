// The host's "EMAIL" area shared with a FidoNet newsreader gateway: jamnntpd serves the JAM
// base that edhost keeps, on loopback. Mail fetched from Dovecot by "nur lesen" is read over
// NNTP with its sender, recipient, subject, kludges and text; a reply posted over NNTP is sent
// by "nur senden" through the SMTP server and shows as sent afterwards.
#include "support/EdhostProcess.h"
#include "support/LoopbackServer.h"
#include "support/MailRunFixture.h"
#include "support/TempRoot.h"

#include <QToolButton>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pb {
namespace {

using test::EdhostProcess;
using test::MailServers;
using test::writeBytes;

constexpr const char* kJamnntpd = "/usr/sbin/jamnntpd";

// jamnntpd serving one JAM base as the group "EMAIL" to the user tester/secret ("Max Muster").
// It cannot reuse a port, so every instance takes a fresh one.
class Jamnntpd {
public:
    explicit Jamnntpd(const std::string& jamBase) {
        writeBytes(dir_ + "/groups", "EMAIL A 2:240/1234.5 " + jamBase + "\n");
        writeBytes(dir_ + "/allow", "127.0.0.1\n");
        writeBytes(dir_ + "/users", "tester secret * * \"Max Muster\"\n");
        // The read lines edhost's README gives.
        writeBytes(dir_ + "/xlat", "read CP1252 windows-1252\nread LATIN-1 iso-8859-1\nread UTF-8 utf-8\n"
                                   "defaultread LATIN-1\n"
                                   "defaultpost iso-8859-1\npost iso-8859-1 LATIN-1\n"
                                   "postalias us-ascii iso-8859-1\n");
        port_ = test::closedPort();
        pid_ = ::fork();
        if (pid_ == 0) {
            std::string p = std::to_string(port_);
            ::execl(kJamnntpd, kJamnntpd, "-p", p.c_str(), "-g", (dir_ + "/groups").c_str(), "-a",
                    (dir_ + "/allow").c_str(), "-u", (dir_ + "/users").c_str(), "-x",
                    (dir_ + "/xlat").c_str(), "-l", (dir_ + "/log").c_str(), "-noecholog", "-noencode",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // It takes a few hundred milliseconds to listen.
        for (int i = 0; i < 100 && !ready(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Jamnntpd() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 60 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
    }
    bool ready() const {
        int fd = test::connectLoopback(port_);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }
    int port() const { return port_; }

private:
    test::TempDir tmp_{"pb-jamnntpd"};
    std::string dir_ = tmp_.path();
    int port_ = 0;
    pid_t pid_ = -1;
};

// An NNTP session, logged in and in the group "EMAIL".
class Nntp {
public:
    explicit Nntp(int port) : fd_(test::connectLoopback(static_cast<std::uint16_t>(port))) {
        line();
        command("AUTHINFO USER tester");
        command("AUTHINFO PASS secret");
        group_ = command("GROUP EMAIL");
    }
    ~Nntp() {
        if (fd_ >= 0) {
            command("QUIT");
            ::close(fd_);
        }
    }
    const std::string& group() const { return group_; }

    std::string command(const std::string& c) {
        send(c + "\r\n");
        return line();
    }
    // The article's lines (head, empty line, body), dot-stuffing undone; empty when refused.
    std::vector<std::string> article(int n) {
        std::vector<std::string> out;
        if (command("ARTICLE " + std::to_string(n)).rfind("220", 0) != 0)
            return out;
        for (std::string l = line(); l != "." && fd_ >= 0; l = line())
            out.push_back(l.rfind("..", 0) == 0 ? l.substr(1) : l);
        return out;
    }
    std::string post(const std::string& article) {
        if (command("POST").rfind("340", 0) != 0)
            return "POST refused";
        send(article + ".\r\n");
        return line();
    }

private:
    void send(const std::string& s) {
        if (fd_ >= 0 && ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size()))
            fd_ = -1;
    }
    std::string line() {
        std::string l;
        char c;
        while (fd_ >= 0) {
            ssize_t n = ::recv(fd_, &c, 1, 0);
            if (n <= 0) {
                ::close(fd_);
                fd_ = -1;
                break;
            }
            if (c == '\n')
                break;
            if (c != '\r')
                l += c;
        }
        return l;
    }
    int fd_;
    std::string group_;
};

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string headerValue(const std::vector<std::string>& lines, const std::string& name) {
    for (const auto& l : lines) {
        if (l.empty())
            break;
        if (l.rfind(name + ": ", 0) == 0)
            return l.substr(name.size() + 2);
    }
    return "(none)";
}

class JamInterop : public test::MailRunFixture {
protected:
    void SetUp() override {
        MailRunFixture::SetUp();
        if (::access(kJamnntpd, X_OK) != 0)
            GTEST_SKIP() << "jamnntpd is not installed (scripts/setup installs jamnntpd:i386); the "
                            "newsreader interop checks did not run";
        servers().clearMails();
        servers().clearSmtp();
    }

    Tmain& startWindow() {
        Tmain& w = MailRunFixture::startWindow();
        w.Settings.SMTPEmail = "max@example.org";
        w.Settings.SMTPLogin = "point";
        w.Settings.StripInitials = false;
        return w;
    }
};

TEST_F(JamInterop, MailFetchedByNurLesenIsReadOverNntp) {
    EdhostProcess host;
    servers().setMails({
        "From: Anna Beispiel <anna@example.org>\n"
        "To: Max Muster <max@example.org>\n"
        "Subject: Hallo aus dem Netz\n"
        "Date: Fri, 20 Sep 2024 08:01:00 +0200 (CEST)\n"
        "Reply-To: liste@example.org\n"
        "\n"
        "Hallo Max,\n"
        "\n"
        "zweite Zeile.\n",
        "From: bert@example.org\n"
        "To: Max Muster <max@example.org>\n"
        "Subject: Zweite Mail\n"
        "\n"
        "kurz\n",
    });
    Tmain& w = startWindow();
    w.BitBtn2->click();
    ASSERT_NE(host.run({"list", "EMAIL"}).find("Zweite Mail"), std::string::npos);

    Jamnntpd server(host.base() + "/email");
    ASSERT_TRUE(server.ready());
    Nntp nntp(server.port());
    EXPECT_EQ(nntp.group().rfind("211 2 1 2 ", 0), 0u) << nntp.group();

    auto a = nntp.article(1);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(headerValue(a, "Subject"), "Hallo aus dem Netz");
    // A newsreader shows and sorts the mail by the time it was written, in the writer's zone.
    EXPECT_EQ(headerValue(a, "Date"), "Fri, 20 Sep 2024 08:01:00 +0200");
    EXPECT_EQ(headerValue(a, "X-JAM-From"), "Anna Beispiel <0:0/0>");
    EXPECT_EQ(headerValue(a, "X-JAM-To"), "Max Muster <0:0/0>");
    EXPECT_TRUE(has(a, "X-JAM-FTSKLUDGE: REPLYADDR liste@example.org"));
    EXPECT_TRUE(has(a, "X-JAM-FTSKLUDGE: Subject: Hallo aus dem Netz"));
    // Brought in from outside: private netmail, not local, so no tosser sends it on.
    EXPECT_EQ(headerValue(a, "X-JAM-Attributes"), "Private TypeNet");
    auto body = std::find(a.begin(), a.end(), "");
    ASSERT_NE(body, a.end());
    EXPECT_EQ(std::vector<std::string>(body + 1, a.end()),
              (std::vector<std::string>{"From: Anna Beispiel <anna@example.org>",
                                        "Reply-To: liste@example.org", "", "Hallo Max,", "",
                                        "zweite Zeile."}));
    auto b = nntp.article(2);
    EXPECT_EQ(headerValue(b, "Subject"), "Zweite Mail");
    EXPECT_EQ(headerValue(b, "X-JAM-From"), "bert@example.org <0:0/0>");
}

TEST_F(JamInterop, ReplyPostedOverNntpIsSentByNurSendenAndShowsAsSent) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    Jamnntpd server(host.base() + "/email");
    ASSERT_TRUE(server.ready());
    {
        Nntp nntp(server.port());
        EXPECT_EQ(nntp.post("From: Max Muster <max@example.org>\r\n"
                            "Newsgroups: EMAIL\r\n"
                            "Subject: Antwort\r\n"
                            "Content-Type: text/plain; charset=iso-8859-1\r\n"
                            "\r\n"
                            "To: anna@example.org\r\n"
                            "Hallo Anna,\r\n"
                            "danke.\r\n")
                      .substr(0, 3),
                  "240");
    }
    // The running host sees the post, and it waits to be sent.
    EXPECT_NE(host.run({"list", "EMAIL"}).find("Max Muster  ->  anna@example.org  Antwort"),
              std::string::npos);
    EXPECT_EQ(host.run({"flags", "EMAIL", "1"}), "0x0840\n");

    w.BitBtn3->click();

    auto mails = servers().smtpReceived();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"anna@example.org"});
    EXPECT_NE(mails[0].data.find("Subject: Antwort\r\n"), std::string::npos);
    EXPECT_NE(mails[0].data.find("\r\n\r\nHallo Anna,\r\ndanke.\r\n"), std::string::npos) << mails[0].data;
    EXPECT_EQ(mails[0].data.find("MSGID"), std::string::npos);
    EXPECT_EQ(host.run({"flags", "EMAIL", "1"}), "0x0080\n");

    Nntp again(server.port());
    auto a = again.article(1);
    EXPECT_EQ(headerValue(a, "X-JAM-Attributes"), "Local Sent TypeEcho");
    // A second run finds nothing left to send.
    servers().clearSmtp();
    w.BitBtn3->click();
    EXPECT_TRUE(servers().smtpReceived().empty());
}

// A newsreader's view of one article: Python's nntplib fetches it, and its subject and text are
// read in the charset the article declares, as a newsreader does. Prints "charset", "subject"
// and the text lines, UTF-8.
std::string readArticle(int port, int number) {
    static const char* const script = R"(
import sys, warnings
warnings.simplefilter("ignore")
import nntplib, email
with nntplib.NNTP("127.0.0.1", int(sys.argv[1])) as s:
    s.login("tester", "secret", usenetrc=False)
    s.group("EMAIL")
    _, info = s.article(int(sys.argv[2]))
raw = info.lines
cs = email.message_from_bytes(b"\r\n".join(raw)).get_content_charset() or "us-ascii"
end = raw.index(b"")
subject = next(l[9:] for l in raw[:end] if l.startswith(b"Subject: "))
out = [cs, subject.decode(cs)] + [l.decode(cs) for l in raw[end + 1:]]
sys.stdout.buffer.write("\n".join(out).encode("utf-8") + b"\n")
)";
    const std::string file = "article.py";
    writeBytes(file, script);
    std::string out;
    if (FILE* p = ::popen(("python3 " + file + " " + std::to_string(port) + " " + std::to_string(number)).c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// A mail with € „ “ – in its subject and text, fetched into the base: its text is Windows-1252,
// labelled as such, and a newsreader shows the characters right.
TEST_F(JamInterop, Windows1252TextReadsRightOverNntp) {
    EdhostProcess host;
    servers().setMails({
        "From: =?utf-8?q?J=C3=BCrgen?= <j@example.org>\n"
        "To: Max Muster <max@example.org>\n"
        "Subject: =?utf-8?q?5_=E2=82=AC_=E2=80=93_=E2=80=9EZitat=E2=80=9C?=\n"
        "MIME-Version: 1.0\n"
        "Content-Type: text/plain; charset=utf-8\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "Das kostet 5 =E2=82=AC =E2=80=93 =E2=80=9Egenau=E2=80=9C so.\n",
    });
    Tmain& w = startWindow();
    w.BitBtn2->click();
    ASSERT_NE(host.run({"list", "EMAIL"}).find("Zitat"), std::string::npos);

    Jamnntpd server(host.base() + "/email");
    ASSERT_TRUE(server.ready());
    {
        Nntp nntp(server.port());
        EXPECT_TRUE(has(nntp.article(1), "X-JAM-FTSKLUDGE: CHRS: CP1252 2"));
    }
    EXPECT_EQ(readArticle(server.port(), 1),
              "windows-1252\n"
              "5 € – „Zitat“\n"
              "From: Jürgen <j@example.org>\n"
              "\n"
              "Das kostet 5 € – „genau“ so.\n");
}

} // namespace
} // namespace pb
