#include "mail/PB_addressbook.h"

#include "platform/Exceptions.h"
#include "support/FileBytes.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>

namespace pb {
namespace {

namespace fs = std::filesystem;

class AddressBook : public testing::Test {
protected:
    QTemporaryDir dir_;
    const std::string file_ = dir_.filePath(kAddressBookFile).toStdString();

    std::string bytes() const { return test::readBytes(file_); }
    void write(const std::string& b) const { test::writeBytes(file_, b); }

};

TEST_F(AddressBook, SaveAndLoadCutFieldsToFiftyBytes) {
    const std::string longName(60, 'N'), longAddr = std::string(55, 'a') + "@x.de";
    TAddressBook book{{"Hans M\xFCller", "hans@example.org"}, {longName, longAddr}, {"", ""}};
    SaveAddressBook(book, file_);
    const std::string b = bytes();
    ASSERT_EQ(b.size(), 3 * kAddressRecordSize);
    EXPECT_EQ(b.substr(0, 12), "\x0BHans M\xFCller");
    EXPECT_EQ(static_cast<unsigned char>(b[51]), 16);
    EXPECT_EQ(b.substr(52, 16), "hans@example.org");
    TAddressBook loaded;
    LoadAddressBook(loaded, file_);
    EXPECT_EQ(loaded, (TAddressBook{{"Hans M\xFCller", "hans@example.org"},
                                    {longName.substr(0, 50), longAddr.substr(0, 50)},
                                    {"", ""}}));
}

TEST_F(AddressBook, LoadingAppendsAndClampsLengthBytes) {
    std::string record(kAddressRecordSize, 'x');
    record[0] = '\xFF';   // a length no field can hold
    record[51] = '\x03';
    write(record);
    TAddressBook book{{"first", "f@x"}};
    LoadAddressBook(book, file_);
    ASSERT_EQ(book.size(), 2u);
    EXPECT_EQ(book[1].Name, std::string(50, 'x'));
    EXPECT_EQ(book[1].Address, "xxx");
    TAddressBook none;
    LoadAddressBook(none, dir_.filePath("absent.lst").toStdString());
    EXPECT_TRUE(none.empty());
}

TEST_F(AddressBook, PartialRecordKeepsWholeOnesThenReadBeyondEndOfFile) {
    SaveAddressBook({{"a", "a@x"}, {"b", "b@x"}}, file_);
    const std::string full = bytes() + "z";   // 205 bytes: two records and one byte
    for (std::size_t len : {1, 101, 103, 203, 205}) {
        SCOPED_TRACE(len);
        write(full.substr(0, len));
        TAddressBook book;
        try {
            LoadAddressBook(book, file_);
            ADD_FAILURE() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_STREQ(e.what(), "Read beyond end of file");
        }
        EXPECT_EQ(book.size(), len / kAddressRecordSize);
    }
}

TEST_F(AddressBook, SaveReplacesTheFileWholeOrNotAtAll) {
    SaveAddressBook({{"a", "a@x"}}, file_);
    fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write);
    SaveAddressBook({{"a", "a@x"}}, file_);
    EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const std::string before = bytes();
    fs::create_directory(file_ + ".new");
    EXPECT_THROW(SaveAddressBook({{"b", "b@x"}}, file_), EInOutError);
    EXPECT_EQ(bytes(), before);
}

TEST(LookupRecipient, NamesAddressesAndMisses) {
    const TAddressBook book{{"Hans", "hans@a.de"}, {"Hans", "second@b.de"}, {"x@y", "never@c.de"},
                            {"Leer", ""}};
    const struct {
        const char* text;
        const char* result;
    } cases[] = {
        {"Hans", "Hans <hans@a.de>"},          // the first of two entries wins
        {"hans", "##"},                        // case counts
        {"Hans ", "##"},                       // so do blanks
        {"x@y", "x@y"},                        // an address is never looked up
        {"Hans <h@a.de>", "Hans <h@a.de>"},
        {"Leer", "Leer <>"},
        {"", "##"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LookupRecipient(c.text, book), c.result) << c.text;
    EXPECT_EQ(LookupRecipient("Hans", {}), "##");
}

} // namespace
} // namespace pb
