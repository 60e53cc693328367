#include "platform/PrivateFiles.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace pb {
namespace {

// The files of the working folder that the program reads back: a mailed file of one of these
// names would replace settings, addresses or the read list, or stand where the host's base
// ("edhost-base", in the user's folder) or its log belongs.
constexpr std::array<std::string_view, 10> kOwnFiles = {
    "pbridge.ini", "pbridge.crt", "addressbook.lst", "readmsg.lst", "readmsg.uid",
    "readmsg.pnd", "pbridge.lock", "Temp.mme",      "edhost.log",  "edhost-base"};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool isOwnFile(std::string_view name) {
    // Their ".new" files (written aside before a rename) count as well, and so do the private
    // names of Temp.mme ("Temp.mme.XXXXXX").
    if (name.size() > 4 && sameIgnoringCase(name.substr(name.size() - 4), ".new"))
        name.remove_suffix(4);
    if (name.size() > 9 && sameIgnoringCase(name.substr(0, 9), "Temp.mme."))
        return true;
    for (std::string_view own : kOwnFiles)
        if (sameIgnoringCase(name, own))
            return true;
    return false;
}

} // namespace

int createPrivateFile(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int openLockFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        !tightenOpenFile(fd, 0600)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

int createPrivateTemp(const std::string& stem, std::string& name) {
    std::string tmpl = stem + ".XXXXXX";
    // mkostemp creates with O_CREAT|O_EXCL and mode 0600: a planted link is never followed.
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd >= 0)
        name = std::move(tmpl);
    return fd;
}

bool tightenOpenFile(int fd, mode_t mode) {
    struct stat st{};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777 & ~mode) != 0)
        return ::fchmod(fd, st.st_mode & mode & 07777) == 0;
    return true;
}

bool tightenMode(const std::string& path, mode_t mode) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return true;   // nothing there (or a link): nothing to tighten
    bool ok = tightenOpenFile(fd, mode);
    ::close(fd);
    return ok;
}

bool writableByOthers(const std::string& folder) {
    struct stat st{};
    return ::stat(folder.c_str(), &st) == 0 && writableByOthers(st);
}

bool writableByOthers(const struct stat& st) {
    if (st.st_mode & S_IWOTH)
        return true;
    if (!(st.st_mode & S_IWGRP))
        return false;
    // A group-writable folder is still private when the group is the user's own private group
    // (named like the user, nobody else listed in it), as with a umask of 002.
    passwd pw{};
    passwd* user = nullptr;
    group gr{};
    group* grp = nullptr;
    char ubuf[1024], gbuf[4096];
    if (::getpwuid_r(::geteuid(), &pw, ubuf, sizeof ubuf, &user) != 0 || !user ||
        ::getgrgid_r(st.st_gid, &gr, gbuf, sizeof gbuf, &grp) != 0 || !grp ||
        std::string_view(grp->gr_name) != user->pw_name)
        return true;
    for (char** m = grp->gr_mem; m && *m; ++m)
        if (std::string_view(*m) != user->pw_name)
            return true;
    return false;
}

std::string harmlessFileName(const std::string& name) {
    if (name.empty())
        return name;
    if (name[0] == '.' || name[0] == '-' || isOwnFile(name))
        return "_" + name;
    return name;
}

} // namespace pb
