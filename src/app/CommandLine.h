#pragma once
// The command line, read whole before any application object exists: Qt's QApplication ends
// the process when it finds no display, so a typo or a missing display must be told first, in
// the program's own words and with its usage status.
#include "app/Headless.h"

#include <optional>
#include <string>

namespace pb {

struct TCommandLine {
    bool Help = false;
    bool Version = false;
    std::optional<THeadlessMode> Mode;   // --poll, --read or --send; none: the window
    bool UserFolder = false;
    std::string Dir;                     // --dir's folder, "" when not given
    std::string Platform;                // Qt's -platform value, "" when not given
    bool Display = false;                // Qt's -display was given
    // The first fault, worded for the usage line; empty when the line is good.
    std::string Problem;

    // Keeps the first fault: it is the one the user typed first.
    void Refuse(std::string line) {
        if (Problem.empty())
            Problem = std::move(line);
    }
};

// Reads argv[1..argc). Qt's own options (-platform, -display, -style, ...) are taken with their
// values and left in argv for the application object.
TCommandLine ReadCommandLine(int argc, const char* const* argv);

// Empty when the window can find a display here; otherwise the one line that says it cannot.
// The environment's values come in as they are (nullptr when unset): QT_QPA_PLATFORM, DISPLAY,
// WAYLAND_DISPLAY.
std::string WindowDisplayProblem(const TCommandLine& line, const char* qpaPlatform, const char* display,
                                 const char* waylandDisplay);

} // namespace pb
