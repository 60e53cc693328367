#include "platform/FolderLock.h"

#include "platform/PrivateFiles.h"

#include <cerrno>
#include <sys/file.h>
#include <unistd.h>

namespace pb {

FolderLock lockWorkingFolder(int& error) {
    error = 0;
    // Made when missing, never through a link, taken only as a plain file of this user.
    const int fd = openLockFile(kFolderLockFile);
    if (fd < 0) {
        error = errno;
        return FolderLock::Refused;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? FolderLock::InUse : FolderLock::Refused;
    }
    // The descriptor stays open (close-on-exec) until the process ends: that is the lock.
    return FolderLock::Taken;
}

} // namespace pb
