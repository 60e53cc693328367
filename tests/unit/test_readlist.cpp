#include "mail/PB_Liste.h"

#include "platform/Exceptions.h"
#include "support/FileBytes.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace pb {
namespace {

namespace fs = std::filesystem;

class ReadList : public testing::Test {
protected:
    QTemporaryDir dir_;
    const std::string file_ = dir_.filePath(kReadListFile).toStdString();

    std::string bytes() const { return test::readBytes(file_); }
    void write(const std::string& b) const { test::writeBytes(file_, b); }

    // One retrieval run as the mail run uses the list: every listed number is looked up,
    // the new ones are fetched and recorded. Returns the numbers fetched.
    std::vector<int> run(int listed) {
        TReadList list;
        LoadReadList(list, file_);
        std::vector<int> fetched;
        for (int n = 1; n <= listed; ++n)
            if (!IsMessageRead(list, n)) {
                fetched.push_back(n);
                AddReadMessage(list, n);
            }
        SaveReadList(list, file_);
        return fetched;
    }
    std::vector<int> saved() {
        TReadList list;
        LoadReadList(list, file_);
        std::vector<int> numbers;
        for (const auto& e : list) {
            EXPECT_FALSE(e.Seen);
            numbers.push_back(e.MsgNumber);
        }
        return numbers;
    }

};

TEST_F(ReadList, RunsAgainstAChangingMailboxFetchEachMailOnce) {
    EXPECT_EQ(run(5), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(saved(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(run(5), std::vector<int>{});
    EXPECT_EQ(saved(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(run(6), std::vector<int>{6});
    EXPECT_EQ(run(3), std::vector<int>{});          // mailbox shrank: 4..6 drop out
    EXPECT_EQ(saved(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(run(5), (std::vector<int>{4, 5}));
}

TEST_F(ReadList, RecordLayoutAndUnseenEntriesLeftOut) {
    TReadList list{{7, true}, {-2, true}, {9, false}, {0x01020304, true}};
    SaveReadList(list, file_);
    EXPECT_EQ(bytes(), std::string("\x07\0\0\0\0\0\0\0" "\xFE\xFF\xFF\xFF\0\0\0\0" "\x04\x03\x02\x01\0\0\0\0", 24));
    // Seen bytes and padding of a file are ignored on reading.
    write(std::string("\x05\0\0\0\x01\xAA\xBB\xCC", 8));
    TReadList loaded;
    LoadReadList(loaded, file_);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].MsgNumber, 5);
    EXPECT_FALSE(loaded[0].Seen);
    TReadList dup{{3, false}, {3, false}};
    EXPECT_TRUE(IsMessageRead(dup, 3));
    EXPECT_TRUE(dup[0].Seen);
    EXPECT_FALSE(dup[1].Seen);
}

TEST_F(ReadList, EveryTruncationKeepsTheWholeRecordsAndFailsClearly) {
    TReadList none;
    LoadReadList(none, file_);   // no file: empty list
    EXPECT_TRUE(none.empty());
    const std::string full("\x01\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0", 16);
    for (std::size_t len = 0; len <= full.size(); ++len) {
        SCOPED_TRACE(len);
        write(full.substr(0, len));
        TReadList list;
        if (len % 8 == 0) {
            EXPECT_NO_THROW(LoadReadList(list, file_));
        } else {
            try {
                LoadReadList(list, file_);
                ADD_FAILURE() << "no error";
            } catch (const EInOutError& e) {
                EXPECT_STREQ(e.what(), "Read beyond end of file");
            }
        }
        EXPECT_EQ(list.size(), len / 8);
    }
}

TEST_F(ReadList, FailedSaveLeavesThePreviousFile) {
    run(2);
    const std::string before = bytes();
    fs::create_directory(file_ + ".new");   // the file cannot be written aside
    TReadList list{{9, true}};
    EXPECT_THROW(SaveReadList(list, file_), EInOutError);
    EXPECT_EQ(bytes(), before);
    fs::remove(file_ + ".new");
    SaveReadList(list, file_);
    EXPECT_EQ(saved(), std::vector<int>{9});
    EXPECT_FALSE(fs::exists(file_ + ".new"));
}

TEST_F(ReadList, ListIsPrivateNeverWrittenThroughALinkAndAnOldWideOneIsTightened) {
    auto mode = [&] {
        struct stat st{};
        return ::stat(file_.c_str(), &st) == 0 ? st.st_mode & 0777 : 01;
    };
    run(2);
    EXPECT_EQ(mode(), 0600u);
    ::chmod(file_.c_str(), 0644);   // as an older version left it
    EXPECT_EQ(saved(), (std::vector<int>{1, 2}));
    EXPECT_EQ(mode(), 0600u);

    // A link planted as the file written aside is replaced, its target never touched.
    const std::string target = dir_.filePath("elsewhere").toStdString();
    fs::create_symlink(target, file_ + ".new");
    run(3);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(saved(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(mode(), 0600u);
}

// The journal: what each kind of line means, in the order lines come; a list of ids alone (as
// earlier versions wrote it) is read as stored for good; a torn last line is dropped; what is
// compacted keeps only what the next run needs.
TEST_F(ReadList, JournalLinesAddUpAndATornLastLineIsDropped) {
    const std::string file = dir_.filePath(kUidListFile).toStdString();
    const std::string key = "0123456789abcdef";
    test::writeBytes(file, "alt\n"                                   // an earlier version's line
                           "a ?\na " + key + "\n"                    // stored, not yet durable
                           "b ?\nb -\nb ?\n"                        // one failure, then an abnormal end
                           "c ?\nc ?\n"                              // two abnormal ends
                           "d " + key + " del\ne del\n"              // due deletions
                           "f ?\nf 01234");                           // torn by a power cut
    TJournal j;
    ASSERT_TRUE(LoadJournal(j, file));
    EXPECT_TRUE(j["alt"].Read && j["alt"].Key.empty() && !j["alt"].Due);
    EXPECT_TRUE(j["a"].Read && j["a"].Key == key && j["a"].Deaths == 0);
    EXPECT_TRUE(!j["b"].Read && j["b"].Deaths == 1);
    EXPECT_EQ(j["c"].Deaths, 2);
    EXPECT_TRUE(j["d"].Read && j["d"].Due && j["d"].Key == key);
    EXPECT_TRUE(j["e"].Read && j["e"].Due && j["e"].Key.empty());
    EXPECT_TRUE(!j["f"].Read && j["f"].Deaths == 1);

    for (auto& [id, e] : j)
        e.Seen = id != "e";   // e is no longer listed
    const std::string text = JournalText(j);
    EXPECT_EQ(text, "a " + key + "\nalt\nb ?\nc ?\nc ?\nd " + key + " del\nf ?\n");
    TJournal again;
    test::writeBytes(file, text);
    ASSERT_TRUE(LoadJournal(again, file));
    EXPECT_EQ(again["c"].Deaths, 2);

    // A damaged line that is not the last one is never taken as empty.
    for (const std::string& damaged : std::vector<std::string>{"a\n\nb\n", "a b\n", "a " + key + " x\n", "a ? ?\n", "\xE4\n"}) {
        test::writeBytes(file, damaged);
        TJournal bad;
        EXPECT_THROW(LoadJournal(bad, file), EInOutError) << damaged;
    }
}

} // namespace
} // namespace pb

namespace pb {
namespace {

// The id list keeps the ids that were looked up or added, one per LF-ended line, and refuses a
// file it cannot trust rather than take it as empty (which would fetch everything again).
TEST_F(ReadList, IdListKeepsSeenIdsAndRefusesDamagedFiles) {
    const std::string file = dir_.filePath(kUidListFile).toStdString();
    TUidList list;
    EXPECT_FALSE(LoadUidList(list, file));
    test::writeBytes(file, "000000014f2a\nabc<def>!~\n" + std::string(70, 'x') + "\n");
    ASSERT_TRUE(LoadUidList(list, file));
    EXPECT_TRUE(IsUidRead(list, "abc<def>!~"));
    EXPECT_FALSE(IsUidRead(list, "neu"));
    AddReadUid(list, "neu");
    SaveUidList(list, file);   // the id not looked up drops out
    EXPECT_EQ(test::readBytes(file), "abc<def>!~\nneu\n");

    // An empty line, a blank, too long, not ASCII, no LF at the end.
    const std::vector<std::string> damagedFiles = {"a\n\nb\n", "a b\n", std::string(71, 'x') + "\n", "\xE4\n", "a\nb"};
    for (const std::string& damaged : damagedFiles) {
        test::writeBytes(file, damaged);
        TUidList again;
        EXPECT_THROW(LoadUidList(again, file), EInOutError) << damaged;
    }
}

} // namespace
} // namespace pb
