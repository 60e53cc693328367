// The main window against a real host: the start-up attaches and creates "EMAIL" when it is
// missing, a host that goes away disables the run buttons, and closing detaches once.
#include "support/EdhostProcess.h"
#include "support/MainWindowFixture.h"
#include "support/WaitFor.h"
#include "ui/PB_conf.h"

#include <QFile>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <algorithm>

namespace pb {
namespace {

using test::enabled;
using test::waitFor;
using test::writeBytes;

class MainWindowWithHost : public test::MainWindowFixture {};

TEST_F(MainWindowWithHost, StartUpAttachesAndCreatesEmail) {
    test::EdhostProcess host;
    ASSERT_TRUE(host.running());
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();

    EXPECT_EQ(logTexts(), (std::vector<std::string>{"STRT Postbridge Alpha 4 gestartet", "CONF Lese Konfiguration...",
                                                    "ED95 Verbinde mit Echodesk 95...", "ED95 Verbunden mit Echodesk",
                                                    "ED95 Area EMAIL erstellt"}));
    EXPECT_EQ(w.status->text(), "Verbunden mit Echodesk 95");
    EXPECT_EQ(w.details1->text(), "Postbridge Rel. Alpha 4");
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_TRUE(test::boxes().shown.empty()) << test::boxes().texts()[0];
    EXPECT_NE(host.run({"areas"}).find("EMAIL"), std::string::npos);
    EXPECT_NE(std::find(w.AreaNames.begin(), w.AreaNames.end(), "REPORT"), w.AreaNames.end());
}

TEST_F(MainWindowWithHost, EmailInAnotherLetterCaseCountsAsPresent) {
    test::EdhostProcess host;
    ASSERT_TRUE(host.running());
    {
        TEchodeskAPI api;
        api.Connect();
        ASSERT_TRUE(api.Connected());
        api.CreateArea("eMail", "Fidonet", 9);
        api.Disconnect();
    }
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    const auto log = logTexts();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[3], "ED95 Verbunden mit Echodesk");
    EXPECT_EQ(host.run({"areas"}).find("EMAIL"), std::string::npos);
}

TEST_F(MainWindowWithHost, LostHostDisablesRunButtonsForGood) {
    test::EdhostProcess host;
    ASSERT_TRUE(host.running());
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    ASSERT_EQ(enabled(w), "1111101");

    host.stop();  // the host ends the connection
    ASSERT_TRUE(waitFor([&] { return logTexts().back() == "ED95 Verbindung zu Echodesk verloren"; }));
    EXPECT_EQ(enabled(w), "0001101");
    EXPECT_EQ(w.RunState, TRunState::Idle);
    // A later run button's end does not bring the run buttons back without a host.
    w.SetRunButtons();
    w.RestoreIdleButtons();
    EXPECT_EQ(enabled(w), "0001101");
}

TEST_F(MainWindowWithHost, ClosingDetachesExactlyOnce) {
    test::EdhostProcess host;
    ASSERT_TRUE(host.running());
    writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    ASSERT_TRUE(w.edapi1->Connected());
    int detaching = 0;
    auto original = w.edapi1->OnDisconnecting;
    w.edapi1->OnDisconnecting = [&] {
        ++detaching;
        if (original)
            original();
    };
    w.show();
    w.BitBtn6->click();
    EXPECT_EQ(detaching, 1);
    EXPECT_FALSE(w.edapi1->Connected());
    w.close();
    EXPECT_EQ(detaching, 1);
}

// SIGTERM at a log-out while "Konfiguration" is open (here the one the first start opens): the
// dialog is left as "Abbrechen" leaves it, and the window ends as "Beenden" ends it.
TEST_F(MainWindowWithHost, TheEndFromOutsideLeavesAnOpenDialogAndStoresTheLogMail) {
    test::EdhostProcess host;
    ASSERT_TRUE(host.running());
    Tmain& w = createMain();
    TConfigForm form;
    w.ConfigForm = &form;
    w.show();
    QTimer::singleShot(0, &form, [&] {
        ASSERT_TRUE(form.isVisible());
        w.EndAsBeenden();
    });
    w.FormActivate();
    ASSERT_TRUE(waitFor([&] { return !w.isVisible(); }));
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(w.edapi1->Connected());
    EXPECT_FALSE(QFile::exists("pbridge.ini"));
    const std::string reports = host.run({"list", "REPORT"});
    EXPECT_EQ(std::count(reports.begin(), reports.end(), '\n'), 1) << reports;
}

TEST_F(MainWindowWithHost, StartUpSurvivesAHostThatFailsTheAttach) {
    // The window attaches while it is made: a host that never answers must not hold it for long.
    const int oldLimit = TEchodeskAPI::DefaultReplyTimeoutMs;
    TEchodeskAPI::DefaultReplyTimeoutMs = 300;
    struct Restore {
        int v;
        ~Restore() { TEchodeskAPI::DefaultReplyTimeoutMs = v; }
    } restore{oldLimit};
    struct Case {
        std::vector<std::string> serve, fault;
    };
    const std::vector<Case> cases = {
        {{"--api-version", "7"}, {}},               // an old version
        {{"--api-version", "-2147483648"}, {}},     // garbage for a version
        {{}, {"fault", "--stop-answering"}},        // never answers
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serve.empty() ? c.fault.back() : c.serve.back());
        test::EdhostProcess host(c.serve);
        ASSERT_TRUE(host.running());
        if (!c.fault.empty())
            host.run(c.fault);
        writeBytes("pbridge.ini", validIni());
        test::boxes().reset();
        Tmain& w = createMain();   // attaches in its constructor: nothing may escape it
        w.FormActivate();
        EXPECT_FALSE(w.edapi1->Connected());
        EXPECT_EQ(logTexts().back(), "ED95 Verbindung zu Echodesk konnte nicht erstellt werden");
        EXPECT_EQ(enabled(w), "0001101");
        EXPECT_TRUE(test::boxes().shown.empty()) << test::boxes().texts()[0];
        closeMain();
        // No log mail was tried: there never was an attached host to take it.
        host.run({"fault", "--resume"});
        EXPECT_EQ(host.run({"list", "REPORT"}), "");
    }
}

} // namespace
} // namespace pb
