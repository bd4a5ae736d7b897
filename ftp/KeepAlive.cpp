#include "ftp/KeepAlive.h"

void KeepAliveSchedule::Configure(std::chrono::seconds interval, std::chrono::seconds limit)
{
    interval_ = interval;
    limit_ = limit;
}

void KeepAliveSchedule::NoteCommand(TimePoint now, bool keepAlive)
{
    lastCommand_ = now;
    if (!keepAlive || !lastUserCommand_) lastUserCommand_ = now;
}

std::optional<KeepAliveSchedule::TimePoint> KeepAliveSchedule::NextDue() const
{
    if (interval_.count() <= 0 || !lastCommand_) return std::nullopt;
    const TimePoint due = *lastCommand_ + interval_;
    if (limit_.count() > 0 && due >= *lastUserCommand_ + limit_) return std::nullopt;
    return due;
}

bool KeepAliveSchedule::Due(TimePoint now) const
{
    const std::optional<TimePoint> due = NextDue();
    return due && now >= *due;
}
