#pragma once
// One program per working folder: two programs fetching from one mailbox into one folder would
// both take the same new mails, each believing the other's read list out of date. The lock is
// an flock on "pbridge.lock" in the folder, held until the process ends (a crashed program
// leaves no stale lock behind).
namespace pb {

inline constexpr const char* kFolderLockFile = "pbridge.lock";

enum class FolderLock {
    Taken,   // this process now holds the folder
    InUse,   // another process holds it
    Refused, // the lock file cannot be made, is not a plain file of ours, or cannot be locked
};

// Takes the lock of the current folder for the rest of the process's life. With Refused,
// `error` is the errno of the failure.
FolderLock lockWorkingFolder(int& error);

} // namespace pb
