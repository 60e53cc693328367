// The two record-file loaders on arbitrary file contents: whole records load, a partial one is
// an I/O error, fields never exceed their 50 bytes, and what was loaded saves back to the same
// records.
#include "mail/PB_Liste.h"
#include "mail/PB_addressbook.h"

#include "platform/Exceptions.h"

#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

// Memory-backed when the system offers it: every save syncs its file to disk.
std::string scratch(const char* what) {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/pb_fuzz_" + std::to_string(::getpid()) + "_" + what;
}

void put(const std::string& name, const std::uint8_t* data, std::size_t size) {
    std::ofstream(name, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                 static_cast<std::streamsize>(size));
}

std::string get(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file = scratch("records"), copy = scratch("copy");

    put(file, data, size);
    pb::TReadList list;
    bool failed = false;
    try {
        pb::LoadReadList(list, file);
    } catch (const pb::EInOutError&) {
        failed = true;
    }
    if (failed != (size % 8 != 0) || list.size() != size / 8)
        std::abort();
    for (auto& e : list)
        e.Seen = true;
    pb::SaveReadList(list, copy);
    const std::string saved = get(copy);
    for (std::size_t i = 0; i < saved.size(); ++i)
        if (saved[i] != (i % 8 < 4 ? static_cast<char>(data[i]) : '\0'))
            std::abort();

    pb::TAddressBook book;
    failed = false;
    try {
        pb::LoadAddressBook(book, file);
    } catch (const pb::EInOutError&) {
        failed = true;
    }
    if (failed != (size % 102 != 0) || book.size() != size / 102)
        std::abort();
    for (const auto& e : book)
        if (e.Name.size() > 50 || e.Address.size() > 50)
            std::abort();
    pb::SaveAddressBook(book, copy);
    pb::TAddressBook again;
    pb::LoadAddressBook(again, copy);
    if (again != book)
        std::abort();

    ::unlink(file.c_str());
    ::unlink(copy.c_str());
    return 0;
}
