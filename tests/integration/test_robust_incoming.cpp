// Faults during a retrieval run, at many points of the dialogue: the line to the server drops,
// the host is killed, the user presses "Abbrechen", the disk refuses the attachment. After each
// fault a second run completes, and then every mail of the mailbox is in the host exactly once,
// and with deletion on no mail has left the server without being in the host. Each fault is
// met twice: with the commands pipelined as Dovecot offers (several mails and DELEs in flight)
// and with the client taking the server as one without PIPELINING (one mail ahead at most).
#include "support/CutProxy.h"
#include "support/EdhostProcess.h"
#include "support/MailRunFixture.h"

#include "host/EDAPICommon.h"
#include "platform/MessageLoop.h"

#include <QProgressBar>
#include <QToolButton>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <sys/resource.h>

namespace pb {
namespace {

using test::CutProxy;
using test::EdhostProcess;
using test::hostSubjects;
using test::MailServers;

constexpr int kAttachmentBytes = 48 * 1024;

std::string subjectOf(int k) {
    char s[32];
    std::snprintf(s, sizeof s, "Brief-%02d", k);
    return s;
}

// Six mails: plain, German quoted-printable, one with an attachment in the middle, a longer one.
std::vector<std::string> mailbox() {
    std::vector<std::string> out;
    for (int k = 1; k <= 6; ++k) {
        std::string m = "From: Absender <a" + std::to_string(k) + "@example.org>\nTo: punkt@example.org\nSubject: " +
                        subjectOf(k) + "\n";
        if (k == 2) {
            m += "MIME-Version: 1.0\nContent-Type: text/plain; charset=iso-8859-1\n"
                 "Content-Transfer-Encoding: quoted-printable\n\nGr=FC=DFe aus K=F6ln, sch=F6ne=\n Zeilen.\n";
        } else if (k == 3) {
            m += "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\n"
                 "Anbei.\n--b\nContent-Type: application/octet-stream; name=\"daten.bin\"\n"
                 "Content-Transfer-Encoding: base64\n\n";
            std::string line;
            for (int i = 0; i < kAttachmentBytes / 3; ++i) {
                line += "QUJD";   // "ABC"
                if (line.size() == 76) {
                    m += line + "\n";
                    line.clear();
                }
            }
            m += line + "\n--b--\n";
        } else {
            m += "\n";
            for (int i = 0; i < (k == 5 ? 400 : 3); ++i)
                m += "Zeile " + std::to_string(i) + " des Briefes " + std::to_string(k) + ".\n";
        }
        out.push_back(m);
    }
    return out;
}

std::vector<std::string> serverSubjects(const MailServers& s) {
    std::vector<std::string> out;
    for (const std::string& m : s.pop3Mails()) {
        const auto at = m.find("Subject: ");
        out.push_back(m.substr(at + 9, m.find('\r', at) - at - 9));
    }
    return out;
}

class RobustIncoming : public test::MailRunFixture, public ::testing::WithParamInterface<bool> {
protected:
    // A fresh window (as after a start of the program) for the POP3 server at `port`; without
    // the parameter the server's PIPELINING is not used.
    Tmain& startWindow(int port, bool deleteFromServer) {
        Tmain& w = MailRunFixture::startWindow(deleteFromServer);
        w.Settings.POP3Port = port;
        if (!GetParam()) {
            TPop3Client& pop3 = *w.POP3_Service;
            pop3.OnConnect = [&pop3](QObject*) { pop3.Capabilities.Pipelining = false; };
        }
        return w;
    }

    // The mailbox afresh, no mail known yet.
    void freshMailbox() {
        servers().setMails(mailbox());
        std::filesystem::remove("readmsg.lst");
        std::filesystem::remove("readmsg.uid");
        test::boxes().reset();
    }

    // `fault` happens as the run starts to fetch its k-th mail.
    static void atMail(Tmain& w, int k, std::function<void()> fault) {
        w.POP3_Service->OnRetrieveStart = [started = 0, k, fault = std::move(fault)](QObject*) mutable {
            if (++started == k)
                fault();
        };
    }

    // After the fault: a normal run completes; then every mail is in the host exactly once.
    // (With deletion on, a mail stored by the run that failed stays on the server: the next
    // runs pass over it as known.)
    void secondRunCompletes(EdhostProcess& host, bool deleteFromServer, const std::string& fault) {
        SCOPED_TRACE(fault);
        const auto before = hostSubjects(host);
        const auto onServer = serverSubjects(servers());
        if (deleteFromServer) {
            // Nothing gone from the server that the host has not got.
            for (int k = 1; k <= 6; ++k) {
                if (std::find(onServer.begin(), onServer.end(), subjectOf(k)) == onServer.end()) {
                    EXPECT_EQ(before.count(subjectOf(k)), 1u) << subjectOf(k) << " left the server unstored";
                }
            }
        }
        Tmain& w = startWindow(servers().pop3Port(), deleteFromServer);
        w.BitBtn2->click();
        const auto after = hostSubjects(host);
        std::map<std::string, int> expected;
        for (int k = 1; k <= 6; ++k)
            expected[subjectOf(k)] = 1;
        EXPECT_EQ(after, expected);
    }
};

// The line drops after every few hundred bytes the server sent, from before the greeting to
// the middle of the farewell, with and without deletion.
TEST_P(RobustIncoming, DroppedLineAtManyPointsLosesAndDuplicatesNothing) {
    CutProxy proxy(static_cast<std::uint16_t>(servers().pop3Port()));
    for (bool del : {true, false}) {
        long long whole = 0;
        {
            EdhostProcess host;
            freshMailbox();
            proxy.setBudget(-1);
            startWindow(proxy.port(), del).BitBtn2->click();
            whole = proxy.served();
            ASSERT_GT(whole, kAttachmentBytes);
            ASSERT_EQ(hostSubjects(host).size(), 6u);
        }
        // Before the greeting, inside the login, then spread over the mails (the attachment
        // takes the middle), and inside the farewell.
        std::vector<long long> cuts = {0, 30, whole - 1};
        const int spread = del ? 6 : 3;
        for (int i = 1; i <= spread; ++i)
            cuts.push_back(whole * i / (spread + 1));
        for (long long cut : cuts) {
            EdhostProcess host;
            freshMailbox();
            proxy.setBudget(cut);
            startWindow(proxy.port(), del).BitBtn2->click();
            EXPECT_TRUE(proxy.cut()) << cut;
            secondRunCompletes(host, del, "cut after " + std::to_string(cut) + " of " + std::to_string(whole) +
                                              " bytes, deletion " + (del ? "on" : "off"));
        }
    }
}

// The host is killed while the run fetches mail k (before its store), then started again on
// the same base; the program is started again as well.
TEST_P(RobustIncoming, HostKilledAndRestartedAtEachMail) {
    for (int k = 1; k <= 6; ++k) {
        EdhostProcess host;
        freshMailbox();
        Tmain& w = startWindow(servers().pop3Port(), true);
        atMail(w, k, [&] { host.kill(); });
        w.BitBtn2->click();
        EXPECT_EQ(w.RunState, TRunState::Idle);
        ASSERT_TRUE(host.start());
        secondRunCompletes(host, true, "host killed at mail " + std::to_string(k));
    }
}

// "Abbrechen" during the listing, at the start of each mail, and inside the attachment.
TEST_P(RobustIncoming, CancelAtEachStepThenTheNextRunCompletes) {
    for (int point = 0; point <= 7; ++point) {
        EdhostProcess host;
        freshMailbox();
        Tmain& w = startWindow(servers().pop3Port(), true);
        auto list = w.POP3_Service->OnList;
        auto progress = w.POP3_Service->OnRetrieveProgress;
        int started = 0;
        bool clicked = false;
        auto cancel = [&] {
            if (!clicked && w.BitBtn7->isEnabled()) {
                clicked = true;
                w.BitBtn7->click();
            }
        };
        if (point == 0)
            w.POP3_Service->OnList = [&](int msg, int size) {
                list(msg, size);
                if (msg == 2)
                    cancel();
            };
        else if (point <= 6)
            w.POP3_Service->OnRetrieveStart = [&](QObject*) {
                if (++started == point)
                    cancel();
            };
        else
            w.POP3_Service->OnRetrieveProgress = [&](QObject* sender) {
                progress(sender);
                if (w.details1->text().startsWith("Nachricht 3 "))
                    cancel();
            };
        w.BitBtn2->click();
        EXPECT_TRUE(clicked) << point;
        EXPECT_EQ(w.RunState, TRunState::Idle);
        secondRunCompletes(host, true, "cancel at point " + std::to_string(point));
    }
}

// The attachment meets a file size limit (as a full disk): the mail stays on the server and
// comes in whole with the next run; no other mail is lost or doubled.
TEST_P(RobustIncoming, FullDiskForTheAttachment) {
    for (bool del : {true, false}) {
        EdhostProcess host;
        freshMailbox();
        Tmain& w = startWindow(servers().pop3Port(), del);
        rlimit old{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = 16 * 1024;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        w.BitBtn2->click();
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        const auto log = logTexts();
        EXPECT_NE(std::find(log.begin(), log.end(), "POP3 Übetragungsfehler"), log.end());
        EXPECT_EQ(hostSubjects(host).count(subjectOf(3)), 0u);
        secondRunCompletes(host, del, std::string("full disk, deletion ") + (del ? "on" : "off"));
        // The attachment is there once and whole.
        EXPECT_EQ(std::filesystem::file_size("daten.bin"), static_cast<std::uintmax_t>(kAttachmentBytes));
        EXPECT_FALSE(std::filesystem::exists("daten_1.bin"));
        std::filesystem::remove("daten.bin");
    }
}

// The farewell is cut after the server carried out QUIT, in a run where one mail could not be
// stored: the deletions happened, though the program cannot know it. The mail that was not
// stored must still come in with the next run, not be hidden by the numbers of the deleted
// mails it moved down into.
TEST_P(RobustIncoming, FarewellLostAfterARefusedStore) {
    CutProxy proxy(static_cast<std::uint16_t>(servers().pop3Port()));
    long long whole = 0;
    for (int pass = 0; pass < 2; ++pass) {
        EdhostProcess host;
        freshMailbox();
        Tmain& w = startWindow(proxy.port(), true);
        int started = 0;
        w.POP3_Service->OnRetrieveStart = [&](QObject*) {
            if (++started == 2)
                host.run({"fault", "--answer", std::to_string(edapi::StoreNewMsg), "5"});
        };
        proxy.setBudget(pass == 0 ? -1 : whole - 1);
        w.BitBtn2->click();
        if (pass == 0) {
            whole = proxy.served();
            continue;
        }
        EXPECT_TRUE(proxy.cut());
        w.POP3_Service->OnRetrieveStart = nullptr;
        secondRunCompletes(host, true, "farewell cut");
    }
}

// The host dies after writing a mail and before answering for it, while the run has gone on to
// the next mail: the run cannot know whether the mail is in the host. It keeps the mail unread,
// and the next run asks the host when the mail comes again, so the mail is there once; the
// mails stand in "EMAIL" in the server's order.
TEST_P(RobustIncoming, HostDiesBetweenStoringAndAnswering) {
    for (int k : {2, 6}) {
        EdhostProcess host;
        freshMailbox();
        Tmain& w = startWindow(servers().pop3Port(), true);
        atMail(w, k, [&] { host.run({"fault", "--die-after", std::to_string(edapi::StoreNewMsg)}); });
        w.BitBtn2->click();
        EXPECT_EQ(w.RunState, TRunState::Idle);
        EXPECT_TRUE(std::filesystem::exists(kDoubtListFile));
        ASSERT_TRUE(host.start());
        EXPECT_EQ(hostSubjects(host).count(subjectOf(k)), 1u);
        secondRunCompletes(host, true, "host died after storing mail " + std::to_string(k));
        EXPECT_FALSE(std::filesystem::exists(kDoubtListFile));
        std::size_t at = 0;
        const std::string listed = host.run({"list", "EMAIL"});
        for (int m = 1; m <= 6; ++m) {
            const std::size_t found = listed.find(subjectOf(m), at);
            ASSERT_NE(found, std::string::npos) << listed;
            at = found;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, RobustIncoming, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Pipelined" : "OneAhead"; });

} // namespace
} // namespace pb
