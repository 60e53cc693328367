#pragma once
// Runs the message loop (the window's and the host channel's events) until a condition holds
// or a bound meant for a loaded machine has passed; whether it holds.
//
//   ASSERT_TRUE(test::waitFor([&] { return !w.edapi1->Connected(); }));
#include "platform/MessageLoop.h"

#include <chrono>
#include <functional>

namespace pb::test {

inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pumpUntil([&] { return done() || std::chrono::steady_clock::now() > deadline; });
    return done();
}

} // namespace pb::test
