// The logout as a state machine: see LogoutOperation.h.
#include "ftp/LogoutOperation.h"

LogoutOperation::Step LogoutOperation::Start()
{
    state_ = State::Quitting;
    Step step;
    step.what = Step::Do::Quit;
    step.status = "QUIT";
    return step;
}

LogoutOperation::Step LogoutOperation::Reply(const FtpReply& reply)
{
    Step step;
    // A courtesy unanswered, or a server that hung up on it: the connection closes all the same.
    if (state_ != State::Quitting || reply.closed || reply.code <= 300 || reply.code >= 600) {
        state_ = State::Done;
        return step;
    }
    state_ = State::Refused;
    step.what = Step::Do::CloseAndFail;
    step.failure = FtpFailure::Refusal(reply);
    return step;
}
