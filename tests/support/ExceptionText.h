#pragma once
// The message of the exception `f` throws, for tests that check what a failure says;
// "(no exception)" when it returns normally.
#include <exception>
#include <functional>
#include <string>

namespace pb::test {

inline std::string exceptionText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

} // namespace pb::test
