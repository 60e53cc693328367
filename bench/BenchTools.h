#pragma once
// Small measuring helpers the benchmark programs share.
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// The middle value of the rounds (the upper middle one for an even count).
inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The process's peak resident memory so far in KiB (VmHWM); -1 when it cannot be read.
inline long peakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// `s` as one word for /bin/sh, whatever it holds.
inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace bench
