#pragma once
// One real Dovecot and one SMTP sink (MailServers) for a whole test suite. Under ctest, the
// servers run once for the whole test run (PB_SUITE_SERVERS, see tests/CMakeLists.txt) and the
// suite joins them with an account of its own; run by hand, the suite starts its own before its
// first test and stops them after its last. Either way the tests only clear the mailboxes.
//
//   class Headless : public test::SuiteServers<> { ... servers().pop3Port() ... };
//   class MailRunFixture : public SuiteServers<MainWindowFixture> { ... };
#include "support/MailServers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace pb::test {

template <class Base = ::testing::Test>
class SuiteServers : public Base {
protected:
    static void SetUpTestSuite() { startServers(false); }
    // The servers with their TLS set-up (MailServers::start(true)).
    static void startServers(bool tls) {
        servers_ = new MailServers;
        const char* shared = std::getenv("PB_SUITE_SERVERS");
        if (!shared || !*shared || !servers_->join(std::string(shared) + (tls ? "/tls" : "/plain")))
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
