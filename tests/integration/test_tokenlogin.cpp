// Getting access tokens: the sign-in at the test provider through a stand-in browser (PKCE,
// state, the loopback listener and its time limit), refreshes with short-lived tokens and
// replaced refresh tokens, and the user's token command.
#include "mail/Config.h"
#include "mail/TokenLogin.h"
#include "support/OAuthProvider.h"
#include "support/TempRoot.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QUrl>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace pb {
namespace {

class TokenLogin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        provider_ = new test::OAuthProvider;
        skip_ = provider_->start();
    }
    static void TearDownTestSuite() {
        delete provider_;
        provider_ = nullptr;
    }
    void SetUp() override {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
        provider_->setLifetime(3600);
        ::unsetenv("PB_TEST_BROWSER");
        // A folder of the test's own: a replaced refresh token is saved into its pbridge.ini.
        ASSERT_EQ(::chdir(folder_.path().c_str()), 0);
        TSettings settings;
        settings.POP3TokenLogin = login();
        WriteConfig(settings);
    }
    void TearDown() override {
        TokenTimeLimits = {};
        ::unsetenv("PB_TEST_BROWSER");
        EXPECT_EQ(::chdir("/"), 0);
    }

    static TTokenLogin login() {
        TTokenLogin l;
        l.Method = TLoginMethod::OAuth;
        l.Preset = TOAuthPreset::Other;
        l.AuthorizeUrl = provider_->authorizeUrl();
        l.TokenUrl = provider_->tokenUrl();
        l.Scope = "mail";
        l.ClientId = "postbridge-test";
        return l;
    }
    // The sign-in with the stand-in browser; the login gets its refresh token.
    static void signIn(TTokenLogin& l, TSignIn* flow = nullptr) {
        TSignIn own;
        TSignIn& s = flow ? *flow : own;
        s.OpenUrl = [](const std::string& url) {
            return QProcess::startDetached(QString::fromStdString(test::OAuthProvider::browser()), {QString::fromStdString(url)});
        };
        s.Run(l, "test");
    }

    test::TempDir folder_{"pbtok"};
    inline static test::OAuthProvider* provider_ = nullptr;
    inline static std::string skip_;
};

// The round trip: the browser goes to the provider and comes back to the listener, the code
// is traded with its PKCE verifier, and the access token is kept for the runs: a token asked
// for right after costs no request. The listener's port is closed afterwards.
TEST_F(TokenLogin, SignInRoundTripKeepsTheTokens) {
    TTokenLogin l = login();
    TSignIn flow;
    QElapsedTimer clock;
    clock.start();
    const auto before = provider_->stats();
    signIn(l, &flow);
    std::printf("sign-in round trip on loopback: %lld ms\n", static_cast<long long>(clock.elapsed()));
    EXPECT_FALSE(l.RefreshToken.empty());
    EXPECT_EQ(l.SignedInAs, "test");
    EXPECT_EQ(provider_->stats().authorizationCode, before.authorizationCode + 1);
    const int requests = TokenRequests();
    EXPECT_FALSE(TokenEvent(l, nullptr)(false).empty());
    EXPECT_EQ(TokenRequests(), requests);
    QTcpSocket probe;
    probe.connectToHost("127.0.0.1", QUrl(QString::fromStdString(flow.RedirectUri)).port());
    EXPECT_FALSE(probe.waitForConnected(1000));
}

// What must end a sign-in with a clear failure and the port closed: a browser that never comes
// back, an answer with another state, a provider that cannot be reached for the token, an
// endpoint that is not https, no client id.
TEST_F(TokenLogin, SignInFaultsEndItClearly) {
    struct Case {
        const char* name;
        const char* browser;                        // PB_TEST_BROWSER
        std::function<void(TTokenLogin&)> change;
        const char* message;                        // part of the failure (Windows-1252)
    } cases[] = {
        {"browser never returns", "ignore", nullptr, "nicht innerhalb von"},
        {"wrong state", "forge-state", nullptr, "(state)"},
        {"provider down at the token endpoint", "", [](TTokenLogin& l) { l.TokenUrl = "http://127.0.0.1:9/token"; },
         "nicht erreichbar"},
        {"plain http to another host", "", [](TTokenLogin& l) { l.TokenUrl = "http://example.org/token"; }, "https"},
        {"no client id", "", [](TTokenLogin& l) { l.ClientId.clear(); }, "Client-ID"},
    };
    TokenTimeLimits.SignInMs = 1500;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::setenv("PB_TEST_BROWSER", c.browser, 1);
        TTokenLogin l = login();
        if (c.change)
            c.change(l);
        TSignIn flow;
        std::string failure;
        try {
            signIn(l, &flow);
        } catch (const ETokenFailure& e) {
            failure = e.what();
        }
        EXPECT_NE(failure.find(c.message), std::string::npos) << failure;
        EXPECT_TRUE(l.RefreshToken.empty());
        if (!flow.RedirectUri.empty()) {
            QTcpSocket probe;
            probe.connectToHost("127.0.0.1", QUrl(QString::fromStdString(flow.RedirectUri)).port());
            EXPECT_FALSE(probe.waitForConnected(1000));
        }
    }
}

// With access tokens of two seconds, a token is refreshed once it runs out, and only then; the
// provider replaces the refresh token each time and the settings file follows, so that a new
// process (reading the file) goes on without a sign-in. A revoked sign-in asks for a new one.
TEST_F(TokenLogin, ShortTokensAreRefreshedOnceAndReplacedRefreshTokensSaved) {
    provider_->setLifetime(2);
    TTokenLogin l = login();
    signIn(l);
    TSettings settings;
    settings.POP3TokenLogin = l;
    settings.SMTPTokenLogin = l;
    WriteConfig(settings);
    auto tokens = TokenEvent(l, nullptr);
    const std::string first = tokens(false);
    const auto before = provider_->stats();
    EXPECT_EQ(tokens(false), first);   // still fresh
    ::sleep(2);
    const std::string second = tokens(false);
    EXPECT_NE(second, first);
    EXPECT_EQ(tokens(false), second);
    EXPECT_EQ(provider_->stats().refresh, before.refresh + 1);
    // The file holds the replacement for both servers, and a new process starts from it.
    TSettings saved;
    ReadConfig(saved);
    EXPECT_NE(saved.POP3TokenLogin.RefreshToken, l.RefreshToken);
    EXPECT_EQ(saved.SMTPTokenLogin.RefreshToken, saved.POP3TokenLogin.RefreshToken);
    EXPECT_EQ(CurrentRefreshToken(l), saved.POP3TokenLogin.RefreshToken);
    EXPECT_FALSE(TokenEvent(saved.POP3TokenLogin, nullptr)(true).empty());

    provider_->revoke("test");
    ReadConfig(saved);
    EXPECT_THROW(TokenEvent(saved.POP3TokenLogin, nullptr)(true), ESignInNeeded);
    EXPECT_THROW(TokenEvent(login(), nullptr)(false), ESignInNeeded);   // never signed in
}

// "Befehl": its output is the token, its error output goes to the log (never its output); one
// that fails, hangs or prints nothing gives a clear failure; a renewal that prints the same
// token again gives none.
TEST_F(TokenLogin, CommandPrintsTheTokenAndReportsOnlyItsErrors) {
    TokenTimeLimits.CommandMs = 1000;
    struct Case {
        const char* command;
        std::string token;      // empty: fails with `message`
        const char* message;
        const char* logged;
    } cases[] = {
        {"echo tok-123; echo 'fetching' >&2", "tok-123", "", "Befehl meldet: fetching"},
        {"echo tok-secret; echo 'no network' >&2; exit 3", "", "Status 3", "Befehl meldet: no network"},
        {"sleep 30", "", "beendet", ""},
        {"true", "", "keinen Zugangs", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        TTokenLogin l;
        l.Method = TLoginMethod::Command;
        l.Command = c.command;
        std::string log;
        auto tokens = TokenEvent(l, [&](const std::string& line) { log += line + "\n"; });
        std::string token, failure;
        try {
            token = tokens(false);
        } catch (const ETokenFailure& e) {
            failure = e.what();
        }
        EXPECT_EQ(token, c.token);
        EXPECT_NE(failure.find(c.message), std::string::npos) << failure;
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        EXPECT_EQ(log.find("tok-"), std::string::npos) << log;
        if (!c.token.empty()) {
            EXPECT_EQ(tokens(true), "");   // the same token once more would be refused again
        }
    }
}

} // namespace
} // namespace pb
