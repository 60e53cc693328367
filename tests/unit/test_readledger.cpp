// The retrieval run's bookkeeping without a server or a host: what an earlier run left in the
// files and what happens to each mail go in; which mails count as known, in doubt or not to be
// converted, which deletions are due, and what is written come out.
#include "mail/ReadLedger.h"

#include "support/FileBytes.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace pb {
namespace {

namespace fs = std::filesystem;

std::string keyOf(int position) { return std::string(15, '0') + char('0' + position); }

struct LedgerRow {
    const char* name;
    const char* journal;   // "readmsg.uid" before the run; nullptr for none
    const char* doubt;     // "readmsg.pnd" before the run
    const char* ids;       // the listing's ids in order
    // What happens, in order: bN begins, sN stored (key N), SN stored with its deletion due,
    // uN its store unanswered, eN ended without a store, dN deleted, Q the session ends with
    // QUIT after the area closed, D it is dropped. A leading f: when the area is opened, the host
    // lacks every store not yet known durable.
    const char* events;
    const char* known;      // per position: K known before the run, . unread
    const char* poisoned;   // per position: P two runs ended in it
    const char* inDoubt;    // per position, asked after the events: ? looked for in the host first
    std::vector<int> dueNow;
    const char* journalled;   // the journal file after the events
    const char* saved;        // "readmsg.uid" once the lists are saved
};

const LedgerRow kRows[] = {
    {"StoresAndFailuresAreJournalledAsTheyHappen", nullptr, "", "a b", "b1 s1 b2 e2 Q", "..", "..", "..", {},
     "a ?\na 0000000000000001\nb ?\nb -\n", "a\n"},
    {"UnsettledStartsCountAsAbnormalEnds", "a\nb ?\nc ?\nc ?\n", "", "a b c", "", "K..", "..P", ".??", {},
     "a\nb ?\nc ?\nc ?\n", "a\nb ?\nc ?\nc ?\n"},
    {"AStoreOfTheMailInHandSettlesItsEnds", "b ?\n", "", "b", "b1 s1 Q", ".", ".", ".", {},
     "b ?\nb ?\nb 0000000000000001\n", "b\n"},
    {"AnUnansweredStoreLeavesItsMailInDoubtAndCountsAsAnEnd", nullptr, "", "a", "b1 u1 D", ".", ".", "?", {},
     "a ?\n", "a ?\n"},
    {"AKeyLeftInDoubtIsAskedForOnceWhenTheMailComes", "a\n", "0000000000000002\n", "a b", "", "K.", "..", ".?", {},
     "a\n", "a\n"},
    {"ADeletionStaysDueUntilQuitCommitsIt", "a del\nb del\n", "", "a b c", "d1 D", "KK.", "...", "...",
     {1, 2}, "a del\nb del\n", "a del\nb del\n"},
    {"CommittedDeletionsAreDueNoMore", "a del\n", "", "a b", "d1 b2 S2 d2 Q", "K.", "..", "..", {1},
     "a del\nb ?\nb 0000000000000002 del\n", "a\nb\n"},
    {"StoresTheHostLacksAfterAPowerCutComeAgain", "a 0000000000000001\nb\n", "", "a b", "f", ".K", "..", "..",
     {}, "b\n", "b\n"},
    {"MailsNoLongerListedDropOut", "x\ny ?\na\n", "", "a", "", "K", ".", ".", {}, "a\n", "a\n"},
};

void PrintTo(const LedgerRow& row, std::ostream* os) { *os << row.name; }

class ReadLedgerTable : public testing::TestWithParam<LedgerRow> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        before_ = fs::current_path();
        fs::current_path(dir_.path().toStdString());
    }
    void TearDown() override { fs::current_path(before_); }

    QTemporaryDir dir_;
    fs::path before_;
};

std::string perPosition(const TReadLedger& ledger, const std::function<char(int)>& mark) {
    std::string out;
    for (int k = 1; k <= ledger.Mails(); ++k)
        out += mark(k);
    return out;
}

TEST_P(ReadLedgerTable, DecidesAsTheJournalSays) {
    const LedgerRow& row = GetParam();
    if (row.journal)
        test::writeBytes(kUidListFile, row.journal);
    if (*row.doubt)
        test::writeBytes(kDoubtListFile, row.doubt);

    TReadLedger ledger;
    ledger.Load();
    std::vector<std::int32_t> numbers;
    std::map<int, std::string> uids;
    std::istringstream ids(row.ids);
    for (std::string id; ids >> id;) {
        numbers.push_back(static_cast<std::int32_t>(numbers.size() + 1));
        uids[numbers.back()] = id;
    }
    EXPECT_TRUE(ledger.TakeListing(numbers, true, uids).empty());
    if (row.events[0] == 'f')
        ledger.ForgetMissing({});
    ledger.SortOutKnown();
    ledger.Start();
    ASSERT_TRUE(ledger.Writable());
    EXPECT_EQ(perPosition(ledger, [&](int k) { return ledger.Known(k) ? 'K' : '.'; }), row.known);
    EXPECT_EQ(perPosition(ledger, [&](int k) { return ledger.Poisoned(k) ? 'P' : '.'; }), row.poisoned);
    EXPECT_EQ(ledger.DueNow(), row.dueNow);

    bool areaClosed = false, deletionsDone = false;
    std::istringstream events(row.events);
    for (std::string ev; events >> ev;) {
        const int k = ev.size() > 1 ? std::stoi(ev.substr(1)) : 0;
        switch (ev[0]) {
        case 'b': EXPECT_TRUE(ledger.Begins(k)); break;
        case 's': EXPECT_TRUE(ledger.Stored(k, k, keyOf(k), false)); break;
        case 'S': EXPECT_TRUE(ledger.Stored(k, k, keyOf(k), true)); break;
        case 'u': ledger.StoreUnanswered(k, keyOf(k)); break;
        case 'e': ledger.EndedUnstored(k); break;
        case 'd': ledger.DeletionTaken(k, k); break;
        case 'f': break;
        case 'Q': areaClosed = deletionsDone = true; break;
        case 'D': break;
        default: FAIL() << ev;
        }
    }
    EXPECT_EQ(test::readBytes(kUidListFile), row.journalled);
    ledger.Sync();
    ledger.SessionEnded(areaClosed, deletionsDone);
    ledger.Save();
    ledger.Close();
    EXPECT_EQ(test::readBytes(kUidListFile), row.saved);
    EXPECT_EQ(perPosition(ledger, [&](int k) { return ledger.InDoubt(k, keyOf(k)) ? '?' : '.'; }), row.inDoubt);
}

INSTANTIATE_TEST_SUITE_P(Runs, ReadLedgerTable, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace pb
