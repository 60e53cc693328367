#include "net/Streams.h"

#include <cerrno>
#include <cstring>

namespace pb {

std::ifstream openInputFile(const std::string& FileName) {
    errno = 0;
    std::ifstream in(FileName, std::ios::binary);
    if (!in)
        throw EFOpenError("Cannot open file \"" + FileName + "\". " +
                          (errno ? std::strerror(errno) : "Unknown error"));
    return in;
}

std::ofstream createOutputFile(const std::string& FileName) {
    errno = 0;
    std::ofstream out(FileName, std::ios::binary | std::ios::trunc);
    if (!out)
        throw EFCreateError("Cannot create file \"" + FileName + "\". " +
                            (errno ? std::strerror(errno) : "Unknown error"));
    return out;
}

} // namespace pb
