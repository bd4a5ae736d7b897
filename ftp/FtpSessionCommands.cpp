// The session's operations that move no data (SessionCommand): each command goes out as the
// machine asks, and each reply is checked against the command it answers before the machine is
// fed it. None of them is tried again on a new login: the first may have taken effect, and a
// relative name means something else from the new login's directory.
#include "ftp/FailureKinds.h"
#include "ftp/FtpSession.h"
#include "ftp/ReplyFit.h"

void FtpSession::StartSessionCommand(const transfer::Request& request)
{
    sessionCommand_ = std::make_unique<SessionCommand>(request);
    // A typed command may change what the login has set up (TYPE A, say): the next transfer
    // says TYPE I again.
    if (request.operation == transfer::Operation::SendCommand) binary_ = false;
    SessionCommandStep(sessionCommand_->Start());
}

void FtpSession::SessionCommandReply(const FtpReply& reply)
{
    if (!Fits(sessionCommand_->Awaiting(), reply)) return;
    SessionCommandStep(sessionCommand_->Reply(reply));
}

void FtpSession::SessionCommandStep(const SessionCommand::Step& step)
{
    using Do = SessionCommand::Step::Do;
    const SessionCommand& machine = *sessionCommand_;
    switch (step.what) {
    case Do::Send:
        ftp_->ReportStatus(1, step.command);
        ftp_->SendWithoutWaiting(step.command);
        return;
    case Do::Wait: return;
    case Do::Succeed: {
        transfer::Outcome outcome = transfer::Outcome::Success();
        outcome.path = machine.Path();
        outcome.reply = machine.ReplyText();
        return Finish(std::move(outcome));
    }
    case Do::Fail: {
        transfer::Outcome outcome = FailureOutcome(step.failure.message, step.failure.reason);
        outcome.reply = machine.ReplyText();
        return Finish(std::move(outcome));
    }
    }
}
