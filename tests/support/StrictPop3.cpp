#include "support/StrictPop3.h"

#include <algorithm>
#include <vector>

namespace pb::test {
namespace {

bool Number(std::string_view s) {
    return !s.empty() && s.size() <= 10 && s[0] != '0' &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The blank-separated fields after the keyword; an empty field means a doubled or trailing
// blank.
std::vector<std::string_view> Arguments(std::string_view rest) {
    std::vector<std::string_view> args;
    while (!rest.empty()) {
        if (rest[0] != ' ')
            return {std::string_view()};
        rest.remove_prefix(1);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        args.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }
    return args;
}

} // namespace

bool Pop3Command(std::string_view line) {
    if (line.size() > 255 || line.size() < 2 || line.substr(line.size() - 2) != "\r\n")
        return false;
    line.remove_suffix(2);
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return false;
    const std::string_view keyword = line.substr(0, std::min(line.find(' '), line.size()));
    const std::string_view rest = line.substr(keyword.size());
    // The free-text arguments: a user name of one or more octets, a password of any.
    if (keyword == "USER")
        return rest.size() > 1 && rest[0] == ' ';
    if (keyword == "PASS")
        return !rest.empty() && rest[0] == ' ';
    const auto args = Arguments(rest);
    const bool allNumbers = std::all_of(args.begin(), args.end(), Number);
    if (keyword == "STAT" || keyword == "QUIT" || keyword == "CAPA" || keyword == "STLS" ||
        keyword == "UTF8" || keyword == "NOOP" || keyword == "RSET")
        return args.empty();
    if (keyword == "LIST" || keyword == "UIDL")
        return args.size() <= 1 && allNumbers;
    if (keyword == "RETR" || keyword == "DELE")
        return args.size() == 1 && allNumbers;
    if (keyword == "TOP")
        return args.size() == 2 && Number(args[0]) &&
               (args[1] == "0" || Number(args[1]));
    return false;
}

std::string ReadPop3Command(Peer& p, const std::string& capa, std::string* seen) {
    for (;;) {
        std::string line = p.readLine();
        if (line.empty())
            return line;
        if (line == "CAPA\r\n" || !Pop3Command(line)) {
            if (seen)
                *seen += line;
            p.send(line == "CAPA\r\n" ? capa : "-ERR Syntax error\r\n");
            continue;
        }
        return line;
    }
}

} // namespace pb::test
