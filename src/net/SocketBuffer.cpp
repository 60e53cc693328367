#include "net/SocketBuffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace pb {

void SocketBuffer::Append(const char* bytes, std::size_t count) {
    if (count == 0)
        return;
    std::memcpy(Reserve(count), bytes, count);
    Commit(count);
}

char* SocketBuffer::Reserve(std::size_t count) {
    if (capacity_ - end_ >= count)
        return data_.get() + end_;
    const std::size_t held = Size();
    if (held + count <= capacity_) {
        // The consumed front makes the room: the bytes held move down.
        std::memmove(data_.get(), Data(), held);
    } else {
        const std::size_t capacity = std::max(capacity_ * 2, held + count);
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (held != 0)
            std::memcpy(grown.get(), Data(), held);
        data_ = std::move(grown);
        capacity_ = capacity;
    }
    start_ = 0;
    end_ = held;
    return data_.get() + end_;
}

void SocketBuffer::Consume(std::size_t count) {
    count = std::min(count, Size());
    start_ += count;
    scanned_ = scanned_ > count ? scanned_ - count : 0;
    if (start_ == end_)
        Clear();
}

void SocketBuffer::Clear() {
    // A single huge line should not pin its storage for the life of the component.
    if (capacity_ > 4 * 1024 * 1024) {
        data_.reset();
        capacity_ = 0;
    }
    start_ = 0;
    end_ = 0;
    scanned_ = 0;
}

std::size_t SocketBuffer::FindLF() {
    const std::size_t size = Size();
    if (scanned_ >= size)
        return npos;
    const char* from = Data() + scanned_;
    const void* hit = std::memchr(from, '\n', size - scanned_);
    if (!hit) {
        scanned_ = size;
        return npos;
    }
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - Data());
    scanned_ = at;
    return at;
}

} // namespace pb
