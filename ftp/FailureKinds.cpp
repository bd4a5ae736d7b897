#include "ftp/FailureKinds.h"

transfer::FailureKind FailureKindOf(int replyCode, ErrorReason reason)
{
    using transfer::FailureKind;
    switch (replyCode) {
    // "Service not available, closing control connection": what servers say to a session too
    // many (and to one idle too long, which another try mends all the same).
    case 421: return FailureKind::TooManySessions;
    case 425: // cannot open the data connection
    case 426: // connection closed, transfer aborted
        return FailureKind::DataChannelFailed;
    case 530: return FailureKind::LoginRefused;
    default: break;
    }
    if (reason == ErrorReason::ServerRefused && replyCode >= 400 && replyCode <= 499)
        return FailureKind::RefusedForNow;
    return transfer::KindOf(reason);
}
