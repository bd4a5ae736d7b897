#include "queue/Failures.h"

namespace transfer {

bool WorthRetrying(const Outcome& outcome)
{
    if (outcome.ok) return false;
    switch (outcome.replyCode) {
    case 421:
    case 425:
    case 426: return true;
    default: break;
    }
    switch (outcome.reason) {
    case ErrorReason::SocketError:
    case ErrorReason::ServerClosed:
    case ErrorReason::TimedOut:
    case ErrorReason::ConnectTimedOut:
    case ErrorReason::ConnectFailed:
    case ErrorReason::LookupTimedOut:
    case ErrorReason::DataConnectionFailed:
    case ErrorReason::TransferIncomplete:
    case ErrorReason::TlsTruncated:
    case ErrorReason::OutOfStep: return true;
    default: return false;
    }
}

bool TurnedAwayForLoad(const Outcome& outcome)
{
    if (outcome.ok) return false;
    if (outcome.replyCode == 421) return true;
    // A login refused (530) for a session beside others that logged in with the same name and
    // password: the credentials are right, so it is the count that the server minds.
    return outcome.replyCode == 530;
}

int64_t RetryPauseMs(int nextTry, int64_t firstPauseMs)
{
    if (nextTry < 2) return 0;
    int64_t pause = firstPauseMs;
    for (int i = 2; i < nextTry && pause < 60000; ++i) pause *= 2;
    return pause;
}

} // namespace transfer
