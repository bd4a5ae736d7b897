#include "ftp/FailureKinds.h"

#include "net/ReplyCode.h"

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
    // "Command not understood", "not implemented": the server does not do it at all.
    if (reason == ErrorReason::ServerRefused && (replyCode == 500 || replyCode == 502))
        return FailureKind::Unsupported;
    if (reason == ErrorReason::ServerRefused && replyCode >= 400 && replyCode <= 499)
        return FailureKind::RefusedForNow;
    return transfer::KindOf(reason);
}

transfer::Outcome FailureOutcome(const std::string& message, ErrorReason reason)
{
    transfer::Outcome outcome;
    outcome.message = message;
    outcome.reason = reason;
    const int code = LeadingReplyCode(message);
    if (code >= 100 && code <= 999) outcome.replyCode = code;
    outcome.failure = FailureKindOf(outcome.replyCode, reason);
    return outcome;
}
