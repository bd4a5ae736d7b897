#pragma once
// Time as the transfer queue sees it: what time it is, and "call this later". The queue's pauses
// between tries go through it, so that a test can drive them with a clock of its own instead of
// waiting.
#include <cstdint>
#include <functional>

namespace transfer {

class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Milliseconds from some fixed moment; only differences mean anything.
    virtual int64_t NowMs() const = 0;
    // Calls `call` once from the event loop, no sooner than `delayMs` from now (0: as soon as the
    // loop runs again, never inside this call).
    virtual void After(int64_t delayMs, std::function<void()> call) = 0;
};

// The event loop's timers and a monotonic clock.
class EventLoopScheduler : public Scheduler {
public:
    EventLoopScheduler();
    int64_t NowMs() const override;
    void After(int64_t delayMs, std::function<void()> call) override;

private:
    int64_t startNs_;
};

} // namespace transfer
