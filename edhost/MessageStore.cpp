#include "MessageStore.h"

#include <cstring>

namespace pb::edhost {

bool sameAreaName(std::string_view a, std::string_view b) {
    // ASCII only: the names are Windows-1252, whose upper half has no case folding we could
    // agree on with the plug-in.
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::string recordProblem(std::string_view record) {
    if (record.size() < sizeof(TNewMsgHeader) + 1)
        return "the record is shorter than its header and the text's NUL";
    TNewMsgHeader h;
    std::memcpy(&h, record.data(), sizeof h);
    if (h.Size < 0 || static_cast<std::size_t>(h.Size) != record.size())
        return "the record's Size disagrees with its block";
    if (record.back() != '\0')
        return "the text does not end with a NUL";
    if (h.ToUserName.Len > 35 || h.FromUserName.Len > 35 || h.Subject.Len > 71 ||
        h.AuxText.Len > 71)
        return "a name is longer than its field";
    return {};
}

} // namespace pb::edhost
