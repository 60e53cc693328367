#include "mail/PB_Liste.h"

#include "mail/RecordFile.h"
#include "net/Pop3Client.h"
#include "platform/Exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pb {

void LoadReadList(TReadList& ReadList, const std::string& FileName) {
    readRecords(FileName, kReadListRecordSize, [&](const unsigned char* r) {
        std::uint32_t v = std::uint32_t(r[0]) | std::uint32_t(r[1]) << 8 | std::uint32_t(r[2]) << 16 |
                          std::uint32_t(r[3]) << 24;
        ReadList.push_back({static_cast<std::int32_t>(v), false});
    });
}

bool IsMessageRead(TReadList& ReadList, std::int32_t MsgNumber) {
    auto it = std::find_if(ReadList.begin(), ReadList.end(),
                           [&](const ReadListEntry& e) { return e.MsgNumber == MsgNumber; });
    if (it == ReadList.end())
        return false;
    it->Seen = true;
    return true;
}

void AddReadMessage(TReadList& ReadList, std::int32_t MsgNumber) {
    ReadList.push_back({MsgNumber, true});
}

void SaveReadList(const TReadList& ReadList, const std::string& FileName) {
    std::string bytes;
    bytes.reserve(ReadList.size() * kReadListRecordSize);
    for (const auto& e : ReadList) {
        if (!e.Seen)
            continue;
        auto v = static_cast<std::uint32_t>(e.MsgNumber);
        char record[kReadListRecordSize] = {static_cast<char>(v), static_cast<char>(v >> 8),
                                            static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
        bytes.append(record, sizeof record);
    }
    replaceFile(FileName, bytes);
}

bool LoadUidList(TUidList& UidList, const std::string& FileName) {
    std::string bytes;
    if (!readWholeFile(FileName, bytes))
        return false;
    std::size_t start = 0;
    for (int line = 1; start < bytes.size(); ++line) {
        const std::size_t end = bytes.find('\n', start);
        const std::string_view id = std::string_view(bytes).substr(start, end == std::string::npos ? end : end - start);
        if (end == std::string::npos || !ValidUniqueId(id))
            throw EInOutError("Invalid data in line " + std::to_string(line));
        UidList.emplace(std::string(id), false);
        start = end + 1;
    }
    return true;
}

bool IsUidRead(TUidList& UidList, const std::string& Uid) {
    auto it = UidList.find(Uid);
    if (it == UidList.end())
        return false;
    it->second = true;
    return true;
}

void AddReadUid(TUidList& UidList, const std::string& Uid) {
    UidList[Uid] = true;
}

void SaveUidList(const TUidList& UidList, const std::string& FileName) {
    std::string bytes;
    for (const auto& [id, seen] : UidList)
        if (seen)
            bytes.append(id).push_back('\n');
    replaceFile(FileName, bytes);
}

namespace {

bool IsKey(std::string_view word) {
    return word.size() == 16 && std::all_of(word.begin(), word.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

[[noreturn]] void journalError(int err) {
    switch (err) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG: throw EInOutError("Disk full");
    case EACCES:
    case EPERM:
    case EROFS: throw EInOutError("File access denied");
    default: throw EInOutError(std::strerror(err));
    }
}

} // namespace

bool LoadJournal(TJournal& Journal, const std::string& FileName) {
    std::string bytes;
    if (!readWholeFile(FileName, bytes))
        return false;
    // A last line without its LF was cut by a power cut while it was written: it never held.
    bytes.resize(bytes.rfind('\n') == std::string::npos ? 0 : bytes.rfind('\n') + 1);
    std::size_t start = 0;
    for (int line = 1; start < bytes.size(); ++line) {
        const std::size_t end = bytes.find('\n', start);
        const std::string_view text = std::string_view(bytes).substr(start, end - start);
        start = end + 1;
        std::string_view words[3];
        std::size_t n = 0, at = 0;
        for (; n < 3 && at <= text.size(); ++n) {
            const std::size_t blank = std::min(text.find(' ', at), text.size());
            words[n] = text.substr(at, blank - at);
            at = blank + 1;
        }
        const bool ok = at > text.size() && ValidUniqueId(words[0]) &&
                        (n == 1 || (n == 2 && (IsKey(words[1]) || words[1] == "del" || words[1] == "?" ||
                                               words[1] == "-")) ||
                         (n == 3 && IsKey(words[1]) && words[2] == "del"));
        if (!ok)
            throw EInOutError("Invalid data in line " + std::to_string(line));
        TJournalEntry& e = Journal[std::string(words[0])];
        if (n == 2 && words[1] == "?") {
            ++e.Deaths;
        } else if (n == 2 && words[1] == "-") {
            e.Deaths = 0;
        } else {
            e.Read = true;
            e.Deaths = 0;
            e.Key = n >= 2 && IsKey(words[1]) ? std::string(words[1]) : std::string();
            e.Due = words[n - 1] == "del";
        }
    }
    return true;
}

std::string JournalStoredLine(const std::string& Id, const std::string& Key, bool Due) {
    std::string line = Id;
    if (!Key.empty())
        line.append(" ").append(Key);
    if (Due)
        line.append(" del");
    line.push_back('\n');
    return line;
}

std::string JournalNoteLine(const std::string& Id, bool Started) {
    return Id + (Started ? " ?\n" : " -\n");
}

std::string JournalText(const TJournal& Journal) {
    std::string text;
    for (const auto& [id, e] : Journal) {
        if (!e.Seen)
            continue;
        if (e.Read)
            text += JournalStoredLine(id, e.Key, e.Due);
        for (int i = 0; i < e.Deaths; ++i)
            text += JournalNoteLine(id, true);
    }
    return text;
}

TJournalFile::~TJournalFile() { Close(); }

void TJournalFile::Open(const std::string& FileName) {
    Close();
    fd_ = ::open(FileName.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0)
        journalError(errno);
    unsynced_ = 0;
}

void TJournalFile::Append(const std::string& Lines) {
    if (fd_ < 0)
        throw EInOutError("File not open");
    std::size_t done = 0;
    while (done < Lines.size()) {
        const ssize_t n = ::write(fd_, Lines.data() + done, Lines.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            journalError(n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
    ++unsynced_;
}

void TJournalFile::Sync() {
    if (fd_ < 0 || unsynced_ == 0)
        return;
    if (::fdatasync(fd_) != 0)
        journalError(errno);
    unsynced_ = 0;
}

void TJournalFile::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace pb
