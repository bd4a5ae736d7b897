#pragma once
// The message-processing step. Only the components' one wait (net/Wait.cpp) calls it; the
// application's main loop is the only other place where the event loop runs.

namespace platform {

// Dispatches what is pending in the application's event loop; when nothing is pending, blocks
// until the next event (a socket notification, a timer, user input, a posted call), or until
// `wakeAfterMs` have passed when that is 0 or more. A wait with nothing to do costs no CPU.
void ProcessMessages(int wakeAfterMs = -1);

// Dispatches what is pending without blocking.
void ProcessPendingMessages();

// The pass of a loop that is moving data and will go round again at once: a non-blocking pass
// when the last pass of any kind lies kBusyPassIntervalMs or more back, nothing otherwise. At
// full speed a 64 KiB block takes tens of microseconds, far less than a pass, so a pass per
// block would cost more than the block; one every few milliseconds still lets handlers, timers,
// a Cancel and the window's input and repaints through in good time. True when a pass ran.
bool ProcessMessagesWhileBusy();
inline constexpr int kBusyPassIntervalMs = 5;

} // namespace platform
