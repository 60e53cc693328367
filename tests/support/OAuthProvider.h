#pragma once
// The OAuth 2.0 provider tests sign in at: tests/support/oauth/provider.js (oauth2-mock-server,
// pinned by its package-lock.json) on 127.0.0.1 with a port the kernel picked. It refuses what
// a real provider refuses (used codes, missing PKCE, revoked or rotated refresh tokens, expired
// or other users' access tokens at introspection), so the mail servers started with its url()
// really check the tokens.
//
//   pb::test::OAuthProvider p;
//   if (auto why = p.start(5); !why.empty()) GTEST_SKIP() << why;   // tokens live 5 s
//   servers.start(true, p.url());
//   p.revoke("test");   p.stats().refresh
//
// browser(): a program that stands in for the user's browser: it asks the provider's
// authorization endpoint and follows the redirect back to the loopback address, the way the
// user's browser would after the user agreed. PB_TEST_BROWSER=forge-state makes it change the
// state on the way back; =ignore makes it do nothing.
#include "support/MailServers.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace pb::test {

class OAuthProvider {
public:
    OAuthProvider();
    ~OAuthProvider();
    OAuthProvider(const OAuthProvider&) = delete;
    OAuthProvider& operator=(const OAuthProvider&) = delete;

    // Starts it ("" once it listens), or says why this machine cannot (no Node.js, the
    // packages not installed and npm unable to install them). Access tokens live `lifetime`
    // seconds; a non-empty `clientSecret` is required at the token endpoint.
    std::string start(int lifetime = 3600, const std::string& clientSecret = {});
    void stop() noexcept;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string authorizeUrl() const { return url() + "/authorize"; }
    std::string tokenUrl() const { return url() + "/token"; }

    void revoke(const std::string& user) { command("revoke " + user); }
    void setLifetime(int seconds) { command("lifetime " + std::to_string(seconds)); }
    // Who signs in when the client names nobody.
    void setUser(const std::string& user) { command("user " + user); }
    // The authorization endpoint stops answering.
    void hold() { command("hold"); }
    // A valid access token for `user`, as a token command would print it.
    std::string mint(const std::string& user) { return command("mint " + user); }

    struct Stats {
        int authorizationCode = 0;   // token requests for a code
        int refresh = 0;             // token requests with a refresh token
        int introspect = 0;
        int refused = 0;
    };
    Stats stats();
    // Every access and refresh token handed out so far.
    std::vector<std::string> issued();

    static std::string browser();

private:
    std::string command(const std::string& line);

    std::unique_ptr<QProcess> process_;
    int port_ = 0;
};

// The provider with the mail servers that ask it about tokens: Dovecot (POP3, its TLS set-up)
// and Postfix submission with Dovecot SASL.
struct OAuthServers {
    // "" when all run; else why this machine cannot run them (nothing is left running then
    // but what did start). Access tokens live `lifetime` seconds.
    std::string start(int lifetime = 3600);
    OAuthProvider provider;
    MailServers pop3;
    InteropServer postfix{"postfix"};
};

// OAuthServers for a whole test suite, whose tests skip when this machine cannot run them:
//   class Tokens : public test::OAuthSuite<> { ... provider().mint("test") ... pop3().pop3Port() };
template <class Base = ::testing::Test, int Lifetime = 3600>
class OAuthSuite : public Base {
protected:
    static void SetUpTestSuite() {
        servers_ = new OAuthServers;
        skip_ = servers_->start(Lifetime);
    }
    static void TearDownTestSuite() {
        delete servers_;
        servers_ = nullptr;
    }
    void SetUp() override {
        Base::SetUp();
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
    }
    static OAuthProvider& provider() { return servers_->provider; }
    static MailServers& pop3() { return servers_->pop3; }
    static InteropServer& postfix() { return servers_->postfix; }

private:
    inline static OAuthServers* servers_ = nullptr;
    inline static std::string skip_;
};

} // namespace pb::test
