#pragma once
// Where the fixtures make their folders: $TMPDIR when set (a benchmark may put the servers'
// mail folders and the host's base on tmpfs), else /tmp.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace pb::test {

inline std::string tempRoot() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? std::string(dir) : std::string("/tmp");
}

// A new folder (0700) below tempRoot() whose name starts with prefix; "" when none can be made.
inline std::string makeTempDir(const std::string& prefix) {
    std::string name = tempRoot() + "/" + prefix + "-XXXXXX";
    return ::mkdtemp(name.data()) ? name : std::string();
}

// A folder of one test's own, removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix) : path_(makeTempDir(prefix)) {}
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace pb::test
