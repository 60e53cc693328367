// The command line as read before any application object: what it takes, what it refuses
// with the usage line, and when a window could not find a display (Qt would abort there).
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace pb {
namespace {

TCommandLine read(std::vector<const char*> args) {
    args.insert(args.begin(), "postbridge");
    return ReadCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, OptionsQtsOwnIncludedAndTheFirstFault) {
    struct Row {
        std::vector<const char*> args;
        std::string problem;
    } rows[] = {
        {{"--poll", "--dir", "X"}, ""},
        {{"--pol", "--dir", "X"}, "unbekannte Option --pol"},
        {{"-platform", "offscreen", "-style", "Windows", "-display", ":1", "--style=Fusion", "-reverse"}, ""},
        {{"-style", "--bogus"}, ""},   // "--bogus" is the style's value, as Qt reads it
        {{"-reverse=1"}, "unbekannte Option -reverse=1"},
        {{"--dir"}, "--dir braucht einen Ordner"},
        {{"--read", "--send"}, "nur eine von --poll, --read und --send"},
        {{"--user-folder", "--dir", "X"}, "--user-folder und --dir schließen einander aus"},
        {{"X", "--pol"}, "unbekannte Option X"},
        {{"--bogus", "--help"}, "unbekannte Option --bogus"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args.empty() ? "" : r.args.front());
        EXPECT_EQ(read(r.args).Problem, r.problem);
    }
    const TCommandLine line = read({"--bogus", "--help", "--send", "--dir", "F"});
    EXPECT_TRUE(line.Help && line.Mode == THeadlessMode::Send && line.Dir == "F");
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
