#pragma once
// The date of an Internet mail, read from its Date: header value: the modern form and the
// obsolete one that older mailers still send (comments anywhere, two- and three-digit years,
// no seconds, zone names such as "GMT" or "EST"), so that a mail is filed under the day it was
// written, not the day it was fetched.
#include <cstdint>
#include <optional>
#include <string_view>

namespace pb::edhost {

struct MailDate {
    std::int64_t Utc = 0;   // seconds since 1970
    int Offset = 0;         // the writer's zone, seconds east of UTC
};

// nullopt when value is not a date-time: a part missing or out of range, or anything after
// the zone but comments and blanks.
std::optional<MailDate> parseMailDate(std::string_view value);

} // namespace pb::edhost
