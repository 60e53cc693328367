// edhost's message base on disk: what a new base holds, what survives a restart, and that a
// kill in the middle of a write never costs more than the message being written.
#include "MessageStore.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace pb::edhost {
namespace {

namespace fs = std::filesystem;

std::string record(const std::string& subject, const std::string& text, std::uint16_t flags = 0) {
    std::string r(sizeof(TNewMsgHeader), '\0');
    auto* h = reinterpret_cast<TNewMsgHeader*>(r.data());
    h->ToUserName.assign("Sysop");
    h->FromUserName.assign("Postbridge");
    h->Subject.assign(subject);
    h->Flags = flags;
    h->Size = static_cast<std::int32_t>(sizeof(TNewMsgHeader) + text.size() + 1);
    r += text;
    r.push_back('\0');
    return r;
}

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/pb-store-XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string areaFile(const std::string& area) {
        auto s = openFileStore(dir);
        auto i = s->findArea(area);
        (void)i;
        s.reset();
        // Files are named after the order of creation: NETMAIL 1, REPORT 2, then new areas.
        return dir + (area == "NETMAIL" ? "/area-0001.msgs" : "/area-0002.msgs");
    }
    std::string dir;
};

TEST_F(Store, NewBaseHasNetmailAndReportAndKeepsEverythingAcrossRestarts) {
    {
        auto s = openFileStore(dir);
        auto areas = s->areas();
        ASSERT_EQ(areas.size(), 2u);
        EXPECT_EQ(areas[0].Name, "NETMAIL");
        EXPECT_EQ(areas[1].Name, "REPORT");
        std::size_t email = s->createArea({"EMAIL", "Fidonet", 9});
        EXPECT_EQ(s->addMessage(email, record("eins", "a\r\n", 0x2014)), 1u);
        EXPECT_EQ(s->addMessage(email, record("zwei", "")), 2u);
        s->setFlags(email, 1, 0x0080);
        EXPECT_THROW(s->createArea({"Email", "Fidonet", 9}), StoreError);
        EXPECT_THROW(s->addMessage(email, "short"), StoreError);
    }
    auto s = openFileStore(dir);
    auto email = s->findArea("email");
    ASSERT_TRUE(email);
    EXPECT_EQ(s->areas()[*email].Code, 9);
    ASSERT_EQ(s->messageCount(*email), 2u);
    EXPECT_EQ(s->message(*email, 1)->Flags, 0x0080);
    EXPECT_EQ(s->message(*email, 1)->Text(), "a\r\n");
    EXPECT_EQ(s->message(*email, 2)->Record, record("zwei", ""));
    EXPECT_EQ(s->message(*email, 3), nullptr);
    EXPECT_EQ(s->message(*email, 0), nullptr);
}

TEST_F(Store, OnlyOneProcessHoldsABase) {
    auto s = openFileStore(dir);
    EXPECT_THROW(openFileStore(dir), StoreError);
}

TEST_F(Store, UnfinishedOrDamagedTailIsCutOffAndTheRestKept) {
    {
        auto s = openFileStore(dir);
        s->addMessage(1, record("eins", "x"));
        s->addMessage(1, record("zwei", "y"));
    }
    std::string path = areaFile("REPORT");
    auto goodSize = fs::file_size(path);
    // Every cut of a third record, as a kill in the middle of its write would leave it.
    std::string third;
    {
        auto s = openFileStore(dir);
        s->addMessage(1, record("drei", "z"));
    }
    {
        std::ifstream in(path, std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), {});
        third = all.substr(goodSize);
    }
    for (std::size_t cut = 1; cut < third.size(); cut += 7) {
        fs::resize_file(path, goodSize);
        {
            std::ofstream out(path, std::ios::binary | std::ios::app);
            out << third.substr(0, cut);
        }
        auto s = openFileStore(dir);
        ASSERT_EQ(s->messageCount(1), 2u) << "cut at " << cut;
        EXPECT_EQ(fs::file_size(path), goodSize);
        EXPECT_EQ(s->addMessage(1, record("neu", "n")), 3u);   // appends after the good part
    }
    // A flipped byte inside the last record: its checksum fails, it is dropped.
    {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(-3, std::ios::end);
        f.put('\x7f');
    }
    auto s = openFileStore(dir);
    EXPECT_EQ(s->messageCount(1), 2u);
    EXPECT_EQ(s->message(1, 2)->Header().Subject.str(), "zwei");
}

TEST_F(Store, KillDuringWritesLeavesOnlyWholeMessages) {
    { openFileStore(dir); }
    pid_t child = ::fork();
    if (child == 0) {
        auto s = openFileStore(dir);
        for (std::uint32_t i = 0;; ++i) {
            s->addMessage(0, record("m" + std::to_string(i), std::string(i % 5000, 't')));
            if (i % 3 == 0)
                s->setFlags(0, i + 1, static_cast<std::uint16_t>(i));
        }
    }
    ::usleep(150000);
    ::kill(child, SIGKILL);
    int st = 0;
    ::waitpid(child, &st, 0);
    auto s = openFileStore(dir);
    std::uint32_t n = s->messageCount(0);
    EXPECT_GT(n, 10u);
    for (std::uint32_t i = 1; i <= n; ++i) {
        const StoredMessage* m = s->message(0, i);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->Header().Subject.str(), "m" + std::to_string(i - 1));
        EXPECT_EQ(m->Text().size(), (i - 1) % 5000);
        EXPECT_EQ(recordProblem(m->Record), "");
    }
}

TEST(StoreRecords, RecordsTheHostRefuses) {
    EXPECT_EQ(recordProblem(record("s", "")), "");
    std::string r = record("s", "text");
    EXPECT_NE(recordProblem(r.substr(0, 238)), "");        // no room for the NUL
    EXPECT_NE(recordProblem(r + "x"), "");                  // Size disagrees with the block
    std::string noNul = r;
    noNul.back() = 'x';
    EXPECT_NE(recordProblem(noNul), "");
    std::string longName = r;
    reinterpret_cast<TNewMsgHeader*>(longName.data())->Subject.Len = 72;
    EXPECT_NE(recordProblem(longName), "");
    std::string negative = r;
    reinterpret_cast<TNewMsgHeader*>(negative.data())->Size = -1;
    EXPECT_NE(recordProblem(negative), "");
}

} // namespace
} // namespace pb::edhost
