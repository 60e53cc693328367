#pragma once
// Where the fixtures make their folders: $TMPDIR when set (a benchmark may put the servers'
// mail folders and the host's base on tmpfs), else /tmp.
#include <cstdlib>
#include <string>

namespace pb::test {

inline std::string tempRoot() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? std::string(dir) : std::string("/tmp");
}

} // namespace pb::test
