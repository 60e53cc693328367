#pragma once
// The peak resident memory of a process (VmHWM), for tests that bound what a run may hold.
#include <fstream>
#include <string>

namespace pb::test {

// In KiB; "self" for this process, else a process id. -1 when the process is gone.
inline long peakResidentKiB(const std::string& pid = "self") {
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

} // namespace pb::test
