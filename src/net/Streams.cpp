#include "net/Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pb {

std::int64_t TStream::CopyFrom(TStream& Source) {
    std::vector<char> chunk(64 * 1024);
    std::int64_t total = 0;
    while (std::size_t n = Source.Read(chunk.data(), chunk.size())) {
        Write(chunk.data(), n);
        total += static_cast<std::int64_t>(n);
    }
    return total;
}

std::string TStream::ReadRest() {
    std::string out;
    char chunk[16 * 1024];
    while (std::size_t n = Read(chunk, sizeof chunk))
        out.append(chunk, n);
    return out;
}

// ---- TMemoryStream -------------------------------------------------------------------------

std::size_t TMemoryStream::Read(void* Buffer, std::size_t Count) {
    std::size_t n = pos_ < data_.size() ? std::min(Count, data_.size() - pos_) : 0;
    if (n > 0)
        std::memcpy(Buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
}

void TMemoryStream::Write(const void* Buffer, std::size_t Count) {
    if (Count == 0)
        return;
    if (pos_ == data_.size()) {
        data_.append(static_cast<const char*>(Buffer), Count);
    } else {
        if (pos_ + Count > data_.size())
            data_.resize(pos_ + Count);
        std::memcpy(data_.data() + pos_, Buffer, Count);
    }
    pos_ += Count;
}

void TMemoryStream::SetPosition(std::int64_t Pos) {
    pos_ = static_cast<std::size_t>(std::clamp<std::int64_t>(Pos, 0, Size()));
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
    data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(NewSize, 0)));
    pos_ = std::min(pos_, data_.size());
}

// ---- TFileStream ---------------------------------------------------------------------------

TFileStream::TFileStream(std::string FileName, Mode OpenMode) : name_(std::move(FileName)) {
    int flags = O_CLOEXEC;
    switch (OpenMode) {
    case Mode::OpenRead: flags |= O_RDONLY; break;
    case Mode::OpenReadWrite: flags |= O_RDWR; break;
    case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    fd_ = ::open(name_.c_str(), flags, 0666);
    if (fd_ < 0) {
        const std::string reason = std::strerror(errno);
        if (OpenMode == Mode::Create)
            throw EFCreateError("Cannot create file \"" + name_ + "\". " + reason);
        throw EFOpenError("Cannot open file \"" + name_ + "\". " + reason);
    }
    struct stat st {};
    if (::fstat(fd_, &st) == 0)
        fileSize_ = st.st_size;
    buf_.resize(kBufferSize);
}

TFileStream::~TFileStream() {
    try {
        Close();
    } catch (...) {
        // Reported only through Close(); a destructor cannot.
    }
}

void TFileStream::requireOpen() const {
    if (fd_ < 0)
        throw EStreamError("File \"" + name_ + "\" is closed");
}

void TFileStream::fail(const char* what, int err) const {
    throw EStreamError(std::string(what) + " \"" + name_ + "\": " + std::strerror(err));
}

void TFileStream::Flush() {
    requireOpen();
    std::size_t done = 0;
    while (done < writeLen_) {
        ssize_t n = ::pwrite(fd_, buf_.data() + done, writeLen_ - done,
                             writeStart_ + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Drop the pending bytes: keeping them would report the same failure forever.
            writeLen_ = 0;
            fail("Stream write error in", n < 0 ? errno : EIO);
        }
        done += static_cast<std::size_t>(n);
    }
    fileSize_ = std::max(fileSize_, writeStart_ + static_cast<std::int64_t>(writeLen_));
    writeLen_ = 0;
}

void TFileStream::Close() {
    if (fd_ < 0)
        return;
    try {
        Flush();
    } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0)
        fail("Cannot close file", errno);
}

std::size_t TFileStream::Read(void* Buffer, std::size_t Count) {
    requireOpen();
    if (writeLen_ > 0)
        Flush();
    char* out = static_cast<char*>(Buffer);
    std::size_t got = 0;
    while (got < Count) {
        // Serve from the read window when it covers the position.
        if (readLen_ > 0 && pos_ >= readStart_ && pos_ < readStart_ + static_cast<std::int64_t>(readLen_)) {
            std::size_t off = static_cast<std::size_t>(pos_ - readStart_);
            std::size_t n = std::min(Count - got, readLen_ - off);
            std::memcpy(out + got, buf_.data() + off, n);
            got += n;
            pos_ += static_cast<std::int64_t>(n);
            continue;
        }
        // Large reads bypass the buffer; small ones refill it.
        const bool direct = Count - got >= kBufferSize;
        char* target = direct ? out + got : buf_.data();
        std::size_t want = direct ? Count - got : kBufferSize;
        ssize_t n = ::pread(fd_, target, want, pos_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("Stream read error in", errno);
        if (n == 0)
            break;
        if (direct) {
            got += static_cast<std::size_t>(n);
            pos_ += n;
        } else {
            readStart_ = pos_;
            readLen_ = static_cast<std::size_t>(n);
        }
    }
    return got;
}

void TFileStream::Write(const void* Buffer, std::size_t Count) {
    requireOpen();
    if (Count == 0)
        return;
    readLen_ = 0;   // the read window may now be stale
    const char* in = static_cast<const char*>(Buffer);
    if (writeLen_ > 0 && writeStart_ + static_cast<std::int64_t>(writeLen_) != pos_)
        Flush();
    if (writeLen_ + Count > kBufferSize)
        Flush();
    if (Count >= kBufferSize) {
        std::size_t done = 0;
        while (done < Count) {
            ssize_t n = ::pwrite(fd_, in + done, Count - done, pos_ + static_cast<std::int64_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail("Stream write error in", n < 0 ? errno : EIO);
            done += static_cast<std::size_t>(n);
        }
        pos_ += static_cast<std::int64_t>(Count);
        fileSize_ = std::max(fileSize_, pos_);
        return;
    }
    if (writeLen_ == 0)
        writeStart_ = pos_;
    std::memcpy(buf_.data() + writeLen_, in, Count);
    writeLen_ += Count;
    pos_ += static_cast<std::int64_t>(Count);
}

std::int64_t TFileStream::Size() {
    requireOpen();
    return std::max(fileSize_, writeStart_ + static_cast<std::int64_t>(writeLen_));
}

void TFileStream::SetPosition(std::int64_t Pos) {
    pos_ = std::clamp<std::int64_t>(Pos, 0, Size());
}

void TFileStream::SetSize(std::int64_t NewSize) {
    requireOpen();
    Flush();
    NewSize = std::max<std::int64_t>(NewSize, 0);
    if (::ftruncate(fd_, NewSize) != 0)
        fail("Cannot resize file", errno);
    fileSize_ = NewSize;
    readLen_ = 0;
    pos_ = std::min(pos_, NewSize);
}

} // namespace pb
