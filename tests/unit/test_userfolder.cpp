#include "platform/UserFolder.h"

#include "support/TempRoot.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace pb {
namespace {

// Sets XDG_DATA_HOME and HOME for one test and puts the old values back.
class UserFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"XDG_DATA_HOME", "HOME"})
            if (const char* v = std::getenv(name))
                saved_.emplace_back(name, v);
        root_ = test::makeTempDir("pb-userfolder");
        ASSERT_FALSE(root_.empty());
    }
    void TearDown() override {
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("HOME");
        for (const auto& [name, value] : saved_)
            ::setenv(name.c_str(), value.c_str(), 1);
        std::filesystem::remove_all(root_);
    }
    static unsigned mode(const std::filesystem::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    std::filesystem::path root_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(UserFolderTest, DataHomeWhenAbsoluteElseTheHomesLocalShare) {
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    EXPECT_EQ(userFolderPath(), root_ / "data" / "postbridge");
    for (const char* ignored : {"", "relative/data"}) {
        ::setenv("XDG_DATA_HOME", ignored, 1);
        EXPECT_EQ(userFolderPath(), root_ / "home" / ".local" / "share" / "postbridge") << ignored;
    }
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(userFolderPath(), root_ / "home" / ".local" / "share" / "postbridge");
}

TEST_F(UserFolderTest, MissingFoldersAreMadePrivateAnExistingOneKeepsItsMode) {
    const mode_t oldMask = ::umask(022);
    ::setenv("XDG_DATA_HOME", (root_ / "a" / "b").c_str(), 1);
    const auto folder = ensureUserFolder();
    EXPECT_EQ(folder, root_ / "a" / "b" / "postbridge");
    for (const auto& p : {root_ / "a", root_ / "a" / "b", folder})
        EXPECT_EQ(mode(p), 0700u) << p;

    ::chmod(folder.c_str(), 0750);
    EXPECT_EQ(ensureUserFolder(), folder);
    EXPECT_EQ(mode(folder), 0750u);
    ::umask(oldMask);

    // A file where the folder should be is an error naming it, not a folder made elsewhere.
    ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
    std::ofstream(root_ / "postbridge") << "x";
    try {
        ensureUserFolder();
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find((root_ / "postbridge").string()), std::string::npos) << e.what();
    }
}

} // namespace
} // namespace pb
