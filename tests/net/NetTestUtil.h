#pragma once
// Helpers for the socket component's tests: plain loopback peers and bounded event-loop waits.
#include "support/LoopbackPeers.h"

#include <chrono>
#include <functional>
#include <string>

namespace nettest {

// Runs the message-processing step until `done` holds or `timeoutMs` passes; true if it held.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs the event loop for about `ms` milliseconds.
void PumpFor(int ms);

// The loopback peers live with the shared test support; the socket tests name them here.
using testsupport::ClosedLoopbackPort;
using testsupport::LoopbackListener;
using testsupport::SilentListener;

} // namespace nettest
