#include "platform/SharedMemory.h"

#include "platform/Session.h"
#include "platform/UnixSockets.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <string_view>
#include <unistd.h>

namespace pb {
namespace {

constexpr std::uint32_t kMarker = 0x53484D31;   // "SHM1"
// A block that exists but whose creator has not yet filled in the header is only being made;
// after this long without a header it counts as left behind by a creator that died there.
constexpr int kUnfinishedLimitSec = 5;

struct Header {
    std::uint32_t marker;
    std::int32_t creatorPid;
    std::uint64_t creatorStart;
    std::uint64_t dataSize;
    std::uint8_t reserved[40];
};
static_assert(sizeof(Header) == 64);

// The block's file in the session's channel folder; empty when the folder is refused.
std::string objectPath(const std::string& name) {
    std::string file = "m-";
    for (char c : name)
        file.push_back(c == '/' ? '_' : c);
    return channelPath(file);
}

// Opens the existing block file: never through a link, and only a plain file of ours that
// nobody else may open.
int openExisting(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

pid_t ownPid() { return ::getpid(); }

std::uint64_t ownStart() {
    static const std::uint64_t start = processStartTime(::getpid());
    return start;
}

// Whether the creator of a block still runs. Every block a host opens asks this, so the start
// time of a live process is remembered for a second instead of read from /proc each time.
bool creatorAlive(pid_t pid, std::uint64_t start) {
    if (pid == ::getpid())
        return start == ownStart() || start == 0;
    struct Seen {
        pid_t pid = 0;
        std::uint64_t start = 0;
        std::chrono::steady_clock::time_point when;
    };
    thread_local std::array<Seen, 8> cache{};
    auto now = std::chrono::steady_clock::now();
    Seen* slot = &cache[static_cast<std::size_t>(pid) % cache.size()];
    if (slot->pid != pid || now - slot->when > std::chrono::seconds(1)) {
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            return false;
        *slot = {pid, processStartTime(pid), now};
    } else if (::kill(pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    return slot->start == 0 || start == 0 || slot->start == start;
}

// Reads the header of an existing block. Returns false when the block is left behind by a
// process that died (the caller removes it and tries again).
bool isLeftBehind(int fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0)
        return false;
    Header h{};
    bool haveHeader = st.st_size >= static_cast<off_t>(sizeof h) &&
                      ::pread(fd, &h, sizeof h, 0) == static_cast<ssize_t>(sizeof h) &&
                      h.marker == kMarker;
    if (!haveHeader) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec - st.st_ctim.tv_sec > kUnfinishedLimitSec;
    }
    return !creatorAlive(h.creatorPid, h.creatorStart);
}

} // namespace

SharedMapping::SharedMapping(const std::string& name, std::size_t size)
    : name_(name), path_(objectPath(name)), size_(size) {
    if (path_.empty())
        return;
    for (int attempt = 0; attempt < 2 && fd_ < 0; ++attempt) {
        int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            std::size_t total = sizeof(Header) + size;
            if (::ftruncate(fd, static_cast<off_t>(total)) != 0) {
                ::close(fd);
                ::unlink(path_.c_str());
                return;
            }
            void* base = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            fd_ = fd;
            created_ = true;
            ownsName_ = true;
            blockSize_ = size;
            struct stat st{};
            if (::fstat(fd, &st) == 0) {
                dev_ = st.st_dev;
                ino_ = st.st_ino;
            }
            if (base == MAP_FAILED)
                return;
            base_ = base;
            mapped_ = total;
            auto* h = static_cast<Header*>(base);
            h->creatorPid = ownPid();
            h->creatorStart = ownStart();
            h->dataSize = size;
            __atomic_store_n(&h->marker, kMarker, __ATOMIC_RELEASE);
            data_ = static_cast<char*>(base) + sizeof(Header);
            return;
        }
        if (errno != EEXIST)
            return;
        fd = openExisting(path_);
        if (fd < 0) {
            if (errno == ENOENT)
                continue;   // removed in between: try to create it again
            return;
        }
        if (attempt == 0 && isLeftBehind(fd)) {
            ::close(fd);
            ::unlink(path_.c_str());
            continue;
        }
        fd_ = fd;
        struct stat st{};
        if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Header)))
            return;
        std::size_t total = static_cast<std::size_t>(st.st_size);
        void* base = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (base == MAP_FAILED)
            return;
        base_ = base;
        mapped_ = total;
        const auto* h = static_cast<const Header*>(base);
        if (__atomic_load_n(&h->marker, __ATOMIC_ACQUIRE) != kMarker)
            return;
        // The recorded size must agree with the object, and cover what the caller asked for.
        std::size_t recorded = static_cast<std::size_t>(h->dataSize);
        if (recorded > total - sizeof(Header))
            return;
        blockSize_ = recorded;
        if (size > recorded)
            return;
        data_ = static_cast<char*>(base) + sizeof(Header);
    }
}

SharedMapping::~SharedMapping() {
    if (base_)
        ::munmap(base_, mapped_);
    if (fd_ >= 0) {
        ::close(fd_);
        if (ownsName_)
            ::unlink(path_.c_str());
    }
}

bool SharedMapping::stillNamed() const {
    if (!ownsName_ || objectPath(name_) != path_)
        return false;   // not ours, or the session has moved to another folder
    struct stat st{};
    return ::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

bool SharedMapping::exists(const std::string& name) {
    struct stat st{};
    std::string path = objectPath(name);
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

void SharedMapping::remove(const std::string& name) {
    if (std::string path = objectPath(name); !path.empty())
        ::unlink(path.c_str());
}

namespace {

// The same object at the path still, by device and inode: not one made there meanwhile.
bool stillThere(const std::string& path, const struct stat& seen) {
    struct stat now{};
    return ::lstat(path.c_str(), &now) == 0 && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino;
}

// A block file whose creator is gone (it may hold mail text of a crashed run).
bool blockLeftBehind(const std::string& path) {
    const int fd = openExisting(path);
    if (fd < 0)
        return false;
    struct stat st{};
    const bool gone = ::fstat(fd, &st) == 0 && isLeftBehind(fd);
    ::close(fd);
    return gone && stillThere(path, st);
}

// A socket file of the given type (a datagram queue, a stream control socket) that no process
// serves any more. The probe does not block: a server too busy to take it counts as alive.
bool socketLeftBehind(const std::string& path, int type) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    sockaddr_un addr;
    socklen_t len = 0;
    if (!unixAddress(path, addr, len))
        return false;
    const int probe = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return false;
    const bool dead = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), len) != 0 && errno == ECONNREFUSED;
    ::close(probe);
    return dead && stillThere(path, st);
}

} // namespace

std::size_t removeLeftovers() {
    const ChannelDir root = channelRoot();
    if (!root.ok)
        return 0;
    std::size_t removed = 0;
    DIR* top = ::opendir(root.path.c_str());
    if (!top)
        return 0;
    while (const dirent* session = ::readdir(top)) {
        const std::string_view name = session->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string folder = root.path + "/" + session->d_name;
        // edhost's control sockets sit beside the session folders, one per base served: each
        // base a killed host served would otherwise keep its socket file for good.
        if (name.substr(0, 4) == "ctl-") {
            if (socketLeftBehind(folder, SOCK_STREAM) && ::unlink(folder.c_str()) == 0)
                ++removed;
            continue;
        }
        // Only the user's own private session folders; anything else there is left alone.
        struct stat st{};
        if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & 077) != 0)
            continue;
        DIR* dir = ::opendir(folder.c_str());
        if (!dir)
            continue;
        while (const dirent* e = ::readdir(dir)) {
            const std::string_view file = e->d_name;
            const std::string path = folder + "/" + e->d_name;
            const bool gone = (file.substr(0, 2) == "m-" && blockLeftBehind(path)) ||
                              (file.substr(0, 2) == "q-" && socketLeftBehind(path, SOCK_DGRAM));
            if (gone && ::unlink(path.c_str()) == 0)
                ++removed;
        }
        ::closedir(dir);
    }
    ::closedir(top);
    return removed;
}

} // namespace pb
