#pragma once
// A main window fixture for the mail runs end to end: one real Dovecot and one SMTP sink
// (MailServers) for the whole suite, and a window started afresh against the test's host and
// pointed at those servers. Suites that need more (another port, a sender address, their own
// recipient prompt) hide startWindow() and build on MailRunFixture::startWindow().
#include "support/EdhostProcess.h"
#include "support/MailServers.h"
#include "support/MainWindowFixture.h"

#include "net/Pop3Client.h"

#include <map>
#include <sstream>
#include <string>

namespace pb::test {

// How often each subject is in the host's "EMAIL".
inline std::map<std::string, int> hostSubjects(const EdhostProcess& host) {
    std::map<std::string, int> out;
    std::istringstream list(host.run({"list", "EMAIL"}));
    for (std::string line; std::getline(list, line);)
        ++out[line.substr(line.rfind("  ") + 2)];
    return out;
}

// Another client (a phone, a webmail) deletes the given mails in one POP3 session, ended with
// QUIT, so the server moves the later mails down.
inline void deleteByAnotherClient(const MailServers& s, const std::vector<int>& numbers) {
    TPop3Client other;
    other.Host = s.host();
    other.Port = s.pop3Port();
    other.UserID = s.user();
    other.Password = s.password();
    other.TimeOut = 20000;
    other.Connect();
    for (int n : numbers)
        other.DeleteMailMessage(n);
    other.Disconnect();
}

class MailRunFixture : public MainWindowFixture {
protected:
    static void SetUpTestSuite() { startServers(false); }
    // The servers with their TLS set-up (MailServers::start(true)).
    static void startServers(bool tls) {
        servers_ = new MailServers;
        servers_->start(tls);
    }
    static void TearDownTestSuite() {
        delete servers_;
        servers_ = nullptr;
    }
    static MailServers& servers() { return *servers_; }

    // A fresh window (as after a start of the program) after its start-up against the running
    // host, fetching from and sending through the suite's servers.
    Tmain& startWindow(bool deleteFromServer = false) {
        closeMain();
        writeBytes("pbridge.ini", validIni());
        Tmain& w = createMain();
        w.FormActivate();
        EXPECT_TRUE(w.edapi1->Connected());
        w.Settings.POP3Server = servers().host();
        w.Settings.POP3Port = servers().pop3Port();
        w.Settings.POP3User = servers().user();
        w.Settings.POP3Password = servers().password();
        w.Settings.DeleteFromServer = deleteFromServer;
        w.Settings.SMTPServer = servers().host();
        w.Settings.SMTPPort = servers().smtpPort();
        return w;
    }

private:
    inline static MailServers* servers_ = nullptr;
};

} // namespace pb::test
