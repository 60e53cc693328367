// The file store: an area list rewritten aside and renamed into place, and one append-only
// message file per area whose records carry a length and a checksum.
//
// A kill in the middle of an append leaves at most one unfinished record at the end of a
// message file; opening the base finds it by its length or checksum and cuts it off, so
// everything stored before it is kept and nothing half-written is ever read. Flag changes are
// appended as records of their own, so no stored byte is ever overwritten.
#include "Jam.h"
#include "MessageStore.h"

#include "platform/PrivateFiles.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pb::edhost {
namespace {

constexpr char kAreasMagic[8] = {'E', 'D', 'A', 'R', 'E', 'A', 'S', '1'};
constexpr char kMsgsMagic[8] = {'E', 'D', 'M', 'S', 'G', 'S', '0', '1'};
constexpr std::uint32_t kRecordMarker = 0x43524445;   // "EDRC"
constexpr std::uint8_t kKindMessage = 1;
constexpr std::uint8_t kKindFlags = 2;
// A stored record is at most this big; anything claiming more is damage, not a message.
constexpr std::uint32_t kMaxPayload = 64u << 20;

std::uint32_t crc32(const void* data, std::size_t n, std::uint32_t crc = 0) {
    const auto& table = jam::crc32Table();
    crc = ~crc;
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

#pragma pack(push, 1)
struct RecordHead {
    std::uint32_t marker;
    std::uint8_t kind;
    std::uint8_t reserved[3];
    std::uint32_t length;
    std::uint32_t crc;
};
#pragma pack(pop)

template <typename T>
void put(std::string& out, const T& v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

template <typename T>
bool get(std::string_view& in, T& v) {
    if (in.size() < sizeof v)
        return false;
    std::memcpy(&v, in.data(), sizeof v);
    in.remove_prefix(sizeof v);
    return true;
}

bool getShort(std::string_view& in, std::string& s) {
    std::uint8_t len;
    if (!get(in, len) || in.size() < len)
        return false;
    s.assign(in.data(), len);
    in.remove_prefix(len);
    return true;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string readFile(const std::string& path, bool& exists) {
    exists = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    exists = true;
    std::string out;
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

struct Area {
    AreaInfo info;
    std::uint32_t fileId = 0;
    int fd = -1;
    std::vector<StoredMessage> messages;
};

class FileStore final : public MessageStore {
public:
    explicit FileStore(std::string dir) : dir_(std::move(dir)) {
        ::mkdir(dir_.c_str(), 0700);
        tightenMode(dir_, 0700);
        lockFd_ = openLockFile(dir_ + "/lock");
        if (lockFd_ < 0)
            throw StoreError(sysError("cannot open the base in " + dir_));
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0)
            throw StoreError("the base in " + dir_ + " is in use by another edhost");
        bool exists = false;
        std::string list = readFile(dir_ + "/areas.dat", exists);
        if (!exists) {
            // Both areas of a new base appear in one list write, or neither does.
            makeArea({"NETMAIL", "Netmail", 0});
            makeArea({"REPORT", "Local", 0});
            saveAreaList();
            return;
        }
        loadAreaList(list);
        for (auto& a : areas_)
            loadArea(a);
    }

    ~FileStore() override {
        for (auto& a : areas_)
            if (a.fd >= 0)
                ::close(a.fd);
        if (lockFd_ >= 0)
            ::close(lockFd_);
    }

    std::vector<AreaInfo> areas() const override {
        std::vector<AreaInfo> out;
        for (const auto& a : areas_)
            out.push_back(a.info);
        return out;
    }

    std::optional<std::size_t> findArea(std::string_view name) const override {
        for (std::size_t i = 0; i < areas_.size(); ++i)
            if (sameAreaName(areas_[i].info.Name, name))
                return i;
        return std::nullopt;
    }

    std::size_t createArea(const AreaInfo& info) override {
        if (info.Name.empty() || info.Name.size() > 255 || info.Type.size() > 255)
            throw StoreError("bad area name or type");
        if (findArea(info.Name))
            throw StoreError("the area exists");
        makeArea(info);
        try {
            saveAreaList();
        } catch (...) {
            ::close(areas_.back().fd);
            areas_.pop_back();
            throw;
        }
        return areas_.size() - 1;
    }

    std::uint32_t messageCount(std::size_t area) const override {
        return static_cast<std::uint32_t>(areas_.at(area).messages.size());
    }

    const StoredMessage* message(std::size_t area, std::uint32_t number) const override {
        const auto& msgs = areas_.at(area).messages;
        if (number < 1 || number > msgs.size())
            return nullptr;
        return &msgs[number - 1];
    }

    std::uint32_t addMessage(std::size_t area, std::string record) override {
        if (auto problem = recordProblem(record); !problem.empty())
            throw StoreError(problem);
        Area& a = areas_.at(area);
        StoredMessage m;
        m.Number = static_cast<std::uint32_t>(a.messages.size() + 1);
        m.Flags = reinterpret_cast<const TNewMsgHeader*>(record.data())->Flags;
        m.Written = static_cast<std::int64_t>(std::time(nullptr));
        std::string payload;
        put(payload, m.Written);
        put(payload, m.Flags);
        payload += record;
        append(a, kKindMessage, payload);
        m.Record = std::move(record);
        a.messages.push_back(std::move(m));
        return a.messages.back().Number;
    }

    void setFlags(std::size_t area, std::uint32_t number, std::uint16_t flags) override {
        Area& a = areas_.at(area);
        if (number < 1 || number > a.messages.size())
            throw StoreError("no message " + std::to_string(number));
        std::string payload;
        put(payload, number);
        put(payload, flags);
        append(a, kKindFlags, payload);
        a.messages[number - 1].Flags = flags;
    }

    void makeDurable(std::size_t area) override {
        Area& a = areas_.at(area);
        if (::fsync(a.fd) != 0)
            throw StoreError(sysError("cannot sync area " + a.info.Name));
    }

private:
    void makeArea(const AreaInfo& info) {
        Area a;
        a.info = info;
        a.fileId = nextId_++;
        // The message file first: an area file that no list names is harmless, a listed area
        // without its file is not.
        std::string path = areaPath(a.fileId);
        a.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        if (a.fd < 0 || !writeAll(a.fd, std::string_view(kMsgsMagic, 8)) || ::fsync(a.fd) != 0) {
            if (a.fd >= 0)
                ::close(a.fd);
            throw StoreError(sysError("cannot create " + path));
        }
        areas_.push_back(std::move(a));
    }

    std::string areaPath(std::uint32_t id) const {
        char name[32];
        std::snprintf(name, sizeof name, "/area-%04u.msgs", id);
        return dir_ + name;
    }

    // One write per record, so a kill leaves either the whole record or a cut-off tail.
    void append(Area& a, std::uint8_t kind, const std::string& payload) {
        RecordHead h{kRecordMarker, kind, {0, 0, 0}, static_cast<std::uint32_t>(payload.size()),
                     crc32(payload.data(), payload.size())};
        std::string rec;
        rec.reserve(sizeof h + payload.size());
        put(rec, h);
        rec += payload;
        off_t before = ::lseek(a.fd, 0, SEEK_END);
        if (!writeAll(a.fd, rec)) {
            std::string err = sysError("cannot write to area " + a.info.Name);
            // Leave no partial record behind for the next append to bury.
            if (before >= 0 && ::ftruncate(a.fd, before) != 0) {
            }
            throw StoreError(err);
        }
    }

    void saveAreaList() {
        std::string out(kAreasMagic, 8);
        put(out, static_cast<std::uint32_t>(areas_.size()));
        for (const auto& a : areas_) {
            put(out, static_cast<std::uint8_t>(a.info.Name.size()));
            out += a.info.Name;
            put(out, static_cast<std::uint8_t>(a.info.Type.size()));
            out += a.info.Type;
            put(out, a.info.Code);
            put(out, a.fileId);
        }
        put(out, crc32(out.data(), out.size()));
        // Written aside and renamed into place: the list on disk is always the old or the new.
        std::string tmp = dir_ + "/areas.dat.new";
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && writeAll(fd, out) && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!ok || ::rename(tmp.c_str(), (dir_ + "/areas.dat").c_str()) != 0)
            throw StoreError(sysError("cannot write the area list in " + dir_));
        int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
    }

    void loadAreaList(const std::string& data) {
        std::string_view in(data);
        std::uint32_t crc;
        if (in.size() < 16 || std::memcmp(in.data(), kAreasMagic, 8) != 0)
            throw StoreError(dir_ + "/areas.dat is not an area list");
        std::memcpy(&crc, in.data() + in.size() - 4, 4);
        if (crc != crc32(in.data(), in.size() - 4))
            throw StoreError(dir_ + "/areas.dat is damaged (checksum)");
        in.remove_prefix(8);
        in.remove_suffix(4);
        std::uint32_t count;
        get(in, count);
        for (std::uint32_t i = 0; i < count; ++i) {
            Area a;
            if (!getShort(in, a.info.Name) || !getShort(in, a.info.Type) || !get(in, a.info.Code) ||
                !get(in, a.fileId))
                throw StoreError(dir_ + "/areas.dat is damaged");
            nextId_ = std::max(nextId_, a.fileId + 1);
            areas_.push_back(std::move(a));
        }
    }

    void loadArea(Area& a) {
        std::string path = areaPath(a.fileId);
        bool exists = false;
        std::string data = readFile(path, exists);
        if (!exists || data.size() < 8 || std::memcmp(data.data(), kMsgsMagic, 8) != 0)
            throw StoreError(path + " is missing or not a message file");
        std::size_t pos = 8;
        while (pos < data.size()) {
            RecordHead h;
            if (data.size() - pos < sizeof h)
                break;
            std::memcpy(&h, data.data() + pos, sizeof h);
            if (h.marker != kRecordMarker || h.length > kMaxPayload ||
                data.size() - pos - sizeof h < h.length)
                break;
            std::string_view payload(data.data() + pos + sizeof h, h.length);
            if (crc32(payload.data(), payload.size()) != h.crc)
                break;
            if (!applyRecord(a, h.kind, payload))
                break;
            pos += sizeof h + h.length;
        }
        a.fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        if (a.fd < 0)
            throw StoreError(sysError("cannot open " + path));
        if (pos < data.size()) {
            std::fprintf(stderr, "edhost: area %s: cut off %zu bytes of an unfinished write\n",
                         a.info.Name.c_str(), data.size() - pos);
            if (::ftruncate(a.fd, static_cast<off_t>(pos)) != 0)
                throw StoreError(sysError("cannot repair " + path));
        }
    }

    static bool applyRecord(Area& a, std::uint8_t kind, std::string_view payload) {
        if (kind == kKindMessage) {
            StoredMessage m;
            if (!get(payload, m.Written) || !get(payload, m.Flags))
                return false;
            m.Record.assign(payload.data(), payload.size());
            if (!recordProblem(m.Record).empty())
                return false;
            m.Number = static_cast<std::uint32_t>(a.messages.size() + 1);
            a.messages.push_back(std::move(m));
            return true;
        }
        if (kind == kKindFlags) {
            std::uint32_t number;
            std::uint16_t flags;
            if (!get(payload, number) || !get(payload, flags) || number < 1 ||
                number > a.messages.size())
                return false;
            a.messages[number - 1].Flags = flags;
            return true;
        }
        return false;
    }

    std::string dir_;
    int lockFd_ = -1;
    std::vector<Area> areas_;
    std::uint32_t nextId_ = 1;
};

} // namespace

bool sameAreaName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::string recordProblem(std::string_view record) {
    if (record.size() < sizeof(TNewMsgHeader) + 1)
        return "the record is shorter than its header and the text's NUL";
    TNewMsgHeader h;
    std::memcpy(&h, record.data(), sizeof h);
    if (h.Size < 0 || static_cast<std::size_t>(h.Size) != record.size())
        return "the record's Size disagrees with its block";
    if (record.back() != '\0')
        return "the text does not end with a NUL";
    if (h.ToUserName.Len > 35 || h.FromUserName.Len > 35 || h.Subject.Len > 71 ||
        h.AuxText.Len > 71)
        return "a name is longer than its field";
    return {};
}

std::unique_ptr<MessageStore> openFileStore(const std::string& dir) {
    return std::make_unique<FileStore>(dir);
}

} // namespace pb::edhost
