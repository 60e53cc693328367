#pragma once
// The clock of time limits and turns: milliseconds that only go forward, whatever the wall
// clock does (a changed system time must neither end a wait early nor stretch it).
#include <chrono>
#include <cstdint>

namespace pb {

inline std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace pb
