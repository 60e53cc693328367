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

} // namespace pb
