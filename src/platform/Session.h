#pragma once
// The session namespace of the host channel. One user's host and plug-ins meet under the same
// namespace, like the programs of one Windows session: by default it is derived from the user
// id, or taken from the environment variable EDAPI_SESSION when that is set (tests give every
// test its own). Every queue, window and shared block name of the channel lives under it.
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace pb {

// The current session's namespace (letters, digits, '-', '_' and '.', at most 64 characters).
// Read from the environment on every call, so a test may switch it between runs.
std::string sessionName();

// The private directory of the channel. Every queue, window and shared block of a session is
// a file in it, so the file system keeps other users out the way a Windows session does:
//   $XDG_RUNTIME_DIR/edapi/<session>     when that variable is set;
//   /run/user/<uid>/edapi/<session>      when that folder exists, is ours and is 0700 (so a
//                                        poll started by cron meets a host started from the
//                                        desktop);
//   /dev/shm/edapi-<uid>/<session>       otherwise, where /dev/shm is there (in memory: the
//                                        blocks made for every command cost nothing on disk);
//   /tmp/edapi-<uid>/<session>           otherwise.
// The channel folder (the one above the session) and the session folder are made 0700 when
// missing. One that exists with another owner, wider permissions, or as something other than
// a folder is refused: a squatter must not get to read or place anything in it. A refused
// channel folder is passed by, the same way in every program of the user: the first of
// <folder>.1 .. <folder>.9 (beside it, so in memory as well) and then
// $XDG_CACHE_HOME/edapi-<host name> (else ~/.cache/...) that is the user's own private folder
// already, else the first of them that can be made. passedBy names the folder passed by.
struct ChannelDir {
    std::string path;    // the session folder (also when refused)
    bool ok = false;
    std::string refused; // the folder that was refused or could not be made
    uid_t owner = 0;     // its owner, when it exists
    mode_t mode = 0;     // its permission bits, when it exists
    int error = 0;       // errno when it could not be made or examined
    // A channel folder that was passed by because it is someone else's (or cannot be made);
    // empty when the usual folder is used. Its owner and mode, or the errno of the refusal.
    std::string passedBy;
    uid_t passedOwner = 0;
    mode_t passedMode = 0;
    int passedError = 0;
};
// The current session's folder, made and checked on the first use per session (the result of
// a successful check is kept). A refusal is checked anew on every call.
ChannelDir channelDirectory();
// The channel folder itself, above the sessions (made and checked like them).
ChannelDir channelRoot();
// The path of an endpoint of the current session: `<session folder>/<name>`; empty when the
// folder is refused.
std::string channelPath(const std::string& name);
// The folder passed by (dir.passedBy) as a refusal of its own, for channelProblem and the
// programs' messages.
ChannelDir passedByAccount(const ChannelDir& dir);
// A readable account of a refusal for the programs' messages ("... belongs to nobody (uid
// 65534), mode 0777"), in English; the programs put it into their own words.
std::string channelProblem(const ChannelDir& dir);
// The name of a user id ("nobody"), or the number when it has no name.
std::string userName(uid_t uid);

// The calling thread's id as the channel uses it (the Linux thread id, 32 bits).
std::uint32_t currentThreadId();

// A thread id written as exactly 8 upper-case hexadecimal digits (1A4 -> "000001A4").
std::string threadIdHex(std::uint32_t tid);

// The start time of a process in clock ticks since boot (0 when the process does not exist).
// Together with the pid it names a process uniquely, even after the pid has been reused.
std::uint64_t processStartTime(pid_t pid);

// True when tid is a thread of the process pid (/proc/<pid>/task/<tid> exists).
bool threadOfProcess(pid_t pid, std::uint32_t tid);

// True while the process with this pid and start time runs (start time 0: pid alone).
bool processAlive(pid_t pid, std::uint64_t startTime);

} // namespace pb
