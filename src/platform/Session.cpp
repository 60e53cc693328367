#include "platform/Session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <unistd.h>

namespace pb {

std::string sessionName() {
    std::string raw;
    if (const char* env = std::getenv("EDAPI_SESSION"); env && *env)
        raw = env;
    else
        raw = "u" + std::to_string(::getuid());
    std::string out;
    for (char c : raw) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.';
        out.push_back(ok ? c : '_');
        if (out.size() == 64)
            break;
    }
    return out;
}

std::uint32_t currentThreadId() {
    thread_local std::uint32_t tid = static_cast<std::uint32_t>(::gettid());
    return tid;
}

std::string threadIdHex(std::uint32_t tid) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", tid);
    return buf;
}

std::uint64_t processStartTime(pid_t pid) {
    if (pid <= 0)
        return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return 0;
    // The command name in parentheses may hold blanks; the fields after it are plain.
    auto close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    // Field 3 (state) is the first after the name; the start time is field 22.
    for (int i = 3; i <= 22; ++i)
        if (!(rest >> field))
            return 0;
    return std::strtoull(field.c_str(), nullptr, 10);
}

bool processAlive(pid_t pid, std::uint64_t startTime) {
    if (pid <= 0)
        return false;
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return false;
    if (startTime == 0)
        return true;
    std::uint64_t now = processStartTime(pid);
    // A zombie or an unreadable /proc entry still counts as the same process.
    return now == 0 || now == startTime;
}

} // namespace pb
