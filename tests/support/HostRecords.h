#pragma once
// What a test's host holds, read through `edhost list` and `edhost dump --raw`.
#include "support/EdhostProcess.h"

#include "host/EDAPICommon.h"

#include <map>
#include <string>
#include <vector>

namespace pb::test {

// One record of an area as the host stores it.
struct StoredMail {
    TNewMsgHeader h{};
    std::string text;   // without its NUL
};

// Record n (from 1) of the area; a record too short for its header fails the test and comes
// back empty.
StoredMail storedMail(const EdhostProcess& host, long n, const std::string& area = "EMAIL");
// Every record of the area, in order.
std::vector<StoredMail> storedMails(const EdhostProcess& host, const std::string& area = "EMAIL");
// How often each subject is in the host's "EMAIL".
std::map<std::string, int> hostSubjects(const EdhostProcess& host);

} // namespace pb::test
