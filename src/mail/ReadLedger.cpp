#include "mail/ReadLedger.h"

#include "host/EchodeskAPI.h"
#include "platform/Exceptions.h"
#include "platform/Fnv1a.h"
#include "mail/RecordFile.h"

#include <algorithm>
#include <cstdio>

namespace pb {
namespace {

// The journal is made durable after this many lines or this long after the last time, and
// always before QUIT and at the end of a run. A kill loses nothing either way; what a sync
// bounds is what a power cut can bring again.
constexpr int JournalSyncLines = 512;
constexpr auto JournalSyncAfter = std::chrono::milliseconds(2000);

// After the server has carried out the deletions of a session, every mail behind a deleted one
// has moved down by one number per deleted mail before it. The deleted numbers themselves are
// dropped: a later mail may take them.
void renumberAfterDeletion(TReadList& list, std::vector<std::int32_t> deleted) {
    std::sort(deleted.begin(), deleted.end());
    TReadList kept;
    kept.reserve(list.size());
    for (ReadListEntry e : list) {
        if (std::binary_search(deleted.begin(), deleted.end(), e.MsgNumber))
            continue;
        const auto below = std::lower_bound(deleted.begin(), deleted.end(), e.MsgNumber) - deleted.begin();
        e.MsgNumber -= static_cast<std::int32_t>(below);
        kept.push_back(e);
    }
    list = std::move(kept);
}

} // namespace

std::string StoredMailKey(std::string_view to, std::string_view from, std::string_view subject,
                          std::string_view text) {
    std::uint64_t h = kFnv1aStart;
    auto mix = [&h](std::string_view part) {
        h = Fnv1a(part, h);
        h = (h ^ 0x100) * kFnv1aPrime;   // parts do not run into each other
    };
    mix(to);
    mix(from);
    mix(subject);
    for (std::size_t at = 0; at < text.size() && text[at] == '\x01';) {
        const std::size_t end = std::min(text.find("\r\n", at), text.size());
        mix(text.substr(at, end - at));
        at = end + 2;
    }
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

std::string StoredMailKey(const TNewMsg& rec) {
    const TNewMsgHeader& h = rec.Header();
    const auto* text = reinterpret_cast<const char*>(rec.data()) + sizeof(TNewMsgHeader);
    const std::size_t size = static_cast<std::size_t>(h.Size) - sizeof(TNewMsgHeader) - 1;
    return StoredMailKey(h.ToUserName.str(), h.FromUserName.str(), h.Subject.str(), std::string_view(text, size));
}

void TReadLedger::Reset() {
    journalFile_.Close();
    readList_.clear();
    journal_.clear();
    inDoubt_.clear();
    listFile_ = kReadListFile;
    uidFileFound_ = unclean_ = byUid_ = writable_ = broken_ = false;
    numbers_.clear();
    ids_.clear();
    skipped_.clear();
    known_.clear();
    dueNow_.clear();
    deleted_.clear();
    deletedIds_.clear();
}

void TReadLedger::Load() {
    listFile_ = kReadListFile;
    LoadReadList(readList_);
    listFile_ = kUidListFile;
    uidFileFound_ = LoadJournal(journal_);
    listFile_ = kDoubtListFile;
    LoadUidList(inDoubt_, kDoubtListFile);
    for (auto& entry : inDoubt_)
        entry.second = true;   // kept until the mail comes again
    // Anything but bare ids means the run before did not end as it should.
    unclean_ = std::any_of(journal_.begin(), journal_.end(), [](const auto& entry) {
        return !entry.second.Key.empty() || entry.second.Deaths > 0 || !entry.second.Read;
    });
}

std::vector<std::int32_t> TReadLedger::TakeListing(const std::vector<std::int32_t>& numbers, bool byUid,
                                                   const std::map<int, std::string>& uids) {
    numbers_ = numbers;
    byUid_ = byUid;
    std::vector<std::int32_t> passedBy;
    skipped_.assign(numbers_.size(), false);
    for (std::size_t k = 0; byUid_ && k < numbers_.size(); ++k) {
        const auto id = uids.find(numbers_[k]);
        ids_.push_back(id != uids.end() ? id->second : std::string());
        if (id == uids.end()) {
            skipped_[k] = true;
            passedBy.push_back(numbers_[k]);
        }
    }
    if (!byUid_) {
        // Kept by numbers from now on: an id list left from earlier would miss the mails
        // fetched meanwhile, so a server that offers UIDL again starts over from the numbers.
        std::remove(kUidListFile);
        uidFileFound_ = false;
        journal_.clear();
    }
    return passedBy;
}

const std::string& TReadLedger::IdAt(int position) const {
    static const std::string none;
    return position >= 1 && static_cast<std::size_t>(position) <= ids_.size()
               ? ids_[static_cast<std::size_t>(position - 1)]
               : none;
}

TJournalEntry* TReadLedger::EntryAt(int position) {
    const auto j = byUid_ ? journal_.find(IdAt(position)) : journal_.end();
    return j != journal_.end() ? &j->second : nullptr;
}

std::set<std::string> TReadLedger::UndurableKeys() const {
    std::set<std::string> wanted;
    for (const std::string& id : ids_)
        if (const auto j = journal_.find(id); j != journal_.end() && j->second.Read && !j->second.Key.empty())
            wanted.insert(j->second.Key);
    return wanted;
}

int TReadLedger::ForgetMissing(const std::set<std::string>& found) {
    int again = 0;
    for (const std::string& id : ids_)
        if (const auto j = journal_.find(id);
            j != journal_.end() && j->second.Read && !j->second.Key.empty() && !found.count(j->second.Key)) {
            j->second.Read = false;
            j->second.Due = false;
            j->second.Key.clear();
            ++again;
        }
    return again;
}

void TReadLedger::SortOutKnown() {
    // The number list follows the ids, so that a later run without UIDL finds it up to date.
    known_.assign(numbers_.size(), false);
    for (std::size_t k = 0; k < numbers_.size(); ++k) {
        const std::int32_t Msg = numbers_[k];
        bool read = skipped_[k];
        if (read) {
        } else if (uidFileFound_) {
            TJournalEntry& e = journal_[ids_[k]];
            e.Seen = true;
            read = e.Read;
            if (read && !IsMessageRead(readList_, Msg))
                AddReadMessage(readList_, Msg);
        } else {
            read = IsMessageRead(readList_, Msg);
            if (byUid_) {
                TJournalEntry& e = journal_[ids_[k]];
                e.Seen = true;
                e.Read = e.Read || read;
            }
        }
        known_[k] = read;
    }
}

bool TReadLedger::Known(int position) const {
    return position >= 1 && position <= Mails() && known_[static_cast<std::size_t>(position - 1)];
}

int TReadLedger::UnreadFrom(int from) const {
    while (from <= Mails() && known_[static_cast<std::size_t>(from - 1)])
        ++from;
    return from;
}

void TReadLedger::Start() {
    // Mails stored while deletion was on and not yet deleted: deleted in this session, by the
    // number their id has now.
    dueNow_.clear();
    for (int k = 1; byUid_ && k <= Mails(); ++k)
        if (const TJournalEntry* e = EntryAt(k); e && e->Read && e->Due)
            dueNow_.push_back(k);
    // The lists are written before the first mail is fetched: a disk that cannot take them now
    // would not take them after the run either, and every mail stored would come again with
    // the next one. From then on the id list is the run's journal.
    writable_ = false;
    const bool work = UnreadFrom(1) <= Mails() || unclean_ || !dueNow_.empty();
    if (!work) {
        writable_ = true;
        return;
    }
    Save();
    if (byUid_) {
        listFile_ = kUidListFile;
        journalFile_.Open(kUidListFile);
        syncedAt_ = std::chrono::steady_clock::now();
    }
    writable_ = true;
}

bool TReadLedger::Poisoned(int position) const {
    const auto j = byUid_ ? journal_.find(IdAt(position)) : journal_.end();
    return j != journal_.end() && j->second.Deaths >= 2;
}

bool TReadLedger::Begins(int position) {
    // Noted before the mail is fetched, as the parse may be what never ends; settled by its
    // journal line, or by a note that it ended without a store.
    return !byUid_ || Journalize(JournalNoteLine(IdAt(position), true));
}

void TReadLedger::EndedUnstored(int position) {
    if (!byUid_ || IdAt(position).empty())
        return;
    journal_[IdAt(position)].Deaths = 0;
    Journalize(JournalNoteLine(IdAt(position), false));
}

bool TReadLedger::InDoubt(int position, const std::string& key) {
    bool doubt = false;
    if (const auto k = inDoubt_.find(key); k != inDoubt_.end()) {
        inDoubt_.erase(k);
        doubt = true;
    }
    if (const TJournalEntry* e = EntryAt(position); e && e->Deaths > 0)
        doubt = true;
    return doubt;
}

bool TReadLedger::Stored(int position, std::int32_t Msg, const std::string& key, bool due) {
    AddReadMessage(readList_, Msg);
    if (!byUid_)
        return true;
    const std::string& id = IdAt(position);
    TJournalEntry& e = journal_[id];
    e.Read = true;
    e.Seen = true;
    e.Key = key;
    e.Due = due;
    e.Deaths = 0;
    return Journalize(JournalStoredLine(id, key, due));
}

void TReadLedger::StoreUnanswered(int position, const std::string& key) {
    // The host was lost in this mail's store: that counts as an abnormal end in it, and its
    // note stays.
    inDoubt_[key] = true;
    if (TJournalEntry* e = EntryAt(position))
        ++e->Deaths;
}

void TReadLedger::DeletionTaken(int position, std::int32_t Msg) {
    deleted_.push_back(Msg);
    if (byUid_)
        deletedIds_.insert(IdAt(position));
}

bool TReadLedger::Journalize(const std::string& lines) {
    if (!journalFile_.IsOpen() || broken_)
        return false;
    try {
        journalFile_.Append(lines);
        const auto now = std::chrono::steady_clock::now();
        if (journalFile_.Unsynced() >= JournalSyncLines || now - syncedAt_ >= JournalSyncAfter) {
            journalFile_.Sync();
            syncedAt_ = now;
        }
        return true;
    } catch (const std::exception& e) {
        // Nothing more is fetched: a mail stored from now on could not be recorded.
        broken_ = true;
        if (OnJournalBroken)
            OnJournalBroken(e);
        return false;
    }
}

void TReadLedger::Sync() {
    listFile_ = kUidListFile;
    journalFile_.Sync();
}

void TReadLedger::SessionEnded(bool areaClosed, bool deletionsDone) {
    if (deletionsDone && !deleted_.empty())
        renumberAfterDeletion(readList_, std::move(deleted_));
    deleted_.clear();
    // What the host made durable at the close is kept as bare ids; the deletions QUIT
    // committed are due no more.
    for (auto& [id, e] : journal_) {
        if (areaClosed)
            e.Key.clear();
        if (deletionsDone && deletedIds_.count(id))
            e.Due = false;
    }
}

void TReadLedger::Save() {
    listFile_ = kReadListFile;
    SaveReadList(readList_);
    listFile_ = kUidListFile;
    if (byUid_) {
        journalFile_.Close();
        replaceFile(kUidListFile, JournalText(journal_));
    }
    listFile_ = kDoubtListFile;
    if (!inDoubt_.empty())
        SaveUidList(inDoubt_, kDoubtListFile);
    else
        std::remove(kDoubtListFile);
}

} // namespace pb
