#pragma once
// Byte streams as the mail components pass them around: the coder reads one stream and writes
// another, the SMTP client builds a mail body in a memory stream and the socket component sends
// a whole stream, the POP3 client writes attachments to file streams. Every stream has a size
// and a position and can be repositioned anywhere between 0 and its size.
//
// Failures are exceptions derived from EStreamError; a stream never fails silently.
#include "platform/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// A stream operation failed (read or write error of the underlying file).
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
// A file stream could not open an existing file ("Cannot open file "name". reason").
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
// A file stream could not create a file ("Cannot create file "name". reason").
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class TStream {
public:
    virtual ~TStream() = default;

    // Reads up to Count bytes from the position and advances past them. Returns how many were
    // read; fewer than Count only at the end of the stream (0 there).
    virtual std::size_t Read(void* Buffer, std::size_t Count) = 0;
    // Writes Count bytes at the position, overwriting or growing the stream, and advances.
    // Writes all bytes or raises EStreamError.
    virtual void Write(const void* Buffer, std::size_t Count) = 0;

    virtual std::int64_t Size() = 0;
    virtual std::int64_t Position() = 0;
    // Positions outside 0..Size() are clamped into that range.
    virtual void SetPosition(std::int64_t Pos) = 0;
    // Cuts the stream to NewSize bytes (or extends it with zero bytes); the position is clamped.
    virtual void SetSize(std::int64_t NewSize) = 0;

    void Write(std::string_view Bytes) { Write(Bytes.data(), Bytes.size()); }
    // Copies everything from Source's position to its end onto this stream; returns the count.
    std::int64_t CopyFrom(TStream& Source);
    // Everything from the position to the end, as bytes (for small streams and tests).
    std::string ReadRest();
};

// A stream held in memory. Data() gives the bytes without copying.
class TMemoryStream final : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string Bytes) : data_(std::move(Bytes)) {}

    std::size_t Read(void* Buffer, std::size_t Count) override;
    void Write(const void* Buffer, std::size_t Count) override;
    using TStream::Write;
    std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
    std::int64_t Position() override { return static_cast<std::int64_t>(pos_); }
    void SetPosition(std::int64_t Pos) override;
    void SetSize(std::int64_t NewSize) override;

    // Empties the stream (size and position 0).
    void Clear() { data_.clear(); pos_ = 0; }
    const std::string& Data() const { return data_; }

private:
    std::string data_;
    std::size_t pos_ = 0;
};

// A stream on a file. Reads and writes go through one 64 KiB buffer, so line-sized reads and
// writes do not cost a system call each. Pending writes reach the file at Flush(), Close(), any
// read, a size query or destruction (where a failure can no longer be reported: call Close()
// when the outcome matters).
class TFileStream final : public TStream {
public:
    enum class Mode {
        OpenRead,       // existing file, read only
        OpenReadWrite,  // existing file, read and write
        Create,         // create the file, or truncate an existing one; read and write
    };

    // Raises EFOpenError or EFCreateError with the file name and the system's reason.
    TFileStream(std::string FileName, Mode OpenMode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::size_t Read(void* Buffer, std::size_t Count) override;
    void Write(const void* Buffer, std::size_t Count) override;
    using TStream::Write;
    std::int64_t Size() override;
    std::int64_t Position() override { return pos_; }
    void SetPosition(std::int64_t Pos) override;
    void SetSize(std::int64_t NewSize) override;

    // Hands pending writes to the system; raises EStreamError when that fails.
    void Flush();
    // Flushes and closes the file; raises EStreamError when either fails. Idempotent.
    void Close();
    const std::string& FileName() const { return name_; }

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    void requireOpen() const;
    void fail(const char* what, int err) const;

    std::string name_;
    int fd_ = -1;
    std::int64_t pos_ = 0;
    std::int64_t fileSize_ = 0;   // size on disk, excluding pending writes
    std::vector<char> buf_;
    // Read window: buf_[0, readLen_) mirrors the file from readStart_; empty when readLen_ == 0.
    std::int64_t readStart_ = 0;
    std::size_t readLen_ = 0;
    // Pending writes: buf_[0, writeLen_) belongs at writeStart_ in the file.
    std::int64_t writeStart_ = 0;
    std::size_t writeLen_ = 0;
};

} // namespace pb
