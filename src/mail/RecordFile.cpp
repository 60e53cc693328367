#include "mail/RecordFile.h"

#include "platform/Exceptions.h"
#include "platform/PrivateFiles.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pb {
namespace {

[[noreturn]] void ioError(int err) {
    switch (err) {
    case ENOENT: throw EInOutError("File not found");
    case EACCES:
    case EPERM:
    case EROFS: throw EInOutError("File access denied");
    case ENOSPC:
    case EDQUOT:
    case EFBIG: throw EInOutError("Disk full");
    default: throw EInOutError(std::strerror(err));
    }
}

// Closes a descriptor when the scope ends unless it was closed on purpose.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string directoryOf(const std::string& fileName) {
    auto slash = fileName.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : fileName.substr(0, slash);
}

} // namespace

bool readWholeFile(const std::string& FileName, std::string& Bytes) {
    Bytes.clear();
    Fd file{::open(FileName.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        if (errno == ENOENT)
            return false;
        ioError(errno);
    }
    tightenOpenFile(file.fd, 0600);   // a list an older version left readable by others
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(file.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ioError(errno);
        if (n == 0)
            return true;
        Bytes.append(buf, static_cast<std::size_t>(n));
    }
}

void readRecords(const std::string& FileName, std::size_t RecordSize,
                 const std::function<void(const unsigned char* Record)>& Record) {
    std::string bytes;
    readWholeFile(FileName, bytes);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t whole = bytes.size() - bytes.size() % RecordSize;
    for (std::size_t off = 0; off < whole; off += RecordSize)
        Record(data + off);
    if (whole < bytes.size())
        throw EInOutError("Read beyond end of file");
}

void replaceFile(const std::string& FileName, std::string_view Bytes) {
    const std::string aside = FileName + ".new";
    // One left by a crash goes first; the new one is made afresh (0600, never through a link).
    if (::unlink(aside.c_str()) != 0 && errno != ENOENT && errno != EISDIR)
        ioError(errno);
    Fd file{createPrivateFile(aside)};
    if (file.fd < 0)
        ioError(errno);
    auto fail = [&](int err) {
        ::close(file.fd);
        file.fd = -1;
        ::unlink(aside.c_str());
        ioError(err);
    };
    std::size_t done = 0;
    while (done < Bytes.size()) {
        ssize_t n = ::write(file.fd, Bytes.data() + done, Bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(file.fd) != 0)
        fail(errno);
    int rc = ::close(file.fd);
    file.fd = -1;
    if (rc != 0) {
        int err = errno;
        ::unlink(aside.c_str());
        ioError(err);
    }
    if (::rename(aside.c_str(), FileName.c_str()) != 0) {
        int err = errno;
        ::unlink(aside.c_str());
        ioError(err);
    }
    // Make the rename itself durable; the data is already safe either way.
    Fd dir{::open(directoryOf(FileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0)
        ::fsync(dir.fd);
}

} // namespace pb
