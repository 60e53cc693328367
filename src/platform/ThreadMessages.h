#pragma once
// Per-thread message queues, the stand-in for PostThreadMessage / GetMessage / PeekMessage.
//
// Every thread that wants messages owns a queue: a Unix datagram socket in the session's
// private channel folder (see Session.h), named after the thread id. Posting to a thread sends
// one fixed-size datagram to that socket, so it works across processes and fails when the
// thread has no queue (it never made one, or its process died). Taking messages of a number
// range keeps the others queued, in order, for a later call; they are never dropped and never
// taken by a call whose range excludes them.
//
// Nothing but the kernel's word says who sent a datagram: every one arrives with the sender's
// credentials (SCM_CREDENTIALS). A datagram of another user, of the wrong size or marker, or
// naming a sending thread that is not a thread of the sending process is discarded on arrival
// and counted (droppedMessages). The sender's process is the kernel's pid, never a claim.
#include <cstdint>
#include <sys/types.h>

namespace pb {

// The application's quit message; a wait for a reply ends when it finds one.
constexpr std::uint32_t WM_QUIT = 0x0012;
constexpr std::uint32_t WM_USER = 0x0400;

struct TPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// A message as the thread takes it (the window handle of a thread message is always 0).
// wParam and lParam are pointer-sized, so a process may pass a pointer to itself.
struct tagMSG {
    std::uintptr_t hwnd = 0;
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    std::uint32_t time = 0;
    TPoint pt;
};

// Who posted a message, not part of tagMSG: the process from the kernel's credentials, the
// thread as the datagram names it (checked to be a thread of that process), and the sequence
// number the poster gave it (a reply echoes the command's, see postThreadMessage).
struct MessageOrigin {
    std::uint32_t tid = 0;
    pid_t pid = 0;
    std::uint32_t seq = 0;
};

// Makes sure the calling thread has a queue (PeekMessage's side effect on Windows). Returns
// false when the queue cannot be made (for example the name is taken by a live thread of
// another process with the same id in another pid namespace).
bool ensureMessageQueue();

// True when a thread of this id has a queue in the current session.
bool threadHasQueue(std::uint32_t tid);

// PostThreadMessageA: false when the target has no queue or the queue stays full for 5 s.
// seq travels in a spare word of the datagram beside wParam and lParam: a command carries a
// fresh number and its reply the same one, so a waiter can tell its own reply from any other.
bool postThreadMessage(std::uint32_t tid, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam, std::uint32_t seq = 0);

// A fresh sequence number for a command of the calling thread (never 0).
std::uint32_t nextSequence();

// How many datagrams this process has discarded on arrival (foreign user, forged thread,
// malformed).
std::uint64_t droppedMessages();

enum class WaitResult { Message, Quit, Timeout, Error };

// Takes the next message whose number lies in [first, last] from the calling thread's queue,
// waiting at most timeoutMs (negative: without limit). Messages outside the range stay queued.
// With stopOnQuit, a queued WM_QUIT ends the wait (and stays queued).
WaitResult waitMessage(tagMSG& msg, std::uint32_t first, std::uint32_t last, int timeoutMs,
                       bool stopOnQuit = false, MessageOrigin* origin = nullptr);

// PeekMessage with removal: takes a message of the range if one is queued, never waits.
bool peekMessage(tagMSG& msg, std::uint32_t first, std::uint32_t last,
                 MessageOrigin* origin = nullptr);

// Removes every queued message of this number (for example replies that nobody waits for).
void discardMessages(std::uint32_t message);

// The descriptor that becomes readable when a datagram arrives for the calling thread (for a
// poll loop). Messages already taken off the socket but kept aside do not make it readable:
// call peekMessage first.
int messageQueueFd();

} // namespace pb
