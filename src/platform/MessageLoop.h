#pragma once
// The application's message loop as the components see it. Every network wait of the mail
// components is `pumpUntil`: dispatch whatever is pending, otherwise sleep until something
// arrives or 2 ms have passed, then test the wait's condition again. Button presses, timers and
// host events are therefore handled in the middle of a wait (re-entrancy is intended).
#include <functional>

namespace pb {

// Dispatch the application's pending messages; if none are pending, wait at most 2 ms for one.
// Never sleeps when events are already queued.
void pumpOnce();

// Repeat pumpOnce until done() is true (tested before every turn).
void pumpUntil(const std::function<bool()>& done);

// Dispatch what is pending without waiting (Application.ProcessMessages).
void processMessages();

} // namespace pb
