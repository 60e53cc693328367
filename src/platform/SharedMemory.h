#pragma once
// Named shared memory, the stand-in for CreateFileMapping / MapViewOfFile on the paging file.
//
// A block is a file in the session's private channel folder (see Session.h), mapped with mmap.
// It is made with O_CREAT|O_EXCL (mode 0600), an existing one is opened with O_NOFOLLOW and
// taken only when fstat shows a plain file of our user that nobody else may open. Opening
// a name either creates the block (Created true: this call made it, and destroying this object
// removes the name again) or maps the block that another party made (Created false). A small
// platform header in front of the data records the creator's process and the data size, so
// - a block that is smaller than asked for is not mapped (Data null): nobody reads past it;
// - a block whose creator process has died is recognised as left behind and reclaimed, so a
//   crash never makes a later command of a reused thread id fail on a stale name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace pb {

class SharedMapping {
public:
    // Creates the block `name` of `size` bytes or maps the existing one (see above).
    SharedMapping(const std::string& name, std::size_t size);
    ~SharedMapping();
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;

    bool valid() const { return fd_ >= 0; }   // the handle: false when creation failed
    bool Created() const { return created_; }
    void* Data() const { return data_; }      // null when it could not be mapped
    std::size_t Size() const { return size_; }
    // The data size that the creator gave the block (0 when not known).
    std::size_t blockSize() const { return blockSize_; }
    const std::string& Name() const { return name_; }

    // For a block this object made: true while its name (in the current session) still leads to
    // it. A block kept between uses is checked with this before each use, since the name may
    // have been removed and taken by someone else meanwhile.
    bool stillNamed() const;
    // Lets the name go without removing it (it no longer leads to this block).
    void forgetName() { ownsName_ = false; }

    // True when a block of this name exists in the current session.
    static bool exists(const std::string& name);
    // Removes the name of a block (its creator's job; for tests that fake a left-behind block).
    static void remove(const std::string& name);

private:
    std::string name_;
    std::string path_;
    std::size_t size_ = 0;
    std::size_t blockSize_ = 0;
    int fd_ = -1;
    bool created_ = false;
    bool ownsName_ = false;   // the destructor removes the name
    dev_t dev_ = 0;           // the file this object made, to recognise it under its name
    ino_t ino_ = 0;
    void* base_ = nullptr;
    std::size_t mapped_ = 0;
    void* data_ = nullptr;
};

// Removes what crashed processes of the user left in the channel folder (every session folder
// of the user's own in it): block files whose creator is gone (they may hold mail text), and
// queue sockets and edhost's control sockets that nobody serves. Only plain files and sockets
// of the user are looked at; links and other users' names are left alone. Returns how many
// were removed. Both programs call it when they start.
std::size_t removeLeftovers();

} // namespace pb
