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

// ---- Stores in doubt ----
// A store whose answer never came (the host died between writing and answering) may or may
// not have reached the host. "readmsg.pnd" keeps a key of each such mail, one per line in the
// format of "readmsg.uid", until the mail comes again: then the host is asked whether it has
// it, so that the mail is stored neither twice nor never.
inline constexpr const char* kDoubtListFile = "readmsg.pnd";

} // namespace pb
