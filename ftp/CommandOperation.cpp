// One command and its reply as a state machine: see CommandOperation.h.
#include "ftp/CommandOperation.h"

#include "net/TextFields.h"

CommandOperation::CommandOperation(std::string command)
    : command_(std::move(command)), kind_(Classify(command_))
{
}

TCmdType CommandOperation::Classify(const std::string& command)
{
    const std::string word = ExtractField(command, ' ', 1) + " ";
    if (word == "CWD ") return ctChangeDirectory;
    if (word == "DELE ") return ctDeleteFile;
    if (word == "MKD ") return ctMakeDirectory;
    if (word == "RMD ") return ctRemoveDirectory;
    if (command == "PWD") return ctCurrentDirectory;
    return ctOtherCommand;
}

CommandOperation::Step CommandOperation::Enter(State next, Step step)
{
    state_ = next;
    return step;
}

CommandOperation::Step CommandOperation::Start()
{
    Step step;
    step.what = Step::Do::Send;
    step.command = command_;
    return Enter(State::AwaitingReply, std::move(step));
}

CommandOperation::Step CommandOperation::Reply(const FtpReply& reply)
{
    Step step;
    if (state_ != State::AwaitingReply) {
        step.failure = {"Reply out of turn: " + reply.first, ErrorReason::OutOfStep};
        return Enter(State::Failed, std::move(step));
    }
    // A server that hangs up instead of answering has not done what was asked.
    const bool refused = reply.code >= 400 && reply.code <= 599;
    if (!reply.closed && !reply.first.empty() && !refused) {
        step.what = Step::Do::Succeed;
        return Enter(State::Succeeded, std::move(step));
    }
    step.failure = FtpFailure::Refusal(reply);
    step.unsupported = refused && reply.code >= 500 && reply.code <= 502;
    return Enter(State::Failed, std::move(step));
}
