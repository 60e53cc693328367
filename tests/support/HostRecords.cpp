#include "support/HostRecords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

namespace pb::test {

StoredMail storedMail(const EdhostProcess& host, long n, const std::string& area) {
    const std::string rec = host.run({"dump", area, std::to_string(n), "--raw"});
    StoredMail s;
    if (rec.size() < sizeof s.h + 1) {
        ADD_FAILURE() << area << " record " << n << " is " << rec.size() << " bytes";
        return s;
    }
    std::memcpy(&s.h, rec.data(), sizeof s.h);
    s.text = rec.substr(sizeof s.h, rec.size() - sizeof s.h - 1);
    return s;
}

std::vector<StoredMail> storedMails(const EdhostProcess& host, const std::string& area) {
    const std::string list = host.run({"list", area});
    const long count = std::count(list.begin(), list.end(), '\n');
    std::vector<StoredMail> out;
    for (long n = 1; n <= count; ++n)
        out.push_back(storedMail(host, n, area));
    return out;
}

std::map<std::string, int> hostSubjects(const EdhostProcess& host) {
    std::map<std::string, int> out;
    std::istringstream list(host.run({"list", "EMAIL"}));
    for (std::string line; std::getline(list, line);)
        ++out[line.substr(line.rfind("  ") + 2)];
    return out;
}

} // namespace pb::test
