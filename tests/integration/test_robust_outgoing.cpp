// Faults during a sending run: the SMTP line drops after each step of the dialogue, the user
// presses "Abbrechen", the host is killed. A message is marked sent only once a server accepted
// it; after the fault the next run sends what was left, so that in the end every message
// reached a server exactly once.
#include "mail/PB_addressbook.h"
#include "support/EdhostProcess.h"
#include "support/LoopbackServer.h"
#include "support/StrictServers.h"
#include "support/MailRunFixture.h"

#include <QToolButton>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>

namespace pb {
namespace {

using test::EdhostProcess;
using test::LoopbackServer;
using test::Peer;
using test::writeBytes;

constexpr int kMessages = 2;

std::string subjectOf(int k) { return "Nachricht-" + std::to_string(k); }

std::string subjectIn(const std::string& mail) {
    const auto at = mail.find("Subject: ");
    return at == std::string::npos ? "" : mail.substr(at + 9, mail.find('\r', at) - at - 9);
}

// An SMTP server that takes part in the dialogue like any other, but ends the connection when
// the client's line number `cutAt` (1 = the first line it sends) arrives, without an answer.
// It keeps the subjects of the mails it accepted with 250.
class DroppingSmtp {
public:
    explicit DroppingSmtp(int cutAt)
        : server_([this, cutAt](Peer& p) { session(p, cutAt); }) {}
    std::uint16_t port() const { return server_.port(); }
    std::vector<std::string> accepted() {
        server_.join();
        return accepted_;
    }
    // The number of each line that is not inside a mail's text, and of each mail's first line.
    std::vector<int> steps() {
        server_.join();
        return steps_;
    }

private:
    void session(Peer& p, int cutAt) {
        p.send("220 fake ESMTP\r\n");
        bool inData = false;
        std::string mail;
        for (;;) {
            // Commands as a strict server takes them (a line off the grammar is refused at once);
            // the mail text line by line.
            const std::string line = inData ? p.readLine() : test::ReadSmtpCommand(p);
            if (line.empty())
                return;
            if (++lines_ == cutAt) {
                p.close();
                return;
            }
            if (!inData || mail.empty() || line == ".\r\n")
                steps_.push_back(lines_);
            if (inData) {
                if (line == ".\r\n") {
                    inData = false;
                    accepted_.push_back(subjectIn(mail));
                    p.send("250 stored\r\n");
                } else {
                    mail += line;
                }
                continue;
            }
            const std::string verb = line.substr(0, 4);
            if (verb == "DATA") {
                inData = true;
                mail.clear();
                p.send("354 go ahead\r\n");
            } else if (verb == "QUIT") {
                p.send("221 bye\r\n");
                p.close();
                return;
            } else {
                p.send("250 ok\r\n");
            }
        }
    }

    std::vector<std::string> accepted_;
    std::vector<int> steps_;
    int lines_ = 0;
    LoopbackServer server_;
};

class RobustOutgoing : public test::MailRunFixture {
protected:
    // Three outgoing messages in a fresh host's "EMAIL" (the window creates the area).
    void writeMessages(EdhostProcess& host) {
        SaveAddressBook({{"Erika Mustermann", "erika@example.org"}});
        startWindow(servers().smtpPort());
        for (int k = 1; k <= kMessages; ++k) {
            writeBytes("message.txt", "To: Erika Mustermann\n\nHallo Erika,\ndies ist " + subjectOf(k) +
                                          ".\nZweite Zeile.\n.Eine Zeile mit Punkt.\n");
            int code = -1;
            host.run({"write", "EMAIL", "--from", "Max Punkt", "--to", "Erika Mustermann", "--subject", subjectOf(k),
                      "--text-file", path("message.txt")},
                     &code);
            ASSERT_EQ(code, 0);
        }
        servers().clearSmtp();
        test::boxes().reset();
    }

    Tmain& startWindow(int smtpPort) {
        Tmain& w = MailRunFixture::startWindow();
        w.Settings.SMTPPort = smtpPort;
        return w;
    }

    // The subjects of the mails the real SMTP server accepted; the server starts empty again.
    std::vector<std::string> takeAccepted() {
        std::vector<std::string> accepted;
        for (const auto& m : servers().smtpReceived())
            accepted.push_back(subjectIn(m.data));
        servers().clearSmtp();
        return accepted;
    }

    // A run through the suite's SMTP server in a fresh window, with `atMessage` done when
    // message k starts to go out; the run ends idle.
    void sendActingAt(int k, const std::function<void(Tmain&)>& atMessage) {
        Tmain& w = startWindow(servers().smtpPort());
        int started = 0;
        w.SMTP_Service->OnSendStart = [&](QObject*) {
            if (++started == k)
                atMessage(w);
        };
        w.BitBtn3->click();
        EXPECT_EQ(w.RunState, TRunState::Idle);
    }

    static bool markedSent(EdhostProcess& host, int k) {
        return host.run({"flags", "EMAIL", std::to_string(k)}) == "0x0080\n";
    }

    // Marks only what a server accepted; the next run against the real server sends the rest,
    // so that every message arrived once in all.
    void nextRunSendsTheRest(EdhostProcess& host, const std::vector<std::string>& acceptedBefore,
                             const std::string& fault, int mayBeDoubled = 0) {
        SCOPED_TRACE(fault);
        std::map<std::string, int> arrived;
        for (const auto& s : acceptedBefore)
            ++arrived[s];
        for (int k = 1; k <= kMessages; ++k) {
            if (markedSent(host, k)) {
                EXPECT_EQ(arrived[subjectOf(k)], 1) << subjectOf(k) << " marked sent, not accepted";
            }
        }
        startWindow(servers().smtpPort()).BitBtn3->click();
        for (const auto& m : servers().smtpReceived())
            ++arrived[subjectIn(m.data)];
        for (int k = 1; k <= kMessages; ++k) {
            EXPECT_TRUE(markedSent(host, k)) << subjectOf(k);
            if (k == mayBeDoubled) {
                EXPECT_GE(arrived[subjectOf(k)], 1) << subjectOf(k);
            } else {
                EXPECT_EQ(arrived[subjectOf(k)], 1) << subjectOf(k);
            }
        }
    }
};

// The line drops when the server receives each command, the first line of each mail text, or
// the end of a mail (before its answer).
TEST_F(RobustOutgoing, DroppedLineAtEachStepOfTheDialogue) {
    std::vector<int> steps;
    {
        EdhostProcess host;
        writeMessages(host);
        DroppingSmtp fake(0);
        startWindow(fake.port()).BitBtn3->click();
        EXPECT_EQ(fake.accepted().size(), static_cast<std::size_t>(kMessages));
        steps = fake.steps();
        ASSERT_GT(steps.size(), 5u * kMessages);
    }
    for (int cut : steps) {
        EdhostProcess host;
        writeMessages(host);
        DroppingSmtp fake(cut);
        startWindow(fake.port()).BitBtn3->click();
        nextRunSendsTheRest(host, fake.accepted(), "cut at client line " + std::to_string(cut));
    }
}

TEST_F(RobustOutgoing, CancelAtEachMessage) {
    for (int k = 1; k <= kMessages; ++k) {
        EdhostProcess host;
        writeMessages(host);
        sendActingAt(k, [](Tmain& w) { w.BitBtn7->click(); });
        const std::vector<std::string> accepted = takeAccepted();
        nextRunSendsTheRest(host, accepted, "cancel at message " + std::to_string(k));
    }
}

// The host dies while message k goes out: the message is on its way and cannot be marked, so
// it may go out once more with the next run; every other message arrives exactly once, and
// nothing is marked that the server did not accept.
TEST_F(RobustOutgoing, HostKilledWhileSending) {
    for (int k = 1; k <= kMessages; ++k) {
        EdhostProcess host;
        writeMessages(host);
        sendActingAt(k, [&host](Tmain&) { host.kill(); });
        ASSERT_TRUE(host.start());
        const std::vector<std::string> accepted = takeAccepted();
        nextRunSendsTheRest(host, accepted, "host killed at message " + std::to_string(k), k);
    }
}

// The host answers one command of the run with a size or status that does not fit: a list or
// message block that is not there or smaller than said, a status that means nothing. The run
// ends with the error in a box, having sent and marked nothing it could not read, and the next
// run sends every message once.
TEST_F(RobustOutgoing, HostAnswersWithWrongBlockSizesOrGarbage) {
    struct Fault {
        std::uint32_t command;
        std::string answer;
        std::string box;   // the error shown, empty for none
    };
    const std::vector<Fault> faults = {
        {edapi::MsgList, "3", "Parameter passing failed!"},
        {edapi::MsgList, "5000000", "Parameter passing failed!"},
        {edapi::GetMsg, "7", "Command failed"},
        {edapi::GetMsg, "5000000", "Command failed"},
        // Asked first for number 0, where this host has no message: a garbage answer there
        // passes for flags of a message that is not outgoing.
        {edapi::GetMsgFlags, "987654", ""},
        {edapi::SetMsgFlags, "987654", "Unknown Error"}};
    for (const Fault& f : faults) {
        const std::string fault = "command " + std::to_string(f.command) + " answered " + f.answer;
        EdhostProcess host;
        writeMessages(host);
        Tmain& w = startWindow(servers().smtpPort());
        host.run({"fault", "--answer", std::to_string(f.command), f.answer});
        w.BitBtn3->click();
        EXPECT_EQ(w.RunState, TRunState::Idle) << fault;
        EXPECT_EQ(test::boxes().texts(), f.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{f.box})
            << fault;
        test::boxes().reset();
        const std::vector<std::string> accepted = takeAccepted();
        // A refused flag change leaves the message unmarked after the server took it: the
        // next run sends it again, which is the one doubling allowed here.
        nextRunSendsTheRest(host, accepted, fault, f.command == edapi::SetMsgFlags ? 1 : 0);
    }
}

} // namespace
} // namespace pb
