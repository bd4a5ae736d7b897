#pragma once
// The message-processing step every waiting loop runs.

namespace platform {

// Dispatches what is pending in the application's event loop; when nothing is pending, blocks
// until the next event (a socket notification, a timer, user input, a posted call) or, at the
// latest, a short safety interval. A wait with nothing to do so costs next to no CPU.
void ProcessMessages();

// Dispatches what is pending without blocking.
void ProcessPendingMessages();

} // namespace platform
