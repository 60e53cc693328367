#pragma once
// Ctrl-C and a kill (SIGINT, SIGTERM, SIGHUP) are turned into an ordinary event: the signal
// handler only writes a byte, and `act` runs from the event loop, where it may do anything the
// program's own "Beenden" or "Abbrechen" does.
#include <QObject>

#include <functional>

namespace pb {

// Installs the handlers; `act` runs in `context`'s thread for every signal until `context` goes.
void onTerminationSignals(QObject* context, std::function<void()> act);

} // namespace pb
