#pragma once
// Bounded waits in the event loop for tests that link the platform layer: what the application's
// own loop would do between commands, but ending after a deadline so that a client that never
// gets there fails its test instead of hanging it.
#include "platform/MessageLoop.h"

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

namespace testsupport {

// Runs the message-processing step until `done` holds or `timeoutMs` passes; true if it held. A
// ticking timer wakes the blocking pass, so a condition that changes without an event is seen.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(10);
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        platform::ProcessMessages();
    }
    return true;
}

// Runs the event loop for about `ms` milliseconds.
inline void PumpFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    PumpUntil([&] { return clock.elapsed() >= ms; }, ms + 1000);
}

} // namespace testsupport
