// What a kill leaves behind: the real `postbridge --read` against Dovecot and edhost, killed
// with SIGKILL at many points of a fetch (and edhost killed once), then run to its end: every
// mail is in the host exactly once and, with deletion on, gone from the server. Also the mail a
// run keeps dying in, and a listing with malformed lines.
#include "support/EdhostProcess.h"
#include "support/HostRecords.h"
#include "support/LoopbackServer.h"
#include "support/MailServers.h"
#include "support/StrictServers.h"
#include "support/SuiteServers.h"

#include "platform/AnsiText.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace pb::test {
namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class HeadlessKill : public SuiteServers<> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        servers().clearMails();
    }
    std::string path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }

    void writeIni(bool deleteFromServer, int pop3Port = 0) {
        const MailServers& s = servers();
        std::ofstream(path("pbridge.ini"), std::ios::binary)
            << s.host() << "\r\n" << s.smtpPort() << "\r\nme@example.org\r\nme\r\n0\r\n" << s.host() << "\r\n"
            << (pop3Port ? pop3Port : s.pop3Port()) << "\r\n" << s.user() << "\r\n" << s.password() << "\r\n"
            << (deleteFromServer ? 1 : 0) << "\r\n";
    }

    // `postbridge --read` as cron starts it, with the kill hook `kill` when given.
    void start(QProcess& p, const std::string& kill = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PB_TEST_KILL"})
            env.remove(QString::fromLatin1(name));
        if (!kill.empty())
            env.insert(QStringLiteral("PB_TEST_KILL"), QString::fromStdString(kill));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QStringLiteral("/"));
        p.start(QStringLiteral(PB_BIN_DIR "/postbridge"), {QStringLiteral("--read"), QStringLiteral("--dir"), dir_.path()});
        ASSERT_TRUE(p.waitForStarted(10000));
    }
    // Reads the log until `enough` holds for it or the program ended; what came is in `out`.
    template <class Pred> static void readUntil(QProcess& p, std::string& out, Pred enough) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!enough(out) && p.state() == QProcess::Running && std::chrono::steady_clock::now() < deadline) {
            if (p.waitForReadyRead(200))
                out += p.readAllStandardOutput().toStdString();
        }
    }
    std::string runToEnd(const std::string& kill = {}, int* code = nullptr) {
        QProcess p;
        start(p, kill);
        EXPECT_TRUE(p.waitForFinished(120000));
        if (code)
            *code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return p.readAllStandardOutput().toStdString() + p.readAllStandardError().toStdString();
    }

    QTemporaryDir dir_;

private:
};

constexpr int kMails = 1000;

std::string mailNr(int n) {
    return "From: Absender <a@example.org>\nTo: Leser <me@example.org>\nMessage-ID: <" + std::to_string(n) +
           "@kill.test>\nSubject: Nr " + std::to_string(n) + "\n\nText " + std::to_string(n) + "\n";
}

// One kill: a hook point of the program ("stored:N", "deleted:N"), or SIGKILL from here once
// the run has begun `after` more mails (edhost instead of postbridge when `host` is set). Every
// kill falls at least 5 mails after the run's first, so no two kills hit the same mail.
struct Kill {
    std::string hook;
    int after = 0;
    bool host = false;
};

TEST_F(HeadlessKill, KilledAtAnyPointEveryMailArrivesOnceAndDeletionsAreDone) {
    for (const bool deletion : {false, true}) {
        SCOPED_TRACE(deletion ? "deletion on" : "deletion off");
        for (const auto& e : std::filesystem::directory_iterator(dir_.path().toStdString()))
            std::filesystem::remove_all(e.path());
        EdhostProcess host;
        writeIni(deletion);
        std::vector<std::string> mails;
        for (int n = 1; n <= kMails; ++n)
            mails.push_back(mailNr(n));
        servers().setMails(mails);

        std::vector<Kill> plan = deletion ? std::vector<Kill>{{"deleted:25"}, {"stored:60"}, {"", 90}, {"deleted:3"},
                                                              {"", 120}, {"stored:9"}, {"", 40}}
                                          : std::vector<Kill>{{"stored:40"}, {"", 70}, {"", 100, true}, {"stored:5"},
                                                              {"", 150}, {"", 30}, {"", 200}};
        int kills = 0;
        for (const Kill& k : plan) {
            QProcess p;
            start(p, k.hook);
            std::string out;
            if (k.hook.empty()) {
                readUntil(p, out, [&](const std::string& log) { return countOf(log, "POP3 Empfange Mail ") >= k.after; });
                ASSERT_EQ(p.state(), QProcess::Running) << "ended before the kill point\n" << out;
                if (k.host)
                    host.kill();
                else
                    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
            }
            ASSERT_TRUE(p.waitForFinished(120000));
            out += p.readAllStandardOutput().toStdString();
            if (k.host) {
                EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << out;   // it noticed and ended
                ASSERT_TRUE(host.start());
            } else {
                ASSERT_EQ(p.exitStatus(), QProcess::CrashExit) << "not killed at " << k.hook << "\n" << out;
                ++kills;
            }
            // The next run starts at once: the host frees the dead program's area when asked.
        }

        int code = -1;
        const std::string last = runToEnd({}, &code);
        EXPECT_EQ(code, 0) << last;
        const auto stored = hostSubjects(host);
        int lost = 0, duplicated = 0;
        for (int n = 1; n <= kMails; ++n) {
            const auto it = stored.find("Nr " + std::to_string(n));
            const int times = it == stored.end() ? 0 : it->second;
            lost += times == 0;
            duplicated += std::max(times - 1, 0);
        }
        EXPECT_EQ(stored.size(), static_cast<std::size_t>(kMails));
        EXPECT_EQ(lost, 0);
        EXPECT_EQ(duplicated, 0);
        if (deletion) {
            EXPECT_EQ(servers().pop3Count(), 0u);
        }
        std::cout << "[ kills ] deletion " << (deletion ? "on" : "off") << ": " << kMails << " mails, " << kills
                  << " kills of postbridge" << (deletion ? "" : " and 1 of edhost") << ": " << lost << " lost, "
                  << duplicated << " duplicated, " << servers().pop3Count() << " left on the server" << std::endl;
    }
}

// A mail in which two runs died is fetched a third time unparsed into "nachricht.eml" and stored
// as a note with its raw sender and subject; the mails around it arrive as usual, once.
TEST_F(HeadlessKill, AMailTwoRunsDiedInIsKeptUnparsedInAFile) {
    EdhostProcess host;
    writeIni(false);
    const std::string poison = "From: =?utf-8?q?Gef=C3=A4hrlich?= <g@example.org>\nTo: Erika <e@example.org>\n"
                               "Subject: =?utf-8?q?Gift?=\n"
                               "Content-Type: text/html\n\n<div><div><div>\n..Punkt\n";
    servers().setMails({mailNr(1), poison, mailNr(3)});
    int code = 0;
    for (int run = 1; run <= 2; ++run) {
        const std::string out = runToEnd("convert:Gift", &code);
        ASSERT_EQ(code, -1) << "run " << run << " did not die\n" << out;
    }
    const std::string out = runToEnd("convert:Gift", &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_TRUE(has(out, "POP3 Mail 2 wird nicht umgewandelt: zwei Abrufe vorher endeten in ihr")) << out;
    EXPECT_TRUE(has(out, "POP3 Mail 2 unverändert in nachricht.eml gespeichert")) << out;
    const auto stored = hostSubjects(host);
    EXPECT_EQ(stored, (std::map<std::string, int>{{"Nr 1", 1}, {"Nr 3", 1}, {"Gift", 1}}));
    std::ifstream file(path("nachricht.eml"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), MailServers::asServed(poison));
    const std::string record = host.run({"show", "EMAIL", "2"});
    // Its names and subject as any record has them.
    const test::StoredMail note = test::storedMail(host, 2);
    EXPECT_EQ(note.h.FromUserName.str(), "Gef\xE4hrlich");
    EXPECT_EQ(note.h.ToUserName.str(), "Erika");
    EXPECT_TRUE(has(record, "in der Datei nachricht.eml")) << record;
    const std::string flags = host.run({"flags", "EMAIL", "2"});
    EXPECT_EQ(flags.substr(0, flags.find('\n')), "0x2014");

    // Once stored, it is read like any other mail.
    EXPECT_FALSE(has(runToEnd({}, &code), "POP3 Empfange Mail"));
    EXPECT_EQ(hostSubjects(host), stored);
}

// A listing with malformed lines: the mail of a line without a usable number or size is passed
// by, one with an unusable id is known by a substitute; the others are fetched by their listed
// number, and a second run fetches nothing.
TEST_F(HeadlessKill, MalformedListingLinesCostOnlyTheirMail) {
    EdhostProcess host;
    std::vector<std::string> retrieved;
    auto session = [&](Peer& p) {
        p.send("+OK ready\r\n");
        for (std::string line = test::ReadPop3Command(p); !line.empty(); line = test::ReadPop3Command(p)) {
            const std::string verb = line.substr(0, 4);
            if (verb == "STAT")
                p.send("+OK 3 180\r\n");
            else if (verb == "LIST")
                p.send("+OK\r\n1 60\r\n2 x\r\n3 60\r\n.\r\n");
            else if (verb == "UIDL")
                p.send("+OK\r\n1 " + std::string(80, 'i') + "\r\n2 b\r\n0 z\r\n3 c\r\n.\r\n");
            else if (verb == "RETR") {
                retrieved.push_back(line.substr(0, line.size() - 2));
                p.send("+OK\r\nFrom: a@example.org\r\nSubject: Brief " + line.substr(5, 1) + "\r\n\r\nText\r\n.\r\n");
            } else if (verb == "QUIT") {
                p.send("+OK bye\r\n");
                return;
            } else
                p.send("+OK\r\n");
        }
    };
    LoopbackServer server(session, 2);
    writeIni(false, server.port());
    int code = -1;
    const std::string out = runToEnd({}, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_TRUE(has(out, "POP3 Unbrauchbare Zeile der Mailliste übergangen: 2 x")) << out;
    EXPECT_TRUE(has(out, "POP3 Unbrauchbare Kennung von Mail 1, sie gilt als ~")) << out;
    EXPECT_TRUE(has(out, "POP3 Unbrauchbare Zeile der Kennungsliste übergangen: 0 z")) << out;
    EXPECT_EQ(hostSubjects(host), (std::map<std::string, int>{{"Brief 1", 1}, {"Brief 3", 1}}));

    EXPECT_FALSE(has(runToEnd({}, &code), "POP3 Empfange Mail"));
    server.join();
    EXPECT_EQ(retrieved, (std::vector<std::string>{"RETR 1", "RETR 3"}));
    EXPECT_EQ(hostSubjects(host), (std::map<std::string, int>{{"Brief 1", 1}, {"Brief 3", 1}}));
}

// A server that offers PIPELINING drops the connection in the middle of a mail while more RETRs
// are in flight behind it (deletion on): the mails not stored come with the next run, none
// twice, and only stored mails leave the server. The server is strict: it deletes only at QUIT
// and answers every command in the order received.
TEST_F(HeadlessKill, ConnectionCutWithSeveralRetrievalsInFlight) {
    EdhostProcess host;
    constexpr int kCount = 8;
    std::vector<int> box;   // the mailbox: the mails' original numbers, in the server's order
    for (int n = 1; n <= kCount; ++n)
        box.push_back(n);
    int connections = 0;
    int inFlightAtCut = 0;   // RETRs received behind the cut mail before the cut
    auto session = [&](Peer& p) {
        const bool cut = ++connections == 1;
        const std::string capa = "+OK\r\nUIDL\r\nPIPELINING\r\n.\r\n";
        std::set<int> marked;
        int retrieved = 0;
        p.send("+OK ready\r\n");
        for (std::string line = ReadPop3Command(p, capa); !line.empty(); line = ReadPop3Command(p, capa)) {
            const std::string verb = line.substr(0, 4);
            const int n = verb == "RETR" || verb == "DELE" ? std::stoi(line.substr(5)) : 0;
            if (verb == "STAT") {
                p.send("+OK " + std::to_string(box.size()) + " 900\r\n");
            } else if (verb == "LIST" || verb == "UIDL") {
                std::string listing = "+OK\r\n";
                for (std::size_t k = 0; k < box.size(); ++k)
                    listing += std::to_string(k + 1) + (verb == "LIST" ? " 120" : " id" + std::to_string(box[k])) + "\r\n";
                p.send(listing + ".\r\n");
            } else if (verb == "RETR" && cut && ++retrieved == 3) {
                p.send("+OK\r\nFrom: Absender <a@example.org>\r\n");
                for (std::string next = p.readLine(); !next.empty() && inFlightAtCut < 3; next = p.readLine())
                    inFlightAtCut += next.starts_with("RETR ");
                p.close();
                return;
            } else if (verb == "RETR") {
                std::string text = mailNr(box[static_cast<std::size_t>(n - 1)]);
                for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
                    text.replace(at, 1, "\r\n");
                p.send("+OK\r\n" + text + ".\r\n");
            } else if (verb == "DELE") {
                marked.insert(n);
                p.send("+OK\r\n");
            } else if (verb == "QUIT") {
                for (auto k = marked.rbegin(); k != marked.rend(); ++k)
                    box.erase(box.begin() + (*k - 1));
                p.send("+OK bye\r\n");
                return;
            } else {
                p.send("+OK\r\n");
            }
        }
    };
    LoopbackServer server(session, 2);
    writeIni(true, server.port());
    runToEnd();
    EXPECT_GE(inFlightAtCut, 3);
    EXPECT_EQ(box.size(), static_cast<std::size_t>(kCount));   // no QUIT: nothing deleted
    int code = -1;
    const std::string out = runToEnd({}, &code);
    EXPECT_EQ(code, 0) << out;
    server.join();
    std::map<std::string, int> expected;
    for (int n = 1; n <= kCount; ++n)
        expected["Nr " + std::to_string(n)] = 1;
    EXPECT_EQ(hostSubjects(host), expected);
    EXPECT_TRUE(box.empty());
}

} // namespace
} // namespace pb::test
