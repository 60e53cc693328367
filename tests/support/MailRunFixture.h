#pragma once
// A main window fixture for the mail runs end to end: one real Dovecot and one SMTP sink
// (SuiteServers) for the whole suite, and a window started afresh against the test's host and
// pointed at those servers. Suites that need more (another port, a sender address, their own
// recipient prompt) hide startWindow() and build on MailRunFixture::startWindow().
#include "support/EdhostProcess.h"
#include "support/HostRecords.h"
#include "support/MailServers.h"
#include "support/MainWindowFixture.h"
#include "support/SuiteServers.h"

#include "net/Pop3Client.h"

#include <string>
#include <vector>

namespace pb::test {

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

class MailRunFixture : public SuiteServers<MainWindowFixture> {
protected:
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
};

} // namespace pb::test
