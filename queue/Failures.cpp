#include "queue/Failures.h"

namespace transfer {

bool WorthRetrying(const Outcome& outcome)
{
    switch (KindOf(outcome)) {
    case FailureKind::ConnectionLost:
    case FailureKind::TimedOut:
    case FailureKind::TooManySessions:
    case FailureKind::DataChannelFailed: return true;
    default: return false;
    }
}

bool TurnedAwayForLoad(const Outcome& outcome)
{
    const FailureKind kind = KindOf(outcome);
    // A login refused beside sessions that logged in with the same name and password: the
    // credentials are right, so it is the count that the server minds.
    return kind == FailureKind::TooManySessions || kind == FailureKind::LoginRefused;
}

bool SessionSurvives(const Outcome& outcome)
{
    switch (KindOf(outcome)) {
    case FailureKind::DataChannelFailed:
    case FailureKind::RefusedForGood:
    case FailureKind::Unsupported:
    case FailureKind::RefusedForNow:
    case FailureKind::LoginRefused:
    case FailureKind::LocalFailure: return true;
    default: return false;
    }
}

int64_t RetryPauseMs(int nextTry, int64_t firstPauseMs)
{
    if (nextTry < 2) return 0;
    int64_t pause = firstPauseMs;
    for (int i = 2; i < nextTry && pause < 60000; ++i) pause *= 2;
    return pause;
}

} // namespace transfer
