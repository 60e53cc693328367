#include "platform/Session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
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

namespace {

// Makes the folder 0700 when it is missing, then checks that it is a folder (not a link to
// one) of ours that nobody else may enter.
bool privateFolder(const std::string& path, ChannelDir& out) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        out.refused = path;
        out.error = errno;
        return false;
    }
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) {
        out.refused = path;
        out.error = errno;
        return false;
    }
    out.owner = st.st_uid;
    out.mode = st.st_mode & 07777;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        out.refused = path;
        return false;
    }
    return true;
}

std::string findRootPath() {
    const uid_t uid = ::geteuid();
    const std::string run = "/run/user/" + std::to_string(uid);
    struct stat st{};
    if (::lstat(run.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
        (st.st_mode & 07777) == 0700)
        return run + "/edapi";
    // Shared blocks are made and removed for every command; on a disk file system that costs
    // a journalled create and delete each time (it halved the retrieval rate), in memory it
    // does not. /dev/shm is shared by all users like /tmp, and the folder is checked alike.
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX))
        return "/dev/shm/edapi-" + std::to_string(uid);
    return "/tmp/edapi-" + std::to_string(uid);
}

std::string rootPath() {
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        return std::string(xdg) + "/edapi";
    // Every message posted asks for it: the folders are looked at once per process.
    static const std::string found = findRootPath();
    return found;
}

} // namespace

ChannelDir channelRoot() {
    ChannelDir d;
    d.path = rootPath();
    d.ok = privateFolder(d.path, d);
    return d;
}

ChannelDir channelDirectory() {
    // Checked folders are remembered: every message posted asks for its path.
    static std::mutex lock;
    static std::map<std::string, std::string> checked;   // root + session -> session folder
    const std::string root = rootPath();
    const std::string key = root + '\n' + sessionName();
    {
        std::lock_guard<std::mutex> g(lock);
        if (auto it = checked.find(key); it != checked.end()) {
            ChannelDir d;
            d.path = it->second;
            d.ok = true;
            return d;
        }
    }
    ChannelDir d = channelRoot();
    d.path = root + "/" + sessionName();
    if (!d.ok)
        return d;
    d.ok = privateFolder(d.path, d);
    if (d.ok) {
        std::lock_guard<std::mutex> g(lock);
        checked[key] = d.path;
    }
    return d;
}

std::string channelPath(const std::string& name) {
    ChannelDir d = channelDirectory();
    return d.ok ? d.path + "/" + name : std::string();
}

std::string userName(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

std::string channelProblem(const ChannelDir& dir) {
    if (dir.ok)
        return {};
    if (dir.error)
        return dir.refused + ": " + std::strerror(dir.error);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(dir.mode));
    return dir.refused + " belongs to " + userName(dir.owner) + " (uid " +
           std::to_string(dir.owner) + "), mode " + mode +
           "; the channel folder must be the user's own and closed to others";
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

bool threadOfProcess(pid_t pid, std::uint32_t tid) {
    if (tid == 0 || pid <= 0)
        return false;
    if (static_cast<std::uint32_t>(pid) == tid)
        return true;   // the main thread
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%u", static_cast<int>(pid), tid);
    struct stat st{};
    return ::stat(path, &st) == 0;
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
