#include "platform/Streams.h"

#include "platform/PrivateFiles.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace pb {

std::ifstream openInputFile(const std::string& FileName) {
    errno = 0;
    std::ifstream in(FileName, std::ios::binary);
    if (!in)
        throw EFOpenError("Cannot open file \"" + FileName + "\". " +
                          (errno ? std::strerror(errno) : "Unknown error"));
    return in;
}

namespace {

// The stream on a descriptor just made: opened through /proc/self/fd, which names that very
// file, so nothing can be swapped in between.
std::ofstream streamOn(int fd, const std::string& FileName) {
    if (fd < 0)
        throw EFCreateError("Cannot create file \"" + FileName + "\". " + std::strerror(errno));
    errno = 0;
    std::ofstream out("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
    const int err = errno;
    ::close(fd);
    if (!out)
        throw EFCreateError("Cannot create file \"" + FileName + "\". " +
                            (err ? std::strerror(err) : "Unknown error"));
    return out;
}

} // namespace

std::ofstream createOutputFile(const std::string& FileName) {
    return streamOn(createPrivateFile(FileName), FileName);
}

std::ofstream createTempFile(const std::string& Stem, std::string& Name) {
    return streamOn(createPrivateTemp(Stem, Name), Stem);
}

} // namespace pb
