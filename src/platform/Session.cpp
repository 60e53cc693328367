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
#include <vector>

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

// Where the channel folder belongs when nobody is in the way.
std::string primaryRootPath() {
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        return std::string(xdg) + "/edapi";
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

// The last resort when someone else holds the shared names: a folder in the user's cache. The
// host name is in its name, since a home folder may be shared over NFS with other machines,
// whose programs must not meet ours.
std::string cacheRootPath() {
    std::string cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') {
        cache = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/')
            return {};
        cache = std::string(home) + "/.cache";
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || !host[0])
        std::snprintf(host, sizeof host, "localhost");
    for (char* c = host; *c; ++c)
        if (*c == '/')
            *c = '_';
    return cache + "/edapi-" + host;
}

bool ownPrivateFolder(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

constexpr int kSpareRoots = 9;   // <primary>.1 .. <primary>.9 beside the primary folder

// The channel folder the user's programs meet in. When the primary one is held by someone else
// (a folder, a link or a file of another user), the same rule in every program of the user
// picks another: the first of primary, primary.1 .. primary.9 and the cache folder that
// already is the user's own private folder, else the first of them that can be made. A held
// name is only looked at (lstat), never entered.
ChannelDir resolveRoot(const std::string& primary) {
    std::vector<std::string> candidates{primary};
    for (int n = 1; n <= kSpareRoots; ++n)
        candidates.push_back(primary + "." + std::to_string(n));
    if (std::string cache = cacheRootPath(); !cache.empty())
        candidates.push_back(cache);

    ChannelDir first;     // the primary folder's refusal, when it is refused
    first.path = primary;
    std::size_t chosen = candidates.size();
    for (std::size_t i = 0; i < candidates.size() && chosen == candidates.size(); ++i)
        if (ownPrivateFolder(candidates[i]))
            chosen = i;
    for (std::size_t i = 0; i < candidates.size() && chosen == candidates.size(); ++i) {
        ChannelDir probe;
        probe.path = candidates[i];
        if (i == candidates.size() - 1 && i > kSpareRoots) {
            // The cache folder is made like the user folder: private when it is new.
            const std::string parent = candidates[i].substr(0, candidates[i].rfind('/'));
            ::mkdir(parent.c_str(), 0700);
        }
        if (privateFolder(candidates[i], probe))
            chosen = i;
        else if (i == 0)
            first = probe;
    }
    if (chosen == candidates.size())
        return first;   // nothing usable: the primary folder's refusal
    ChannelDir d;
    d.path = candidates[chosen];
    d.ok = true;
    if (chosen > 0) {
        // Name the folder that was passed by (the primary one when it is someone else's).
        struct stat st{};
        if (::lstat(primary.c_str(), &st) == 0) {
            d.passedBy = primary;
            d.passedOwner = st.st_uid;
            d.passedMode = st.st_mode & 07777;
        } else if (!first.refused.empty()) {
            d.passedBy = first.refused;
            d.passedError = first.error;
        }
    }
    return d;
}

ChannelDir rootFolder() {
    // Every message posted asks for it: a folder chosen is kept per primary path (tests switch
    // XDG_RUNTIME_DIR between runs); a refusal is looked at anew on every call.
    static std::mutex lock;
    static std::map<std::string, ChannelDir> chosen;
    const std::string primary = primaryRootPath();
    {
        std::lock_guard<std::mutex> g(lock);
        if (auto it = chosen.find(primary); it != chosen.end())
            return it->second;
    }
    ChannelDir d = resolveRoot(primary);
    if (d.ok) {
        std::lock_guard<std::mutex> g(lock);
        chosen[primary] = d;
    }
    return d;
}

} // namespace

ChannelDir channelRoot() {
    ChannelDir d = rootFolder();
    if (d.ok)
        d.ok = privateFolder(d.path, d);   // made again when it was removed meanwhile
    return d;
}

ChannelDir channelDirectory() {
    // Checked folders are remembered: every message posted asks for its path.
    static std::mutex lock;
    static std::map<std::string, std::string> checked;   // root + session -> session folder
    const ChannelDir rootDir = rootFolder();
    const std::string key = rootDir.path + '\n' + sessionName();
    if (rootDir.ok) {
        std::lock_guard<std::mutex> g(lock);
        if (auto it = checked.find(key); it != checked.end()) {
            ChannelDir d = rootDir;
            d.path = it->second;
            return d;
        }
    }
    ChannelDir d = channelRoot();
    if (!d.ok)
        return d;
    d.path += "/" + sessionName();
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

ChannelDir passedByAccount(const ChannelDir& dir) {
    ChannelDir p;
    p.path = p.refused = dir.passedBy;
    p.owner = dir.passedOwner;
    p.mode = dir.passedMode;
    p.error = dir.passedError;
    return p;
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
