// Hostile input for a retrieval run: malformed mails from a real Dovecot, a server that ends a
// mail without its end line, and a host that answers a store with garbage. The run ends with
// clear log lines, writes no file outside the program's folder, keeps its memory bounded, and
// the mails that can be stored are stored, once.
#include "support/EdhostProcess.h"
#include "support/LoopbackServer.h"
#include "support/StrictServers.h"
#include "support/MailRunFixture.h"
#include "support/PeakMemory.h"

#include "host/EDAPICommon.h"

#include <QDir>
#include <QTemporaryDir>
#include <QToolButton>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace pb {
namespace {

namespace fs = std::filesystem;
using test::EdhostProcess;
using test::hostSubjects;
using test::LoopbackServer;
using test::Peer;
using test::peakResidentKiB;

// Lowers the peak figure to what the process holds now, so a later peak is this test's own.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::string attachment(const std::string& name) {
    return "--b\nContent-Type: application/octet-stream; name=\"" + name +
           "\"\nContent-Transfer-Encoding: base64\n\nQUJD\n";
}

class RobustHostile : public test::MailRunFixture {
protected:
    Tmain& startWindow(int port) {
        Tmain& w = MailRunFixture::startWindow();
        w.Settings.POP3Port = port;
        return w;
    }
};

TEST_F(RobustHostile, MalformedMailsEndInLogLinesAndStayInTheFolder) {
    EdhostProcess host;
    // The program's folder lies two levels below a folder of the test's own, so a name that
    // climbs out of it is seen.
    QTemporaryDir outer;
    ASSERT_TRUE(outer.isValid());
    const fs::path top = outer.path().toStdString();
    const fs::path folder = top / "a" / "b" / "run";
    fs::create_directories(folder);
    const QString oldDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(folder.string())));
    const std::string escape = "pb-escape-" + std::to_string(::getpid()) + ".txt";

    std::string deep = "From: a@example.org\nSubject: Tief\nContent-Type: multipart/mixed; boundary=\"n0\"\n\n";
    // Every level is an unnamed part that takes the name before it with "_1" added.
    for (int i = 0; i < 400; ++i)
        deep += "--n" + std::to_string(i) + "\nContent-Type: multipart/mixed; boundary=\"n" + std::to_string(i + 1) +
                "\"\n\n";
    deep += "--n400\nContent-Type: text/plain\n\ninnen\n";
    std::string manyHeaders = "From: a@example.org\nSubject: Kopfzeilen\n";
    for (int i = 0; i < 10000; ++i)
        manyHeaders += "X-Zeile-" + std::to_string(i) + ": " + std::string(40, 'h') + "\n";
    manyHeaders += "\nText\n";

    servers().setMails({
        "From: a@example.org\nSubject: Ohne-Ende-des-Kopfes\nX-Noch: mehr",
        "From: a@example.org\nSubject: Lange-Zeile\n\n" + std::string(1 << 20, 'x') + "\nEnde\n",
        "From: a@example.org\nSubject: " + std::string(1 << 20, 'S') + "\n\nText\n",
        std::string("From: a@example.org\nSubject: Nullbytes\n\nvor\0nach\0\0Ende\n", 45),
        deep,
        manyHeaders,
        "From: a@example.org\nSubject: Namen\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n" +
            attachment("../../" + escape) + attachment("../../../../../../../../../tmp/" + escape) +
            attachment("/tmp/" + escape) + attachment("..\\..\\" + escape) + attachment("") + attachment("..") +
            attachment(std::string(300, 'n') + ".txt") +
            "--b--\n",
        "From: a@example.org\nSubject: Zuletzt\n\nEin gewoehnlicher Brief.\n",
    });

    resetPeak();
    const long before = peakResidentKiB();
    std::string log;
    {
        Tmain& w = startWindow(servers().pop3Port());
        w.BitBtn2->click();
        EXPECT_EQ(w.RunState, TRunState::Idle);
        EXPECT_TRUE(w.BitBtn2->isEnabled());
        for (const std::string& line : logTexts())
            log += line.substr(0, 200) + "\n";
    }
    const long grown = peakResidentKiB() - before;
    // A few copies of the 1 MB mails at most, not a copy per header line or nesting level.
    // (AddressSanitizer keeps freed blocks aside for a while, which multiplies the figure.)
#if defined(__SANITIZE_ADDRESS__)
    constexpr long limitKiB = 256 * 1024;
#else
    constexpr long limitKiB = 64 * 1024;
#endif
    EXPECT_LT(grown, limitKiB) << "peak memory grew by " << grown << " KiB";

    const auto stored = hostSubjects(host);
    EXPECT_EQ(stored.count("Zuletzt"), 1u) << "the run did not reach the ordinary mail after the hostile ones\n" << log;
    for (const auto& [subject, n] : stored)
        EXPECT_EQ(n, 1) << subject.substr(0, 40);

    // Every file the run wrote is inside the program's folder.
    for (const auto& e : fs::recursive_directory_iterator(top)) {
        if (e.is_regular_file()) {
            EXPECT_EQ(e.path().parent_path(), folder) << e.path();
        }
    }
    EXPECT_FALSE(fs::exists(fs::path("/tmp") / escape));
    fs::remove(fs::path("/tmp") / escape);

    // A second run finds nothing new and stores nothing twice.
    {
        Tmain& w = startWindow(servers().pop3Port());
        w.BitBtn2->click();
    }
    EXPECT_EQ(hostSubjects(host), stored);
    QDir::setCurrent(oldDir);
}

// The server sends part of a mail, then closes without the end line.
TEST_F(RobustHostile, MailWithoutEndLineBeforeTheClose) {
    EdhostProcess host;
    LoopbackServer server([](Peer& p) {
        p.send("+OK ready\r\n");
        for (std::string line = test::ReadPop3Command(p); !line.empty(); line = test::ReadPop3Command(p)) {
            const std::string verb = line.substr(0, 4);
            if (verb == "STAT")
                p.send("+OK 2 200\r\n");
            else if (verb == "LIST")
                p.send("+OK\r\n1 100\r\n2 100\r\n.\r\n");
            else if (verb == "UIDL")
                p.send("-ERR not offered\r\n");
            else if (verb == "RETR") {
                p.send("+OK 100 octets\r\nFrom: a@example.org\r\nSubject: Halb\r\n\r\nDer Anfang und dann");
                p.close();
                return;
            } else
                p.send("+OK\r\n");
        }
    });
    Tmain& w = startWindow(server.port());
    w.BitBtn2->click();
    server.join();
    const auto log = logTexts();
    EXPECT_NE(std::find(log.begin(), log.end(), "POP3 Übetragungsfehler"), log.end());
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_TRUE(w.BitBtn2->isEnabled());
    EXPECT_TRUE(hostSubjects(host).empty()) << "a mail cut short was stored";
}

// A mail count from STAT that is out of range or disagrees with the listing: the run goes by
// the listing and fetches every listed mail, once.
TEST_F(RobustHostile, StatCountOutOfRangeTheListingDecides) {
    for (const std::string count : {"2147483648", "-1", "7"}) {
        SCOPED_TRACE(count);
        EdhostProcess host;
        fs::remove("readmsg.lst");
        LoopbackServer server([count](Peer& p) {
            p.send("+OK ready\r\n");
            for (std::string line = test::ReadPop3Command(p); !line.empty(); line = test::ReadPop3Command(p)) {
                const std::string verb = line.substr(0, 4);
                if (verb == "STAT")
                    p.send("+OK " + count + " 120\r\n");
                else if (verb == "LIST")
                    p.send("+OK\r\n1 60\r\n2 60\r\n.\r\n");
                else if (verb == "UIDL")
                    p.send("-ERR not offered\r\n");
                else if (verb == "RETR")
                    p.send("+OK\r\nFrom: a@example.org\r\nSubject: Brief " + line.substr(5, 1) + "\r\n\r\nText\r\n.\r\n");
                else
                    p.send("+OK\r\n");
            }
        });
        startWindow(server.port()).BitBtn2->click();
        server.join();
        EXPECT_EQ(hostSubjects(host), (std::map<std::string, int>{{"Brief 1", 1}, {"Brief 2", 1}}));
    }
}

// The host answers the store of the second mail with a status that means nothing: the run
// says so in the log, and that mail comes in with the next run, once.
TEST_F(RobustHostile, GarbageStoreAnswerFromTheHost) {
    EdhostProcess host;
    servers().setMails({"From: a@example.org\nSubject: Eins\n\nx\n", "From: a@example.org\nSubject: Zwei\n\nx\n",
                        "From: a@example.org\nSubject: Drei\n\nx\n"});
    Tmain& w = startWindow(servers().pop3Port());
    int started = 0;
    w.POP3_Service->OnRetrieveStart = [&](QObject*) {
        if (++started == 2)
            host.run({"fault", "--answer", std::to_string(edapi::StoreNewMsg), "987654"});
    };
    w.BitBtn2->click();
    const auto log = logTexts();
    EXPECT_NE(std::find(log.begin(), log.end(), "POP3 Übetragungsfehler"), log.end());
    EXPECT_EQ(hostSubjects(host), (std::map<std::string, int>{{"Drei", 1}, {"Eins", 1}}));

    w.POP3_Service->OnRetrieveStart = nullptr;
    w.BitBtn2->click();
    EXPECT_EQ(hostSubjects(host), (std::map<std::string, int>{{"Drei", 1}, {"Eins", 1}, {"Zwei", 1}}));
}

} // namespace
} // namespace pb
