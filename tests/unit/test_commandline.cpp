// When the window could not find a display, where Qt would abort: the environment and Qt's own
// options together. (What the line refuses is tried on the program itself, in the headless tests.)
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace pb {
namespace {

TCommandLine read(std::vector<const char*> args) {
    args.insert(args.begin(), "postbridge");
    return ReadCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, AWindowNeedsADisplayUnlessItsPlatformNeedsNone) {
    struct Row {
        std::vector<const char*> args;
        const char *qpa, *display, *wayland;
        bool refused;
    } rows[] = {
        {{}, "", "", "", true},
        {{}, nullptr, nullptr, "wayland-0", false},
        {{}, "offscreen", nullptr, nullptr, false},
        {{}, "xcb", nullptr, "wayland-0", true},
        {{}, "wayland;xcb", ":0", nullptr, false},
        {{"-display", ":1"}, "xcb", nullptr, nullptr, false},
        {{"-platform", "xcb"}, "vnc:size=800x600", nullptr, nullptr, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.qpa ? r.qpa : "-") + " " + (r.display ? r.display : "-"));
        const std::string problem = WindowDisplayProblem(read(r.args), r.qpa, r.display, r.wayland);
        EXPECT_EQ(!problem.empty(), r.refused) << problem;
    }
}

} // namespace
} // namespace pb
