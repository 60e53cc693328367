#pragma once
// The read-message list: which mails of the POP3 mailbox were already fetched, by their number
// in the server's listing, so that a retrieval run stores each mail in the host only once while
// the mails stay on the server.
//
// A run loads the list, asks IsMessageRead for every listed number (which marks the numbers still
// listed as Seen), adds the numbers it fetches, and saves the list: the saved file holds exactly
// the Seen entries, so numbers the server no longer lists drop out.
//
// "readmsg.lst": 8-byte records, no header: the number as a little-endian signed 32-bit integer,
// one byte Seen (written 0, ignored on reading) and three bytes of padding (written 0, ignored).
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pb {

inline constexpr const char* kReadListFile = "readmsg.lst";
inline constexpr std::size_t kReadListRecordSize = 8;

struct ReadListEntry {
    std::int32_t MsgNumber = 0;
    bool Seen = false;   // looked up again or fetched during the current run
};

// In file order, then the entries added during the run. Not sorted; duplicates are possible and
// look-up takes the first.
using TReadList = std::vector<ReadListEntry>;

// Appends one entry per record of the file, Seen cleared. A missing file adds nothing. A file
// that ends inside a record keeps the whole records before it and then raises EInOutError
// "Read beyond end of file"; other I/O failures raise EInOutError too.
void LoadReadList(TReadList& ReadList, const std::string& FileName = kReadListFile);

// True when MsgNumber is in the list; the first such entry is marked Seen.
bool IsMessageRead(TReadList& ReadList, std::int32_t MsgNumber);

// Appends MsgNumber, marked Seen.
void AddReadMessage(TReadList& ReadList, std::int32_t MsgNumber);

// Writes one record per Seen entry, in list order, replacing the file atomically (a failed or
// interrupted save leaves the previous file). Raises EInOutError when the file cannot be written.
void SaveReadList(const TReadList& ReadList, const std::string& FileName = kReadListFile);

// ---- The list by unique id ----
// A server that offers UIDL gives every mail an id that stays with it, whatever its number:
// mails deleted or added by another client between runs move the numbers, not the ids. Where
// the server offers it, the run knows its mails by id and keeps the number list only for a
// later run without UIDL.
//
// "readmsg.uid": one id per line as the server gave it (1 to 70 printable ASCII characters),
// each line ended by LF; the user's alone (0600) and replaced atomically.

inline constexpr const char* kUidListFile = "readmsg.uid";

// Id -> Seen (looked up again or fetched during the current run).
using TUidList = std::map<std::string, bool>;

// Adds every id of the file, Seen cleared; false when there is no file. A damaged file (a
// line that is not an id, a last line without LF) raises EInOutError naming the line: taking
// it as empty would fetch every mail of the mailbox again.
bool LoadUidList(TUidList& UidList, const std::string& FileName = kUidListFile);

// True when Uid is in the list; it is marked Seen.
bool IsUidRead(TUidList& UidList, const std::string& Uid);

// Adds Uid, marked Seen.
void AddReadUid(TUidList& UidList, const std::string& Uid);

// Writes the Seen ids, replacing the file atomically. Raises EInOutError.
void SaveUidList(const TUidList& UidList, const std::string& FileName = kUidListFile);

// ---- The id list as a journal ----
// While a run works, "readmsg.uid" is also its journal: each fact is appended as one line the
// moment it holds, so that a kill of the program or of the host at any point neither loses a
// mail nor stores one twice. A line is an id alone, or an id, a blank and what is known of it:
//   ID                the mail is stored in the host for good (what a finished run leaves)
//   ID KEY            stored, the host's copy recognised by KEY (16 hex digits, the stored-mail
//                     key), but not yet made durable by the host: after a power cut it is
//                     looked for in the host before it counts
//   ID KEY del        the same, stored while deletion was on: it is deleted on the server
//   ID del            stored for good, its deletion still due
//   ID ?              the mail's retrieval and store began (written before it is fetched)
//   ID -              it ended without a store (a failure of its own, a cancel)
// An "ID ?" that no later line of the same id settles means the program ended abnormally in
// that mail: the mail is looked for in the host before it is stored again, and a mail in
// which two runs ended so is not converted any more. A last line without its LF (torn by a
// power cut) is dropped. A file of ids alone, as earlier versions wrote it, is a valid journal.

struct TJournalEntry {
    bool Read = false;     // stored in the host
    std::string Key;       // set while the store is not yet known durable
    bool Due = false;      // stored while deletion was on, not yet deleted on the server
    int Deaths = 0;        // unsettled "ID ?" lines: abnormal ends in this mail
    bool Seen = false;     // listed in this session (or added by it)
};
using TJournal = std::map<std::string, TJournalEntry>;

// Reads the journal; false when there is no file. A damaged line other than a torn last one
// raises EInOutError naming the line.
bool LoadJournal(TJournal& Journal, const std::string& FileName = kUidListFile);

// The compacted journal of the Seen entries with anything to keep, as one text for
// replaceFile: durable mails as bare ids (due ones with " del"), stores not yet durable with
// their key, and one "ID ?" per abnormal end still counted.
std::string JournalText(const TJournal& Journal);
// One line of each kind, LF included.
std::string JournalStoredLine(const std::string& Id, const std::string& Key, bool Due);
std::string JournalNoteLine(const std::string& Id, bool Started);

// The journal file open for appending. Every Append is one write of whole lines (a kill of
// the program never tears one); Sync makes them durable (fdatasync). Raises EInOutError.
class TJournalFile {
public:
    TJournalFile() = default;
    ~TJournalFile();
    TJournalFile(const TJournalFile&) = delete;
    TJournalFile& operator=(const TJournalFile&) = delete;

    // Opens an existing file of ours for appending (never through a link).
    void Open(const std::string& FileName = kUidListFile);
    bool IsOpen() const { return fd_ >= 0; }
    void Append(const std::string& Lines);
    // fdatasync when anything was appended since the last one.
    void Sync();
    // Appends since the last sync.
    int Unsynced() const { return unsynced_; }
    void Close();

private:
    int fd_ = -1;
    int unsynced_ = 0;
};

// ---- Stores in doubt ----
// A store whose answer never came (the host died between writing and answering) may or may
// not have reached the host. "readmsg.pnd" keeps a key of each such mail, one per line in the
// format of "readmsg.uid", until the mail comes again: then the host is asked whether it has
// it, so that the mail is stored neither twice nor never.
inline constexpr const char* kDoubtListFile = "readmsg.pnd";

} // namespace pb
