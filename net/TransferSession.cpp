#include "net/TransferSession.h"

namespace transfer {

FailureKind KindOf(ErrorReason reason)
{
    switch (reason) {
    case ErrorReason::FileOpen:
    case ErrorReason::FileCreate:
    case ErrorReason::FileRead:
    case ErrorReason::FileWrite: return FailureKind::LocalFailure;
    case ErrorReason::SocketError:
    case ErrorReason::ServerClosed:
    case ErrorReason::ConnectFailed:
    // The session closed itself, its replies being no longer those of its commands.
    case ErrorReason::OutOfStep:
    // A file's stream ended without its end being said: the peer, or someone between, cut it.
    case ErrorReason::TlsTruncated: return FailureKind::ConnectionLost;
    case ErrorReason::TimedOut:
    case ErrorReason::ConnectTimedOut:
    case ErrorReason::LookupTimedOut: return FailureKind::TimedOut;
    case ErrorReason::Canceled:
    case ErrorReason::LookupCanceled:
    case ErrorReason::ConnectCanceled:
    case ErrorReason::AcceptCanceled: return FailureKind::Canceled;
    case ErrorReason::DataConnectionFailed:
    case ErrorReason::TransferIncomplete: return FailureKind::DataChannelFailed;
    // A refusal of the server's, and the refusals of our own that no other try would change: a
    // certificate nobody trusts, TLS that was required and not had.
    case ErrorReason::ServerRefused:
    case ErrorReason::CertificateRejected:
    case ErrorReason::TlsUnavailable:
    case ErrorReason::ClearLoginDeclined:
    case ErrorReason::TlsDataNotResumed: return FailureKind::RefusedForGood;
    default: return FailureKind::Other;
    }
}

FailureKind KindOf(const Outcome& outcome)
{
    if (outcome.ok) return FailureKind::None;
    if (outcome.failure != FailureKind::None) return outcome.failure;
    return KindOf(outcome.reason);
}

} // namespace transfer
