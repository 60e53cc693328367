#include "support/StrictServers.h"

#include <algorithm>
#include <optional>
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

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// The line without its CRLF, or nullopt when it does not end in CRLF alone, holds another
// CR, LF or NUL, or is longer than `limit` octets.
std::optional<std::string_view> Body(std::string_view line, std::size_t limit) {
    if (line.size() > limit || line.size() < 2 || line.substr(line.size() - 2) != "\r\n")
        return std::nullopt;
    line.remove_suffix(2);
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return std::nullopt;
    return line;
}

// "<path>" with nothing blank or angled inside, then optionally parameters after one blank.
bool PathAndParameters(std::string_view rest) {
    if (rest.empty() || rest[0] != '<')
        return false;
    const std::size_t close = rest.find('>');
    if (close == std::string_view::npos ||
        rest.substr(1, close - 1).find_first_of(" <\t") != std::string_view::npos)
        return false;
    const std::string_view params = rest.substr(close + 1);
    return params.empty() || (params.size() > 1 && params[0] == ' ' && params[1] != ' ' &&
                              params.back() != ' ');
}

} // namespace

bool Pop3Command(std::string_view line) {
    const auto body = Body(line, 255);
    if (!body)
        return false;
    line = *body;
    const std::string keyword = Upper(line.substr(0, std::min(line.find(' '), line.size())));
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
        const bool capaAsked = Upper(line) == "CAPA\r\n";
        if (capaAsked || !Pop3Command(line)) {
            if (seen)
                *seen += line;
            p.send(capaAsked ? capa : "-ERR Syntax error\r\n");
            continue;
        }
        return line;
    }
}

bool SmtpCommand(std::string_view line) {
    const auto body = Body(line, 512);
    if (!body)
        return false;
    line = *body;
    const std::string upper = Upper(line);
    const std::string keyword = upper.substr(0, std::min(upper.find(' '), upper.size()));
    const std::string_view rest = line.substr(keyword.size());
    if (keyword == "HELO" || keyword == "EHLO")
        return rest.size() > 1 && rest[0] == ' ' && rest.find(' ', 1) == std::string_view::npos;
    if (keyword == "DATA" || keyword == "RSET" || keyword == "QUIT" || keyword == "STARTTLS")
        return rest.empty();
    if (keyword == "NOOP")
        return rest.empty() || (rest.size() > 1 && rest[0] == ' ');
    if (upper.starts_with("MAIL FROM:"))
        return PathAndParameters(line.substr(10));
    if (upper.starts_with("RCPT TO:"))
        return PathAndParameters(line.substr(8));
    if (keyword == "AUTH") {
        const auto args = Arguments(rest);
        return (args.size() == 1 || args.size() == 2) &&
               std::none_of(args.begin(), args.end(), [](std::string_view a) { return a.empty(); });
    }
    return false;
}

std::string ReadSmtpCommand(Peer& p, std::string* seen) {
    for (;;) {
        std::string line = p.readLine();
        if (line.empty() || SmtpCommand(line))
            return line;
        if (seen)
            *seen += line;
        p.send("500 5.5.2 Syntax error\r\n");
    }
}

} // namespace pb::test
