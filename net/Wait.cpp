// The one wait: see Wait.h.
#include "net/Wait.h"

#include "net/Wirecore.h"
#include "platform/MessageLoop.h"

Deadline Deadline::NoProgressFor(int32_t ms, Now now)
{
    Deadline deadline;
    deadline.ms_ = ms > 0 ? ms : 0;
    deadline.now_ = now;
    deadline.Progress();
    return deadline;
}

Deadline Deadline::SlowerThan(const int64_t& counter, int64_t bytes, int32_t ms, Now now)
{
    Deadline deadline = NoProgressFor(bytes > 0 ? ms : 0, now);
    deadline.counter_ = &counter;
    deadline.bytes_ = bytes;
    deadline.counted_ = counter;
    return deadline;
}

int Deadline::RemainingMs() const
{
    if (ms_ <= 0) return -1;
    if (counter_) {
        // A counter that was set back (a new transfer on the connection) counts from there.
        if (*counter_ < counted_) counted_ = *counter_;
        if (*counter_ - counted_ >= bytes_) {
            counted_ = *counter_;
            last_ = now_();
        }
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(now_() - last_).count();
    return elapsed >= ms_ ? 0 : static_cast<int>(ms_ - elapsed);
}

namespace {

// Whether the wait is over, and why. A Cancel of the component the socket serves is taken over
// as the socket's own, so that the operation that waits sees it where it always looks.
WaitEnd Verdict(TWirecore& socket, const WaitBounds& bounds)
{
    if (!socket.Canceled && socket.CanceledWith && socket.CanceledWith->Canceled)
        socket.Canceled = true;
    if (socket.Canceled) return socket.TimedOut ? WaitEnd::TimedOut : WaitEnd::Canceled;
    if (bounds.byTimer && socket.TimedOut) return WaitEnd::TimedOut;
    for (const Deadline* deadline : {bounds.deadline, socket.OuterDeadline}) {
        if (deadline && deadline->Passed()) {
            socket.TimedOut = true;
            return WaitEnd::TimedOut;
        }
    }
    return WaitEnd::Ready;
}

// The sooner of the wait's own deadline and the component's outer one, -1 for none.
int WakeAfterMs(const TWirecore& socket, const WaitBounds& bounds)
{
    int soonest = -1;
    for (const Deadline* deadline : {bounds.deadline, socket.OuterDeadline}) {
        const int remaining = deadline ? deadline->RemainingMs() : -1;
        if (remaining >= 0 && (soonest < 0 || remaining < soonest)) soonest = remaining;
    }
    return soonest;
}

// One pass of the event loop as `pass` asks; true when one ran.
bool RunPass(WaitPass pass, int wakeAfterMs)
{
    switch (pass) {
    case WaitPass::Block: platform::ProcessMessages(wakeAfterMs); break;
    case WaitPass::IfDue: return platform::ProcessMessagesWhileBusy();
    case WaitPass::Now: platform::ProcessPendingMessages(); break;
    case WaitPass::None: return false;
    }
    return true;
}

} // namespace

WaitEnd Wait(TWirecore& socket, const WaitBounds& bounds, const std::function<bool()>& until)
{
    for (;;) {
        // Whoever watches something else for this wait looks before it sleeps, too: what it
        // watches may have changed without an event that would wake the pass.
        if (bounds.pass == WaitPass::Block && socket.OnWaitPass) socket.OnWaitPass();
        const WaitEnd end = Verdict(socket, bounds);
        if (end != WaitEnd::Ready || (until && until())) return end;
        if (bounds.pass == WaitPass::None) return end;
        if (RunPass(bounds.pass, WakeAfterMs(socket, bounds)) && socket.OnWaitPass)
            socket.OnWaitPass();
        if (!until) return Verdict(socket, bounds);
    }
}
