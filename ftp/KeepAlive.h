#pragma once
// When an idle session sends NOOP so that the server does not close it for idleness. A NOOP is
// due once `interval` has passed without any command going out; after `limit` without a command
// of the user's own (NOOPs do not count) the session is let go, and the server may close it as it
// would have. Whether the control connection is free to carry the NOOP is the caller's question:
// a keep-alive never goes out while an operation uses it.
//
// Times are passed in, so the schedule is tested with a clock that is only a number.
#include "platform/WindowTimer.h"

#include <chrono>
#include <functional>
#include <optional>

class KeepAliveSchedule {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // `interval` zero: never due. `limit` zero: no limit.
    void Configure(std::chrono::seconds interval, std::chrono::seconds limit);
    // A command of the session went out at `now`: the user's, or the keep-alive's own NOOP.
    void NoteCommand(TimePoint now, bool keepAlive);
    // When the next NOOP is due; nothing when keep-alive is off, nothing has been sent yet, or
    // the session has been idle past the limit by then.
    std::optional<TimePoint> NextDue() const;
    bool Due(TimePoint now) const;

private:
    std::chrono::seconds interval_{0};
    std::chrono::seconds limit_{0};
    std::optional<TimePoint> lastCommand_;
    std::optional<TimePoint> lastUserCommand_;
};

// The component's side: the schedule, the timer that looks at it, and whether the command going
// out is the keep-alive's own.
struct KeepAliveRunner {
    explicit KeepAliveRunner(std::function<void()> onTick) : timer(std::move(onTick)) {}
    KeepAliveSchedule schedule;
    platform::WindowTimer timer;
    bool sending = false;
};
