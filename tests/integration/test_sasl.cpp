// Logging in with an access token against real servers that ask a real OAuth 2.0 provider
// about it: Dovecot's oauth2 passdb for POP3 and Postfix submission with Dovecot SASL for SMTP,
// both asking the test provider (tests/support/oauth) whether a token is active and whose.
#include "net/Pop3Client.h"
#include "net/SmtpClient.h"
#include "support/FileBytes.h"
#include "support/OAuthProvider.h"

#include <gtest/gtest.h>

#include <memory>

namespace pb {
namespace {

class BearerLogin : public test::OAuthSuite<> {
protected:
    // The tokens handed out, in order; each call records whether a fresh one was asked for.
    struct Tokens {
        std::vector<std::string> given;
        std::vector<bool> renewals;
        TBearerTokenEvent event() {
            return [this](bool renew) {
                renewals.push_back(renew);
                return renewals.size() <= given.size() ? given[renewals.size() - 1] : std::string();
            };
        }
    };
    static std::unique_ptr<TPop3Client> client(Tokens& tokens, int port, TSecurity security,
                                             const test::MailServers& server = pop3()) {
        auto c = std::make_unique<TPop3Client>();
        c->Host = server.host();
        c->TrustedFingerprint = server.fingerprint("server");
        c->Port = port;
        c->UserID = server.user();
        c->Security = security;
        c->AuthMethod = TAuthMethod::Bearer;
        c->OnBearerToken = tokens.event();
        c->TimeOut = 10000;
        c->ReportLevel = 10;
        return c;
    }

};

// A good token logs in at once; a refused one (expired, another user's, not a token at all) is
// asked for once more and the fresh one is taken; refused twice, the login fails with the
// server's reason, and the session stayed in step (the final refusal was read, not the
// challenge). The token never reaches Status or the exception.
TEST_F(BearerLogin, Pop3TakesGoodTokensAndRenewsARefusedOneOnce) {
    const std::string good = provider().mint(pop3().user());
    const std::string other = provider().mint("someone-else");
    struct Case {
        const char* name;
        std::vector<std::string> tokens;
        TSecurity security;
        bool loggedIn;
        std::vector<bool> renewals;
    } cases[] = {
        {"good token, STLS", {good}, TSecurity::StartTls, true, {false}},
        {"good token, TLS", {good}, TSecurity::Implicit, true, {false}},
        {"other user's, then good", {other, good}, TSecurity::StartTls, true, {false, true}},
        {"unknown, then good", {"bm90LWEtdG9rZW4", good}, TSecurity::Implicit, true, {false, true}},
        {"refused twice", {other, other}, TSecurity::StartTls, false, {false, true}},
        {"none to be had", {other}, TSecurity::StartTls, false, {false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tokens tokens{c.tokens, {}};
        auto client = BearerLogin::client(tokens, c.security == TSecurity::Implicit ? pop3().pop3sPort() : pop3().pop3Port(), c.security);
        std::string statuses;
        client->OnStatus = [&](QObject*, const std::string& s) { statuses += s + "\n"; };
        std::string failure;
        try {
            client->Connect();
            EXPECT_TRUE(client->Connected());
            client->Disconnect();
        } catch (const std::exception& e) {
            failure = e.what();
            if (c.tokens.size() > 1) {
                const auto* refused = dynamic_cast<const EBearerRefused*>(&e);
                ASSERT_NE(refused, nullptr) << failure;
                EXPECT_EQ(refused->Reply.substr(0, 4), "-ERR");
                EXPECT_EQ(refused->Detail, "invalid_token");
            }
        }
        EXPECT_EQ(failure.empty(), c.loggedIn) << failure;
        EXPECT_EQ(tokens.renewals, c.renewals);
        for (const std::string& t : c.tokens) {
            EXPECT_EQ(statuses.find(t), std::string::npos);
            EXPECT_EQ(failure.find(t), std::string::npos);
        }
    }
}

// Faults around the login: no TLS (nothing connected, no token asked for), a server that offers
// no token login, a server that offers only XOAUTH2, a "token" that would break the exchange.
TEST_F(BearerLogin, Pop3RefusesWhatWouldExposeOrBreakTheToken) {
    test::MailServers noOAuth;
    noOAuth.start(true);
    test::MailServers xoauth2Only;
    xoauth2Only.OAuthMechanisms = "xoauth2";
    xoauth2Only.start(true, provider().url());
    const std::string good = provider().mint(pop3().user());
    struct Case {
        const char* name;
        test::MailServers* server;
        TSecurity security;
        std::string token;
        std::string failure;   // start of the exception text; empty: logged in
        bool asked;
    } cases[] = {
        {"no TLS", &pop3(), TSecurity::None, good, "Token without TLS", false},
        {"no token login offered", &noOAuth, TSecurity::StartTls, good, "No AUTH OAUTHBEARER or XOAUTH2", false},
        {"XOAUTH2 only", &xoauth2Only, TSecurity::StartTls, good, "", true},
        {"line break in the token", &pop3(), TSecurity::StartTls, good + "\r\nDELE 1", "Invalid access token", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tokens tokens{{c.token}, {}};
        auto client = BearerLogin::client(tokens, c.server->pop3Port(), c.security, *c.server);
        std::string failure;
        try {
            client->Connect();
            client->Disconnect();
        } catch (const std::exception& e) {
            failure = e.what();
        }
        EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure) << failure;
        EXPECT_EQ(c.failure.empty(), failure.empty()) << failure;
        EXPECT_EQ(!tokens.renewals.empty(), c.asked);
        EXPECT_FALSE(client->Connected());
    }
    EXPECT_EQ(pop3().pop3Count(), 0u);
}

// SMTP submission through Postfix: the token on the AUTH line, a refusal read to its end (the
// server's 535 after the client's AQ==), a renewal taken, and mail sent once logged in.
TEST_F(BearerLogin, SmtpSubmissionTakesTokensAndRenewsOnce) {
    const std::string good = provider().mint("test");
    const std::string other = provider().mint("someone-else");
    struct Case {
        const char* name;
        std::vector<std::string> tokens;
        TSecurity security;
        int port;
        bool loggedIn;
    } cases[] = {
        {"good, STARTTLS", {good}, TSecurity::StartTls, postfix().submissionPort(), true},
        {"good, TLS", {good}, TSecurity::Implicit, postfix().smtpsPort(), true},
        {"other user's, then good", {other, good}, TSecurity::StartTls, postfix().submissionPort(), true},
        {"refused twice", {other, other}, TSecurity::StartTls, postfix().submissionPort(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tokens tokens{c.tokens, {}};
        TSmtpClient smtp;
        smtp.Host = postfix().host();
        smtp.Port = c.port;
        smtp.UserID = "client.example.org";
        smtp.Security = c.security;
        smtp.UseAuth = true;
        smtp.AuthUser = "test";
        smtp.AuthMethod = TAuthMethod::Bearer;
        smtp.OnBearerToken = tokens.event();
        smtp.TimeOut = 10000;
        smtp.TrustedFingerprint = test::readBytes(postfix().tlsFile("server.sha256")).substr(0, 64);
        std::string failure;
        try {
            smtp.Connect();
            smtp.PostMessage.FromAddress = "test@example.org";
            smtp.PostMessage.ToAddress.Add("someone@example.org");
            smtp.PostMessage.Subject = c.name;
            smtp.PostMessage.Body.Add("sent with a token");
            smtp.SendMail();
            smtp.Disconnect();
        } catch (const std::exception& e) {
            failure = e.what();
            const auto* refused = dynamic_cast<const EBearerRefused*>(&e);
            ASSERT_NE(refused, nullptr) << failure;
            EXPECT_EQ(refused->Reply.substr(0, 3), "535");
            EXPECT_NE(refused->Detail.find("invalid_token"), std::string::npos) << refused->Detail;
        }
        EXPECT_EQ(failure.empty(), c.loggedIn) << failure;
        EXPECT_EQ(tokens.renewals.size(), c.tokens.size());
        for (const std::string& t : c.tokens)
            EXPECT_EQ(failure.find(t), std::string::npos);
    }
}

} // namespace
} // namespace pb
