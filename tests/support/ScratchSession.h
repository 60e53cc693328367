#pragma once
// A host channel session of a test's own, under a name no other object uses (prefix, pid and
// a count). Its folder in the channel folder goes with the object, together with whatever a
// program left in it, so that test runs leave no folders behind; tests that fail included.
// Entered, it is this process's session (EDAPI_SESSION) until the object goes.
//
//   test::ScratchSession nobody;          // a session where no host runs
//   nobody.enter();                       // or pass nobody.name() to a child's environment
#include "platform/Session.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>

namespace pb::test {

class ScratchSession {
public:
    explicit ScratchSession(const std::string& prefix = "pbtest-nohost") {
        static std::atomic<int> counter{0};
        name_ = prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    }
    ~ScratchSession() {
        // The channel folder of this moment: a test that moves it ($XDG_RUNTIME_DIR) moves it
        // for the whole test.
        if (const ChannelDir root = channelRoot(); root.ok) {
            std::error_code ec;
            std::filesystem::remove_all(root.path + "/" + name_, ec);
        }
        if (entered_)
            old_ ? ::setenv("EDAPI_SESSION", old_->c_str(), 1) : ::unsetenv("EDAPI_SESSION");
    }
    ScratchSession(const ScratchSession&) = delete;
    ScratchSession& operator=(const ScratchSession&) = delete;

    void enter() {
        if (!entered_) {
            if (const char* s = std::getenv("EDAPI_SESSION"))
                old_ = s;
            entered_ = true;
        }
        ::setenv("EDAPI_SESSION", name_.c_str(), 1);
    }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::optional<std::string> old_;
    bool entered_ = false;
};

} // namespace pb::test
