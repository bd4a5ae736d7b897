#include "queue/Scheduler.h"

#include <QTimer>

#include <chrono>

namespace transfer {

namespace {

int64_t MonotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

EventLoopScheduler::EventLoopScheduler() : startNs_(MonotonicNs()) {}

int64_t EventLoopScheduler::NowMs() const { return (MonotonicNs() - startNs_) / 1000000; }

void EventLoopScheduler::After(int64_t delayMs, std::function<void()> call)
{
    QTimer::singleShot(std::chrono::milliseconds(delayMs < 0 ? 0 : delayMs), std::move(call));
}

} // namespace transfer
