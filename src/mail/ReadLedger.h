#pragma once
// What a retrieval run knows and records about the mails of the mailbox: which were fetched
// before (the read list by number, the id list by id), the journal in which every store is
// appended the moment the host confirms it, the stores left in doubt ("readmsg.pnd"), the mails
// an earlier run ended in, and the deletions still due. The run tells it what happens to each
// mail (begun, stored, unanswered, ended without a store, deleted) and asks it what to do (is
// this mail known, in doubt, one that two runs ended in, which deletions are due). It talks to
// neither the server nor the host: those stay with the run.
//
// The promise it keeps: a mail counts as read once the host has confirmed its store, and that
// fact is on disk before anything depends on it (a DELE, the end of the run), so a kill at any
// moment stores nothing twice and loses nothing. Positions count from 1 in the listing's order.
#include "mail/PB_Liste.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

class TNewMsg;

// What recognises a stored mail in the host however often it is fetched: the names, the subject
// and the kludge lines at the head of the text, which carry its Internet header (the visible text
// may name attachment files, and a second fetch names them anew). 16 lower-case hex digits.
std::string StoredMailKey(std::string_view To, std::string_view From, std::string_view Subject, std::string_view Text);
std::string StoredMailKey(const TNewMsg& Rec);

class TReadLedger {
public:
    TReadLedger() = default;
    TReadLedger(const TReadLedger&) = delete;
    TReadLedger& operator=(const TReadLedger&) = delete;

    // Told once when the journal cannot be appended to any more: from then on nothing stored
    // could be recorded, and every journalling step answers false.
    std::function<void(const std::exception&)> OnJournalBroken;

    // Forgets everything of a run before.
    void Reset();

    // ---- Before the session ----
    // Reads the read list, the journal and the stores in doubt from the current folder. Raises
    // the file's error; ListFile() names the file it was reading.
    void Load();
    const char* ListFile() const { return listFile_; }
    // The run before did not end as it should (the journal holds more than bare ids).
    bool Unclean() const { return unclean_; }

    // ---- The listing ----
    // The listed mails by number in the listing's order and, when the server gave ids (ByUid),
    // their ids by number. Returns the numbers listed without an id: they are passed by, as they
    // could not be told from mails fetched before. Without ids the id list is given up.
    std::vector<std::int32_t> TakeListing(const std::vector<std::int32_t>& Numbers, bool ByUid,
                                          const std::map<int, std::string>& Uids);
    bool ByUid() const { return byUid_; }
    int Mails() const { return static_cast<int>(numbers_.size()); }
    // The mail's id in this session (empty without UIDL).
    const std::string& IdAt(int Position) const;

    // Keys of the listed mails whose store is recorded but not yet known durable: the host is
    // asked for them before the run trusts them.
    std::set<std::string> UndurableKeys() const;
    // Of those, the ones the host does not have (Found lacks them) count as unread again.
    // Returns how many.
    int ForgetMissing(const std::set<std::string>& Found);

    // Which listed mails were fetched before; with no id list yet, the numbers decide and the
    // ids they count as read are recorded, so the change-over fetches nothing twice.
    void SortOutKnown();
    bool Known(int Position) const;
    // The first mail from `From` on that is not known (Mails() + 1 for none).
    int UnreadFrom(int From) const;

    // Writes the lists before the first mail is fetched and opens the journal, when there is
    // anything to fetch, settle or delete; raises the file's error (Writable() is false then).
    void Start();
    bool Writable() const { return writable_; }
    // Positions whose deletion a session before left due (mails stored while deletion was on).
    const std::vector<int>& DueNow() const { return dueNow_; }

    // ---- One mail ----
    // Two runs before ended abnormally in this mail: it is not converted again.
    bool Poisoned(int Position) const;
    // Its retrieval begins ("ID ?"). False when the journal cannot take it.
    bool Begins(int Position);
    // It ended without a store of its own (a failure, a cancel): no abnormal end in it.
    void EndedUnstored(int Position);
    // About to be stored under Key: true when an earlier store of it may be in the host (a store
    // never answered, or an earlier run ended in this mail); the host is then asked first.
    bool InDoubt(int Position, const std::string& Key);
    // The host confirmed its store: counted as read and journalled. True when recorded (always
    // without ids, where the lists are saved at the end).
    bool Stored(int Position, std::int32_t Msg, const std::string& Key, bool Due);
    // Its store was never answered: the host may have it. Kept in doubt until it comes again.
    void StoreUnanswered(int Position, const std::string& Key);
    // The server took its DELE.
    void DeletionTaken(int Position, std::int32_t Msg);
    bool Broken() const { return broken_; }

    // ---- The end ----
    // Makes the journal durable; raises the file's error.
    void Sync();
    // What the session's end settled: with the area closed the host made every store durable,
    // so the keys go; with the deletions committed, the server renumbered its mails and the
    // deletions are due no more.
    void SessionEnded(bool AreaClosed, bool DeletionsDone);
    // Writes the lists (read list, compacted journal, stores in doubt); raises the file's error.
    void Save();
    void Close() { journalFile_.Close(); }

private:
    bool Journalize(const std::string& Lines);
    TJournalEntry* EntryAt(int Position);

    TReadList readList_;
    TJournal journal_;
    TJournalFile journalFile_;
    TUidList inDoubt_;     // keys of stores never answered; Seen while still in doubt
    const char* listFile_ = kReadListFile;
    bool uidFileFound_ = false;
    bool unclean_ = false;
    bool byUid_ = false;
    bool writable_ = false;
    bool broken_ = false;
    std::chrono::steady_clock::time_point syncedAt_{};
    std::vector<std::int32_t> numbers_;   // by position
    std::vector<std::string> ids_;        // by position (ByUid only)
    std::vector<bool> skipped_;           // by position: listed without an id
    std::vector<bool> known_;             // by position: fetched before
    std::vector<int> dueNow_;
    std::vector<std::int32_t> deleted_;   // numbers the server marked for deletion
    std::set<std::string> deletedIds_;
};

} // namespace pb
