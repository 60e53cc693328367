#pragma once
// One real Dovecot and one SMTP sink (MailServers) for a whole test suite: started before its
// first test and stopped after its last, so that the tests only clear the mailboxes.
//
//   class Headless : public test::SuiteServers<> { ... servers().pop3Port() ... };
//   class MailRunFixture : public SuiteServers<MainWindowFixture> { ... };
#include "support/MailServers.h"

#include <gtest/gtest.h>

namespace pb::test {

template <class Base = ::testing::Test>
class SuiteServers : public Base {
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

private:
    inline static MailServers* servers_ = nullptr;
};

} // namespace pb::test
