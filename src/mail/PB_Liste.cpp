#include "mail/PB_Liste.h"

#include "mail/RecordFile.h"
#include "net/Pop3Client.h"
#include "platform/Exceptions.h"

#include <algorithm>

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

} // namespace pb
