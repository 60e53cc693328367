#include "Jam.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace pb::jam {
namespace {

constexpr char kSignature[4] = {'J', 'A', 'M', '\0'};

std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

void putU16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

std::uint16_t getU16(std::string_view in, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(in[at]) |
                                      static_cast<unsigned char>(in[at + 1]) << 8);
}

bool preadAll(int fd, char* buf, std::size_t n, off_t at) {
    while (n > 0) {
        ssize_t r = ::pread(fd, buf, n, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        buf += r;
        n -= static_cast<std::size_t>(r);
        at += r;
    }
    return true;
}

// file is the base's path, ext the file's extension: joined only for the error.
void pwriteAll(int fd, std::string_view data, off_t at, const std::string& file, const char* ext) {
    while (!data.empty()) {
        ssize_t r = ::pwrite(fd, data.data(), data.size(), at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            throw JamError(sysError("cannot write " + file + ext));
        data.remove_prefix(static_cast<std::size_t>(r));
        at += r;
    }
}

off_t fileSize(int fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0)
        throw JamError(sysError("cannot stat a JAM file"));
    return st.st_size;
}

std::string readWhole(int fd) {
    std::string out(static_cast<std::size_t>(fileSize(fd)), '\0');
    if (!out.empty() && !preadAll(fd, out.data(), out.size(), 0))
        throw JamError(sysError("cannot read a JAM file"));
    return out;
}

bool sizeFits(off_t v) { return v >= 0 && static_cast<std::uint64_t>(v) < 0xFFFFFFFFull; }

} // namespace

const std::array<std::uint32_t, 256>& crc32Table() {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

std::uint32_t crc(std::string_view data) {
    const auto& table = crc32Table();
    std::uint32_t c = 0xFFFFFFFF;
    for (unsigned char b : data) {
        if (b >= 'A' && b <= 'Z')
            b = static_cast<unsigned char>(b - 'A' + 'a');
        c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    }
    return c;
}

void putU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t getU32(std::string_view in, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return v;
}

const std::string* MsgHeader::find(std::uint16_t loId) const {
    for (const auto& s : Subfields)
        if (s.LoID == loId && s.HiID == 0)
            return &s.Data;
    return nullptr;
}

namespace {
// The fields of the header-info block: all a writer changes in it.
constexpr std::size_t kInfoFields = 24;

std::string encodeInfoFields(const BaseInfo& info, std::size_t size) {
    std::string out;
    out.reserve(size);
    out.append(kSignature, 4);
    putU32(out, info.DateCreated);
    putU32(out, info.ModCounter);
    putU32(out, info.ActiveMsgs);
    putU32(out, info.PasswordCRC);
    putU32(out, info.BaseMsgNum);
    out.resize(size, '\0');
    return out;
}
} // namespace

std::string encodeInfo(const BaseInfo& info) { return encodeInfoFields(info, kInfoSize); }

BaseInfo decodeInfo(std::string_view data) {
    if (data.size() < kInfoSize || data.substr(0, 4) != std::string_view(kSignature, 4))
        throw JamError("not a JAM message base (header-info block)");
    BaseInfo i;
    i.DateCreated = getU32(data, 4);
    i.ModCounter = getU32(data, 8);
    i.ActiveMsgs = getU32(data, 12);
    i.PasswordCRC = getU32(data, 16);
    i.BaseMsgNum = getU32(data, 20);
    return i;
}

std::string encodeHeader(const MsgHeader& h) {
    std::size_t subLen = 0;
    for (const auto& s : h.Subfields)
        subLen += 8 + s.Data.size();
    std::string out;
    out.reserve(kFixedHeader + subLen);
    out.append(kSignature, 4);
    putU16(out, h.Revision);
    putU16(out, 0);
    putU32(out, static_cast<std::uint32_t>(subLen));
    for (std::uint32_t v : {h.TimesRead, h.MSGIDcrc, h.REPLYcrc, h.ReplyTo, h.Reply1st, h.ReplyNext,
                            h.DateWritten, h.DateReceived, h.DateProcessed, h.MessageNumber,
                            h.Attribute, h.Attribute2, h.TxtOffset, h.TxtLen, h.PasswordCRC,
                            h.Cost})
        putU32(out, v);
    for (const auto& s : h.Subfields) {
        putU16(out, s.LoID);
        putU16(out, s.HiID);
        putU32(out, static_cast<std::uint32_t>(s.Data.size()));
        out += s.Data;
    }
    return out;
}

std::optional<MsgHeader> decodeHeader(std::string_view data, std::size_t* size) {
    if (data.size() < kFixedHeader || data.substr(0, 4) != std::string_view(kSignature, 4))
        return std::nullopt;
    MsgHeader h;
    h.Revision = getU16(data, 4);
    std::uint32_t subLen = getU32(data, 8);
    std::uint32_t* fields[] = {&h.TimesRead,   &h.MSGIDcrc,      &h.REPLYcrc,      &h.ReplyTo,
                               &h.Reply1st,    &h.ReplyNext,     &h.DateWritten,   &h.DateReceived,
                               &h.DateProcessed, &h.MessageNumber, &h.Attribute,   &h.Attribute2,
                               &h.TxtOffset,   &h.TxtLen,        &h.PasswordCRC,   &h.Cost};
    std::size_t at = 12;
    for (auto* f : fields) {
        *f = getU32(data, at);
        at += 4;
    }
    if (subLen > data.size() - kFixedHeader)
        return std::nullopt;
    std::string_view subs = data.substr(kFixedHeader, subLen);
    while (!subs.empty()) {
        if (subs.size() < 8)
            return std::nullopt;
        Subfield s;
        s.LoID = getU16(subs, 0);
        s.HiID = getU16(subs, 2);
        std::uint32_t len = getU32(subs, 4);
        if (len > subs.size() - 8)
            return std::nullopt;
        s.Data.assign(subs.substr(8, len));
        subs.remove_prefix(8 + len);
        h.Subfields.push_back(std::move(s));
    }
    if (size)
        *size = kFixedHeader + subLen;
    return h;
}

Area::Lock::Lock(int fd, bool write, int timeoutMs) : fd_(fd) {
    struct flock fl{};
    fl.l_type = write ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    // Other tools take the lock with F_SETLK and retry; waiting the same way (rather than
    // blocking for good) lets a stuck tool show up as an error instead of a hang.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::fcntl(fd_, F_OFD_SETLK, &fl) != 0) {
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            throw JamError(sysError("cannot lock the message base"));
        if (std::chrono::steady_clock::now() >= deadline)
            throw JamError("the message base is locked by another program");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Area::Lock::~Lock() {
    struct flock fl{};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    ::fcntl(fd_, F_OFD_SETLK, &fl);
}

bool Area::exists(const std::string& path) {
    for (const char* e : kFileExtensions)
        if (::access((path + e).c_str(), F_OK) == 0)
            return true;
    return false;
}

void Area::create(const std::string& path) {
    if (exists(path))
        throw JamError("a message base exists at " + path);
    // The header-info block goes into the .jhr last, so a base cut short by a kill is one that
    // no tool takes for valid (and the .jhr-less leftovers are refused by exists()).
    int fds[4];
    for (int i = 0; i < 4; ++i) {
        fds[i] = ::open((path + kFileExtensions[i]).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fds[i] < 0) {
            std::string err = sysError("cannot create " + path + kFileExtensions[i]);
            for (int k = 0; k < i; ++k)
                ::close(fds[k]);
            throw JamError(err);
        }
    }
    BaseInfo info;
    info.DateCreated = static_cast<std::uint32_t>(std::time(nullptr));
    std::string block = encodeInfo(info);
    bool ok = ::pwrite(fds[0], block.data(), block.size(), 0) == static_cast<ssize_t>(block.size());
    for (int i = 0; i < 4; ++i) {
        ok = ok && ::fsync(fds[i]) == 0;
        ::close(fds[i]);
    }
    if (!ok)
        throw JamError(sysError("cannot write " + path + ".jhr"));
}

Area::Area(std::string path) : path_(std::move(path)) {
    int* fds[4] = {&jhr_, &jdt_, &jdx_, &jlr_};
    for (int i = 0; i < 4; ++i) {
        *fds[i] = ::open((path_ + kFileExtensions[i]).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (*fds[i] < 0) {
            std::string err = sysError("cannot open " + path_ + kFileExtensions[i]);
            closeAll();
            throw JamError(err);
        }
    }
    char buf[kInfoSize];
    if (!preadAll(jhr_, buf, kInfoSize, 0)) {
        closeAll();
        throw JamError(path_ + ".jhr is not a JAM message base");
    }
    try {
        decodeInfo(std::string_view(buf, kInfoSize));
    } catch (...) {
        closeAll();
        throw;
    }
}

Area::~Area() { closeAll(); }

void Area::startWriteback(off_t textAt, off_t textEnd) {
    // The disk starts on the texts every few MB while the messages come in, without waiting
    // for it: a plug-in that closes the area after thousands of mails (and waits for the sync
    // before it answers) then waits for the last few MB only, not for everything at once.
    constexpr off_t step = 4 << 20;
    if (writebackFrom_ < 0 || writebackFrom_ > textAt)
        writebackFrom_ = textAt;   // the first text of this session, or the file was cut
    if (textEnd - writebackFrom_ < step)
        return;
    ::sync_file_range(jdt_, writebackFrom_, textEnd - writebackFrom_, SYNC_FILE_RANGE_WRITE);
    writebackFrom_ = textEnd;
}

void Area::sync() {
    for (int fd : {jdt_, jhr_, jdx_})
        if (::fsync(fd) != 0)
            throw JamError(sysError("cannot sync " + path_));
}

void Area::closeAll() {
    for (int* fd : {&jhr_, &jdt_, &jdx_, &jlr_})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

std::uint32_t Area::modCounter() const {
    char buf[4];
    if (!preadAll(jhr_, buf, 4, 8))
        return 0;
    return getU32(std::string_view(buf, 4), 0);
}

std::vector<Message> Area::readAll(BaseInfo& info, std::size_t* problems) const {
    std::vector<Message> out;
    forEach(info, problems, [&out](Message& m) { out.push_back(std::move(m)); });
    return out;
}

std::optional<Message> Area::read(std::uint32_t slot) const {
    Lock lock(jhr_, false);
    char rec[8];
    if (!preadAll(jdx_, rec, 8, static_cast<off_t>(slot) * 8))
        return std::nullopt;
    Message m;
    m.Slot = slot;
    m.HdrOffset = getU32(std::string_view(rec, 8), 4);
    if (m.HdrOffset == kNone || m.HdrOffset < kInfoSize)
        return std::nullopt;
    std::string hdr(kFixedHeader, '\0');
    if (!preadAll(jhr_, hdr.data(), kFixedHeader, m.HdrOffset))
        return std::nullopt;
    const std::uint32_t subLen = getU32(hdr, 8);
    if (static_cast<std::uint64_t>(m.HdrOffset) + kFixedHeader + subLen > static_cast<std::uint64_t>(fileSize(jhr_)))
        return std::nullopt;
    hdr.resize(kFixedHeader + subLen);
    if (subLen && !preadAll(jhr_, hdr.data() + kFixedHeader, subLen, m.HdrOffset + kFixedHeader))
        return std::nullopt;
    std::size_t size = 0;
    auto h = decodeHeader(hdr, &size);
    if (!h || (h->Attribute & attr::Deleted) ||
        static_cast<std::uint64_t>(h->TxtOffset) + h->TxtLen > static_cast<std::uint64_t>(fileSize(jdt_)))
        return std::nullopt;
    m.HdrSize = static_cast<std::uint32_t>(size);
    m.Text.resize(h->TxtLen);
    if (h->TxtLen && !preadAll(jdt_, m.Text.data(), h->TxtLen, h->TxtOffset))
        return std::nullopt;
    m.Header = std::move(*h);
    return m;
}

void Area::forEach(BaseInfo& info, std::size_t* problems, const std::function<void(Message&)>& each) const {
    Lock lock(jhr_, false);
    std::string hdrs = readWhole(jhr_);
    info = decodeInfo(hdrs);
    std::string index = readWhole(jdx_);
    off_t textSize = fileSize(jdt_);
    std::size_t bad = 0;
    for (std::size_t slot = 0; slot + 8 <= index.size(); slot += 8) {
        std::uint32_t off = getU32(index, slot + 4);
        if (off == kNone)
            continue;   // an empty slot (tools write 0xFFFFFFFF twice, some leave the CRC)
        std::size_t size = 0;
        std::optional<MsgHeader> h;
        if (off >= kInfoSize && off < hdrs.size())
            h = decodeHeader(std::string_view(hdrs).substr(off), &size);
        if (!h || static_cast<std::uint64_t>(h->TxtOffset) + h->TxtLen >
                      static_cast<std::uint64_t>(textSize)) {
            ++bad;
            continue;
        }
        if (h->Attribute & attr::Deleted)
            continue;
        Message m;
        m.Slot = static_cast<std::uint32_t>(slot / 8);
        m.HdrOffset = off;
        m.HdrSize = static_cast<std::uint32_t>(size);
        m.Text.resize(h->TxtLen);
        if (h->TxtLen && !preadAll(jdt_, m.Text.data(), h->TxtLen, h->TxtOffset)) {
            ++bad;
            continue;
        }
        m.Header = std::move(*h);
        each(m);
    }
    if (problems)
        *problems = bad;
}

Message Area::append(MsgHeader h, std::string text, std::uint32_t* modBefore) {
    Lock lock(jhr_, true);
    char buf[kInfoSize];
    if (!preadAll(jhr_, buf, kInfoSize, 0))
        throw JamError(path_ + ".jhr: cannot read its header-info block");
    BaseInfo info = decodeInfo(std::string_view(buf, kInfoSize));
    if (modBefore)
        *modBefore = info.ModCounter;
    off_t textAt = fileSize(jdt_);
    off_t hdrAt = fileSize(jhr_);
    // A record cut short by a kill is not counted; the next one goes where it began.
    const off_t jdxSize = fileSize(jdx_);
    off_t indexAt = jdxSize / 8 * 8;
    if (!sizeFits(textAt + static_cast<off_t>(text.size())) || !sizeFits(hdrAt + (1 << 20)))
        throw JamError(path_ + ": the message base is full");

    h.TxtOffset = static_cast<std::uint32_t>(textAt);
    h.TxtLen = static_cast<std::uint32_t>(text.size());
    h.MessageNumber = static_cast<std::uint32_t>(indexAt / 8) + info.BaseMsgNum;
    std::string hdr = encodeHeader(h);
    pwriteAll(jdt_, text, textAt, path_, ".jdt");
    startWriteback(textAt, textAt + static_cast<off_t>(text.size()));
    pwriteAll(jhr_, hdr, hdrAt, path_, ".jhr");
    std::string rec;
    const std::string* to = h.find(sub::ReceiverName);
    putU32(rec, crc(to ? *to : std::string()));
    putU32(rec, static_cast<std::uint32_t>(hdrAt));
    pwriteAll(jdx_, rec, indexAt, path_, ".jdx");
    // Only a record cut short by a kill lies beyond this one.
    if (jdxSize != indexAt && ::ftruncate(jdx_, indexAt + 8) != 0)
        throw JamError(sysError("cannot write " + path_ + ".jdx"));
    if (!(h.Attribute & attr::Deleted))
        ++info.ActiveMsgs;
    ++info.ModCounter;
    pwriteAll(jhr_, encodeInfoFields(info, kInfoFields), 0, path_, ".jhr");

    Message m;
    m.Slot = static_cast<std::uint32_t>(indexAt / 8);
    m.HdrOffset = static_cast<std::uint32_t>(hdrAt);
    m.HdrSize = static_cast<std::uint32_t>(hdr.size());
    m.Header = std::move(h);
    m.Text = std::move(text);
    return m;
}

void Area::update(Message& m, const std::function<void(MsgHeader&)>& change,
                  std::uint32_t* modBefore) {
    Lock lock(jhr_, true);
    char buf[kInfoSize];
    if (!preadAll(jhr_, buf, kInfoSize, 0))
        throw JamError(path_ + ".jhr: cannot read its header-info block");
    BaseInfo info = decodeInfo(std::string_view(buf, kInfoSize));
    char slot[8];
    if (!preadAll(jdx_, slot, 8, static_cast<off_t>(m.Slot) * 8) ||
        getU32(std::string_view(slot, 8), 4) != m.HdrOffset)
        throw JamError(path_ + ": the message was moved by another program");
    std::optional<MsgHeader> now;
    std::string current(kFixedHeader, '\0');
    off_t end = fileSize(jhr_);
    if (preadAll(jhr_, current.data(), kFixedHeader, m.HdrOffset)) {
        std::uint64_t need = kFixedHeader + std::uint64_t{getU32(current, 8)};
        if (m.HdrOffset + need <= static_cast<std::uint64_t>(end)) {
            current.resize(need);
            if (preadAll(jhr_, current.data() + kFixedHeader, need - kFixedHeader,
                         m.HdrOffset + kFixedHeader))
                now = decodeHeader(current);
        }
    }
    if (!now)
        throw JamError(path_ + ": the message header was damaged by another program");
    if (modBefore)
        *modBefore = info.ModCounter;
    MsgHeader h = std::move(*now);
    change(h);
    std::string hdr = encodeHeader(h);
    if (hdr.size() == m.HdrSize) {
        pwriteAll(jhr_, hdr, m.HdrOffset, path_, ".jhr");
    } else {
        // A header that changes size cannot stay where it is: the new copy goes to the end, the
        // index points to it, and the old copy is marked deleted with no text of its own.
        off_t hdrAt = fileSize(jhr_);
        if (!sizeFits(hdrAt + static_cast<off_t>(hdr.size())))
            throw JamError(path_ + ": the message base is full");
        pwriteAll(jhr_, hdr, hdrAt, path_, ".jhr");
        std::string rec;
        const std::string* to = h.find(sub::ReceiverName);
        putU32(rec, crc(to ? *to : std::string()));
        putU32(rec, static_cast<std::uint32_t>(hdrAt));
        pwriteAll(jdx_, rec, static_cast<off_t>(m.Slot) * 8, path_, ".jdx");
        std::string old(kFixedHeader, '\0');
        if (preadAll(jhr_, old.data(), kFixedHeader, m.HdrOffset)) {
            std::string a, len;
            putU32(a, getU32(old, 52) | attr::Deleted);
            putU32(len, 0);
            pwriteAll(jhr_, a, m.HdrOffset + 52, path_, ".jhr");
            pwriteAll(jhr_, len, m.HdrOffset + 64, path_, ".jhr");
        }
        m.HdrOffset = static_cast<std::uint32_t>(hdrAt);
        m.HdrSize = static_cast<std::uint32_t>(hdr.size());
    }
    ++info.ModCounter;
    pwriteAll(jhr_, encodeInfoFields(info, kInfoFields), 0, path_, ".jhr");
    m.Header = std::move(h);
}

} // namespace pb::jam
