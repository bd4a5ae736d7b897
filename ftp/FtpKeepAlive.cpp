// The keep-alive of an idle session: NOOP after KeepAliveSeconds without a command, sent from the
// event loop while no operation uses the control connection. Its reply is not waited for: it is
// owed to the reply reader like any other, and read either by the idle reader when it arrives or
// before the next command goes out, so it is never taken for another command's reply.
#include "ftp/KeepAlive.h"
#include "ftp/VaskFtp.h"

#include <algorithm>

namespace {

// A NOOP that is due while an operation runs is looked at again this much later.
constexpr int kBusyRetryMs = 1000;

} // namespace

void TVaskFTP::NoteCommandSent()
{
    if (KeepAliveSeconds <= 0 && !keepAlive_) return;
    if (!keepAlive_) keepAlive_ = std::make_unique<KeepAliveRunner>([this] { KeepAliveTick(); });
    keepAlive_->schedule.Configure(std::chrono::seconds(std::max(KeepAliveSeconds, 0)),
                                   std::chrono::seconds(std::max(KeepAliveLimitSeconds, 0)));
    keepAlive_->schedule.NoteCommand(KeepAliveSchedule::Clock::now(), keepAlive_->sending);
    ScheduleKeepAlive(std::nullopt);
}

void TVaskFTP::ScheduleKeepAlive(std::optional<int> retryMs)
{
    const std::optional<KeepAliveSchedule::TimePoint> due = keepAlive_->schedule.NextDue();
    if (!due) return keepAlive_->timer.Kill();
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        *due - KeepAliveSchedule::Clock::now());
    const int dueMs = static_cast<int>(std::max<int64_t>(wait.count(), 0));
    keepAlive_->timer.Set(static_cast<unsigned>(retryMs ? std::max(*retryMs, dueMs) : dueMs));
}

void TVaskFTP::KeepAliveTick()
{
    if (!Connected) return keepAlive_->timer.Kill();
    const bool due = keepAlive_->schedule.Due(KeepAliveSchedule::Clock::now());
    // An operation reads the control connection (a waiting one, or the non-blocking session's
    // listener), or a reply is still on its way: the NOOP
    // would have to wait for both, and the session is not idle anyway. A Cancel still pending
    // belongs to the caller's next command; the NOOP must not take it.
    if (due && (controlUsers_ > 0 || replyListener_ || replies_.Owed() > 0 || Canceled))
        return ScheduleKeepAlive(kBusyRetryMs);
    if (!due) return ScheduleKeepAlive(std::nullopt);
    keepAlive_->sending = true;
    try {
        ReportStatus(1, "NOOP");
        replies_.Send("NOOP");
    } catch (...) {
        // Nothing raised here may cross the event loop. A connection that failed under the NOOP
        // has been closed by the reader; the next command says "Not Connected".
    }
    keepAlive_->sending = false;
    // Not before a second from now, should the NOOP not have gone out at all.
    if (Connected) ScheduleKeepAlive(kBusyRetryMs);
}
