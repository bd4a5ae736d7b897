#pragma once
// Ctrl-C and SIGTERM. Outside a mirror they end the program at once, with 128 + the signal's
// number (130, 143): a download cut off stays under its temporary name, never under its own.
// During a mirror, InterruptWatch turns the first one into a cancel that the event loop carries
// out, so that the summary still says what arrived whole; should the loop not get to it within
// a short grace (a call that blocks), or a second signal come, the program ends at once all the
// same. The handlers never let an interrupted call start again (no SA_RESTART).
#include <functional>
#include <memory>

class QSocketNotifier;

namespace ftpdrive {

// Installs the handlers that end the program at once.
void EndOnInterrupt();

// The signal that interrupted the run, 0 when none did.
int InterruptSignal();

class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void()> onInterrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace ftpdrive
