// The log mail at shut-down against a real edhost: stored once, as the log shows it, only while
// the host is attached; a host that refuses it never stops the window from closing.
#include "support/EdhostProcess.h"
#include "support/MainWindowFixture.h"
#include "support/WaitFor.h"

#include <QLabel>
#include <gtest/gtest.h>

#include <cstring>

namespace pb {
namespace {

using test::waitFor;
using test::writeBytes;

class LogMail : public test::MainWindowFixture {
protected:
    Tmain& startedWindow() {
        writeBytes("pbridge.ini", validIni());
        Tmain& w = createMain();
        w.FormActivate();
        return w;
    }
};

TEST_F(LogMail, ShutDownStoresTheWholeLogOnceInReport) {
    test::EdhostProcess host;
    Tmain& w = startedWindow();
    ASSERT_TRUE(w.edapi1->Connected());
    std::string expected;
    for (const std::string& line : w.LogLines())
        expected += line + "\r\n";
    w.close();

    EXPECT_EQ(host.run({"list", "REPORT"}), "1  0000  Postbridge  ->  Sysop  Postbridge Logmail\n");
    std::string rec = host.run({"dump", "REPORT", "1", "--raw"});
    ASSERT_GE(rec.size(), 239u);
    TNewMsgHeader h;
    std::memcpy(&h, rec.data(), sizeof h);
    // Fields of the packed record are compared as copies.
    EXPECT_EQ(std::int32_t{h.Size}, static_cast<std::int32_t>(239 + expected.size()));
    EXPECT_EQ(h.AuxText.str(), "Postbridge Alpha 4");
    TFidoAddr a1 = h.Addr1, a2 = h.Addr2;
    EXPECT_EQ(a1, TFidoAddr{});
    EXPECT_EQ(a2, TFidoAddr{});
    EXPECT_EQ(rec.substr(238), expected + std::string(1, '\0'));   // ends with CR LF, then NUL
    EXPECT_NE(host.run({"show", "REPORT", "1"}).find("ED95 Area EMAIL erstellt"), std::string::npos);
    EXPECT_NE(host.run({"status"}).find("0 plug-in(s) attached"), std::string::npos);
    EXPECT_TRUE(test::boxes().shown.empty());
}

TEST_F(LogMail, NoLogMailAfterTheHostWasLostOrNeverReached) {
    {
        test::EdhostProcess host;
        Tmain& w = startedWindow();
        host.run({"disconnect"});
        ASSERT_TRUE(waitFor([&] { return !w.edapi1->Connected(); }));
        w.close();
        EXPECT_EQ(host.run({"list", "REPORT"}), "");
    }
    Tmain& w = startedWindow();   // no host in this namespace any more
    ASSERT_FALSE(w.edapi1->Connected());
    w.close();
    EXPECT_TRUE(test::boxes().shown.empty());
}

TEST_F(LogMail, RefusedLogMailIsReportedOnceAndTheWindowStillCloses) {
    const char* faults[][2] = {{"1033", "0x80003002"},    // no "REPORT"
                               {"1039", "0x80001003"}};   // the store refused
    const char* texts[] = {"Area not found!", "Wrong data format!"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(texts[i]);
        test::EdhostProcess host;
        test::boxes().reset();
        Tmain& w = startedWindow();
        ASSERT_TRUE(w.edapi1->Connected());
        host.run({"fault", "--answer", faults[i][0], faults[i][1]});
        w.close();
        EXPECT_FALSE(w.isVisible());
        EXPECT_FALSE(w.edapi1->Connected());
        ASSERT_EQ(test::boxes().shown.size(), 1u);
        EXPECT_EQ(test::boxes().texts()[0], texts[i]);
        // The host was told that the plug-in left, and let go of the area it had opened.
        std::string status = host.run({"status"});
        EXPECT_NE(status.find("0 plug-in(s) attached"), std::string::npos) << status;
        EXPECT_EQ(host.run({"list", "REPORT"}), "");
    }
}

TEST_F(LogMail, HostErrorCreatingEmailEndsTheStartUpWithTheErrorBox) {
    test::EdhostProcess host;
    host.run({"fault", "--answer", "1043", "0x80005002"});
    Tmain& w = startedWindow();
    ASSERT_EQ(test::boxes().shown.size(), 1u);
    EXPECT_EQ(test::boxes().texts()[0], "Unknown Uplink!");
    EXPECT_EQ(logTexts().back(), "ED95 Verbunden mit Echodesk");
    EXPECT_TRUE(w.details1->text().isEmpty());
    EXPECT_EQ(host.run({"areas"}).find("EMAIL"), std::string::npos);
}

} // namespace
} // namespace pb
