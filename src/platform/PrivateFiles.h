#pragma once
// Files the program makes hold mail and settings: they are the user's alone. Every new file is
// made with O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600 (or under a private temporary name and then
// renamed), so a name planted in the working folder (a symbolic link, a file of someone else)
// is never written through. Older files with wider modes are tightened when next opened.
#include <string>
#include <sys/types.h>

struct stat;

namespace pb {

// A new file, 0600, opened for writing; -1 with errno when the name exists in any form
// (a dangling link included) or cannot be made.
int createPrivateFile(const std::string& path);

// The persistent lock file: made when missing (0600), never through a link, and taken only when
// it is a plain file of our user (tightened to 0600 when wider). O_RDWR; -1 with errno.
int openLockFile(const std::string& path);

// A new file with a private name beside `stem` (stem + "." + six random characters), 0600,
// opened for writing; its name goes into `name`. -1 with errno on failure.
int createPrivateTemp(const std::string& stem, std::string& name);

// Narrows the permissions of an open file of ours to `mode` when they are wider. False only
// when a chmod that was needed failed.
bool tightenOpenFile(int fd, mode_t mode);

// Narrows the permissions of an existing file (or folder) of ours to `mode` when they are
// wider; links are not followed and other users' files are left alone. False only when a
// chmod that was needed failed.
bool tightenMode(const std::string& path, mode_t mode);

// True when users other than the owner may create or remove names in the folder (its group or
// others have write permission): nothing the program writes there would be safe.
bool writableByOthers(const std::string& folder);
// The same for a folder or file already looked at (its group or others may write to it).
bool writableByOthers(const struct stat& st);

// The name an attachment is saved under. A name that begins with "." or "-" (a hidden start-up
// file, an option to a shell command), or that is one of the program's own files in the working
// folder, gets a leading "_"; every other name stays as it is.
std::string harmlessFileName(const std::string& name);

} // namespace pb
