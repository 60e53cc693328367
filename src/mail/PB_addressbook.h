#pragma once
// The address book: person's name -> e-mail address, for sending host messages written to a
// name. Edited by the configuration dialog; the sending run and the recipient prompt read it.
// Each user loads its own copy.
//
// "addressbook.lst": 102-byte records, no header: Name and Address, each a length byte (0..50)
// and 50 bytes of Windows-1252 text (bytes behind the text carry no meaning; written as 0).
#include <string>
#include <string_view>
#include <vector>

namespace pb {

inline constexpr const char* kAddressBookFile = "addressbook.lst";
inline constexpr std::size_t kAddressFieldMax = 50;
inline constexpr std::size_t kAddressRecordSize = 2 * (1 + kAddressFieldMax);
// What LookupRecipient gives for a name that is not in the book.
inline constexpr std::string_view kRecipientNotFound = "##";

struct TAddressEntry {
    std::string Name;      // at most 50 bytes once saved or loaded
    std::string Address;

    friend bool operator==(const TAddressEntry&, const TAddressEntry&) = default;
};

// In file order.
using TAddressBook = std::vector<TAddressEntry>;

// Appends the file's records to List in file order. A missing file adds nothing (an empty
// book). A length byte above 50 counts as 50. A file that ends inside a record keeps the whole
// records before it, then raises EInOutError "Read beyond end of file"; other I/O failures
// raise EInOutError too, List then holding what was read so far.
void LoadAddressBook(TAddressBook& List, const std::string& FileName = kAddressBookFile);

// Writes one record per entry in list order, name and address each cut to 50 bytes, replacing
// the file atomically (a failed or interrupted save leaves the previous file). Raises
// EInOutError when the file cannot be written.
void SaveAddressBook(const TAddressBook& List, const std::string& FileName = kAddressBookFile);

// Resolves a recipient for the SMTP component's recipient lists:
//  - a Text containing "@" is an address and comes back unchanged (the book is not searched);
//  - otherwise the first entry whose Name equals Text exactly (case and blanks count) gives
//    Text + " <" + Address + ">";
//  - otherwise kRecipientNotFound ("##").
std::string LookupRecipient(std::string_view Text, const TAddressBook& List);

} // namespace pb
