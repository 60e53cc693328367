#include "mail/PB_addressbook.h"

#include "mail/RecordFile.h"

#include <algorithm>

namespace pb {
namespace {

// A length byte and 50 bytes. The length is never trusted beyond the field.
std::string readField(const unsigned char* field) {
    std::size_t len = std::min<std::size_t>(field[0], kAddressFieldMax);
    return std::string(reinterpret_cast<const char*>(field + 1), len);
}

void writeField(std::string& out, std::string_view text) {
    std::size_t len = std::min(text.size(), kAddressFieldMax);
    out.push_back(static_cast<char>(len));
    out.append(text.substr(0, len));
    out.append(kAddressFieldMax - len, '\0');
}

} // namespace

void LoadAddressBook(TAddressBook& List, const std::string& FileName) {
    readRecords(FileName, kAddressRecordSize, [&](const unsigned char* r) {
        List.push_back({readField(r), readField(r + 1 + kAddressFieldMax)});
    });
}

void SaveAddressBook(const TAddressBook& List, const std::string& FileName) {
    std::string bytes;
    bytes.reserve(List.size() * kAddressRecordSize);
    for (const auto& e : List) {
        writeField(bytes, e.Name);
        writeField(bytes, e.Address);
    }
    replaceFile(FileName, bytes);
}

std::string LookupRecipient(std::string_view Text, const TAddressBook& List) {
    if (Text.find('@') != std::string_view::npos)
        return std::string(Text);
    for (const auto& e : List)
        if (e.Name == Text)
            return std::string(Text) + " <" + e.Address + ">";
    return std::string(kRecipientNotFound);
}

} // namespace pb
