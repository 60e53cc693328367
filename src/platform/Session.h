#pragma once
// The session namespace of the host channel. One user's host and plug-ins meet under the same
// namespace, like the programs of one Windows session: by default it is derived from the user
// id, or taken from the environment variable EDAPI_SESSION when that is set (tests give every
// test its own). Every queue, window and shared block name of the channel lives under it.
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace pb {

// The current session's namespace (letters, digits, '-', '_' and '.', at most 64 characters).
// Read from the environment on every call, so a test may switch it between runs.
std::string sessionName();

// The calling thread's id as the channel uses it (the Linux thread id, 32 bits).
std::uint32_t currentThreadId();

// A thread id written as exactly 8 upper-case hexadecimal digits (1A4 -> "000001A4").
std::string threadIdHex(std::uint32_t tid);

// The start time of a process in clock ticks since boot (0 when the process does not exist).
// Together with the pid it names a process uniquely, even after the pid has been reused.
std::uint64_t processStartTime(pid_t pid);

// True while the process with this pid and start time runs (start time 0: pid alone).
bool processAlive(pid_t pid, std::uint64_t startTime);

} // namespace pb
