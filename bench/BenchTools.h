#pragma once
// Small measuring helpers the benchmark programs share.
#include <QObject>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// The middle value of the rounds (the upper middle one for an even count).
inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A memory figure of a process in KiB ("VmHWM:" its peak resident memory so far, "VmRSS:" what
// it holds now); -1 when it cannot be read.
inline long memoryKiB(const char* field, const std::string& pid = "self") {
    std::ifstream status("/proc/" + pid + "/status");
    const std::string name(field);
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name, 0) == 0)
            return std::stol(line.substr(name.size()));
    return -1;
}

// The process's peak resident memory so far in KiB; -1 when it cannot be read.
inline long peakKiB() { return memoryKiB("VmHWM:"); }

// CPU seconds (user and system) another running process has used so far; -1 when unknown.
inline double processCpuSeconds(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto end = line.rfind(')');   // the command name may hold blanks
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(line.substr(end + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)   // state .. cmajflt
        fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds (user and system) used so far by this process (RUSAGE_SELF) or by its children
// that have ended and been waited for (RUSAGE_CHILDREN).
inline double cpuSeconds(int who = RUSAGE_SELF) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Turns `perf record` on and off around the part of a benchmark worth profiling, when the
// benchmark runs under `perf record -D -1 --control fifo:CTL` with PB_PERF_CTL=CTL set:
// the setup (mailboxes, servers) then stays out of the profile.
inline void perfControl(const char* command) {
    if (const char* fifo = std::getenv("PB_PERF_CTL"); fifo && *fifo) {
        std::ofstream ctl(fifo);
        ctl << command << '\n';
    }
}

// One timed run of the window (a button's click), with perf steered to it.
struct TimedRun {
    double secs = 0;       // wall time
    double ownCpu = 0;     // CPU seconds of this process
    double maxGapMs = 0;   // longest gap between two ticks of a 10 ms window timer
    long ticks = 0;
};

// A window timer as the user's desktop would have it shows how long the window goes unserved.
template <class Run>
TimedRun timeRun(Run&& run) {
    using Clock = std::chrono::steady_clock;
    TimedRun r;
    QTimer timer;
    auto last = Clock::now();
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        r.maxGapMs = std::max(r.maxGapMs, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
        ++r.ticks;
    });
    timer.start(10);
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    last = t0;
    perfControl("enable");
    run();
    perfControl("disable");
    r.secs = std::chrono::duration<double>(Clock::now() - t0).count();
    r.ownCpu = cpuSeconds() - cpu0;
    return r;
}

// `s` as one word for /bin/sh, whatever it holds.
inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace bench
