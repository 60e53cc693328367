#pragma once
// The host for the window that the desktop menu starts (`postbridge --user-folder`). The window
// attaches only once, at its start, and does not retry; started from a menu, nobody would have
// run `systemctl --user enable --now edhost` before. So that start first makes sure a host
// serves the base in the user's folder.
#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace pb {

// The output of a host started by the window, in the user's folder. A mailed file of this name
// is stored under another one.
inline constexpr const char* kHostLogFile = "edhost.log";

enum class UserHostStart {
    AlreadyServing,   // a host answered `edhost status`: used as it is
    ByUnit,           // the systemd user unit started it
    Started,          // started here, detached
    NoAnswer,         // started here, but `status` did not answer in time
    Failed,           // could not be started
};

struct UserHostResult {
    UserHostStart how = UserHostStart::Failed;
    pid_t pid = 0;          // the host started here (Started, or NoAnswer after a start here)
    std::string problem;    // German, for NoAnswer and Failed
};

// The edhost program beside this one (the package and the build both put the two side by
// side), else the first `edhost` on PATH; empty when there is none.
std::string findEdhost();

// Makes sure a host serves the base in the user's folder `folder`:
//  - a host that answers `edhost status --user-base` is used as it is;
//  - else, when a systemd user manager runs, `systemctl --user start edhost.service`;
//  - else, or when the unit cannot start or its host does not answer within half the time,
//    `edhost serve --user-base` is started here in a session of its own, so that it outlives
//    the window, its output in folder/edhost.log (kept bounded by edhost itself);
// then waits until `edhost status` answers, all of it within `wait`. The caller holds the
// folder's lock (pbridge.lock), so two windows started at once start one host; a host started
// in the same moment by the unit is refused by edhost itself (one host per base).
UserHostResult ensureUserHost(const std::string& edhost, const std::filesystem::path& folder,
                              std::chrono::milliseconds wait = std::chrono::seconds(5));

} // namespace pb
