#pragma once
// One run without a window, for schedulers and event scripts: "postbridge --poll" and its kin.
namespace pb {

enum class THeadlessMode { Poll, Read, Send };

// Exit statuses of a run without a window.
inline constexpr int kExitDone = 0;      // the runs did their work
inline constexpr int kExitFailed = 1;    // a connection, login, host step, mail or message failed
inline constexpr int kExitUsage = 2;     // bad usage, no settings, no host, folder in use/refused

// Works in the current folder, which the caller has locked: reads "pbridge.ini", attaches to
// the host, does the runs of `mode` with the log on standard output and boxes on standard
// error, stores the log mail, detaches. Needs a QCoreApplication and no display.
int RunHeadless(THeadlessMode mode);

} // namespace pb
