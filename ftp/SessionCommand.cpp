// The session's commands that move no data: see SessionCommand.h.
#include "ftp/SessionCommand.h"

#include "ftp/VaskFtp.h"

namespace {

std::string WithoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

bool Refused(const FtpReply& reply) { return reply.code >= 400 && reply.code <= 599; }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

} // namespace

// Servers write a double quote that belongs to the path as two (257 "/a""b" names /a"b). Some do
// not double it (257 "/a"b" is current); a quote that is neither doubled nor the line's last one
// is then taken as part of the path, which ends at the line's last quote.
std::string QuotedPath(const std::string& reply)
{
    const size_t open = reply.find('"');
    if (open == std::string::npos) return {};
    const size_t last = reply.rfind('"');
    std::string path;
    for (size_t at = open + 1; at < reply.size(); ++at) {
        if (reply[at] == '"') {
            if (at + 1 < reply.size() && reply[at + 1] == '"')
                ++at;
            else if (at == last)
                break;
        }
        path += reply[at];
    }
    return path;
}

bool SessionCommand::Handles(transfer::Operation operation)
{
    using transfer::Operation;
    switch (operation) {
    case Operation::ChangeDirectory:
    case Operation::CurrentDirectory:
    case Operation::Delete:
    case Operation::RemoveDirectory:
    case Operation::Rename:
    case Operation::SendCommand: return true;
    default: return false;
    }
}

SessionCommand::SessionCommand(const transfer::Request& request) : request_(request)
{
    // Both of a rename's names are checked before the first goes out.
    if (request_.operation == transfer::Operation::Rename)
        TVaskFTP::RequireSingleLine(request_.newRemotePath);
    TVaskFTP::RequireSingleLine(request_.remotePath);
    TVaskFTP::RequireSingleLine(request_.command);
}

SessionCommand::Step SessionCommand::Start()
{
    using transfer::Operation;
    switch (request_.operation) {
    case Operation::ChangeDirectory: return Send("CWD " + request_.remotePath);
    case Operation::CurrentDirectory: return Send("PWD");
    case Operation::Delete: return Send("DELE " + request_.remotePath);
    case Operation::RemoveDirectory: return Send("RMD " + request_.remotePath);
    case Operation::Rename: return Send("RNFR " + request_.remotePath);
    case Operation::SendCommand: return Send(request_.command);
    default: return Fail({"Not a command of its own", ErrorReason::InvalidCommand});
    }
}

SessionCommand::Step SessionCommand::Send(std::string command)
{
    sent_ = command;
    Step step;
    step.what = Step::Do::Send;
    step.command = std::move(command);
    return step;
}

SessionCommand::Step SessionCommand::Succeed()
{
    ended_ = true;
    Step step;
    step.what = Step::Do::Succeed;
    return step;
}

SessionCommand::Step SessionCommand::Fail(FtpFailure failure)
{
    ended_ = true;
    failure.message = WithoutLineEnd(std::move(failure.message));
    Step step;
    step.failure = std::move(failure);
    return step;
}

SessionCommand::Step SessionCommand::Reply(const FtpReply& reply)
{
    using transfer::Operation;
    if (ended_ || sent_.empty())
        return Fail({"Reply out of turn: " + reply.first, ErrorReason::OutOfStep});
    if (request_.operation == Operation::SendCommand) {
        for (const std::string& line : reply.lines) {
            if (!replyText_.empty()) replyText_ += '\n';
            replyText_ += WithoutLineEnd(line);
        }
    }
    // A server that hangs up instead of answering has not done what was asked.
    if (reply.closed || reply.first.empty()) return Fail(FtpFailure::Refusal(reply));
    // Only a command that may get one is handed a preliminary reply: its last word follows.
    if (reply.code >= 100 && reply.code <= 199) return Step{Step::Do::Wait, {}, {}};
    switch (request_.operation) {
    case Operation::ChangeDirectory:
        if (StartsWith(sent_, "CWD ")) {
            if (Refused(reply)) return Fail(FtpFailure::Refusal(reply));
            return Send("PWD");
        }
        // The directory has changed; a server that will not say to what only leaves it unnamed.
        if (!Refused(reply)) path_ = QuotedPath(WithoutLineEnd(reply.first));
        return Succeed();
    case Operation::CurrentDirectory:
        if (Refused(reply)) return Fail(FtpFailure::Refusal(reply));
        path_ = QuotedPath(WithoutLineEnd(reply.first));
        if (path_.empty())
            return Fail(
                {"No directory in the answer to PWD: " + reply.first, ErrorReason::BadReply});
        return Succeed();
    case Operation::Rename:
        if (Refused(reply)) return Fail(FtpFailure::Refusal(reply));
        if (StartsWith(sent_, "RNFR ")) return Send("RNTO " + request_.newRemotePath);
        return Succeed();
    default:
        if (Refused(reply)) return Fail(FtpFailure::Refusal(reply));
        return Succeed();
    }
}
