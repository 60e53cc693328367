#pragma once
// SocketBuffer: the socket component's store of bytes between the socket and its readers and
// writers.
#include <cstddef>
#include <memory>

namespace pb {

// Bytes exchanged over the connection: received and not yet taken, or queued and not yet
// accepted by the socket. Taking bytes from the front costs only what is taken: the rest is
// moved to the front only when new bytes need its room, never once per line.
class SocketBuffer {
public:
    std::size_t Size() const { return end_ - start_; }
    bool Empty() const { return Size() == 0; }
    const char* Data() const { return data_.get() + start_; }

    void Append(const char* bytes, std::size_t count);
    // Room for `count` more bytes at the end, so that a receive writes into the buffer itself;
    // Commit keeps the first `used` of them (used <= count).
    char* Reserve(std::size_t count);
    void Commit(std::size_t used) { end_ += used; }
    void Consume(std::size_t count);   // drop `count` bytes from the front
    void Clear();

    // Offset of the first LF from Data(), or npos. Remembers how far it has looked, so a long
    // line that arrives in many pieces is scanned once, not once per piece.
    std::size_t FindLF();

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    std::unique_ptr<char[]> data_;   // left uninitialised: only [start_, end_) is read
    std::size_t capacity_ = 0;
    std::size_t start_ = 0;     // first byte not yet consumed
    std::size_t end_ = 0;       // one past the last byte held
    std::size_t scanned_ = 0;   // bytes from start_ known to hold no LF
};

} // namespace pb
