// The session's operations that move no data: see SftpSession.h.
#include "platform/Exception.h"
#include "sftp/SftpSession.h"

#include <QTimer>

namespace sftp {

std::string SftpSession::Resolved(const std::string& path) const
{
    if (path.empty()) return directory_.empty() ? "." : directory_;
    if (path.front() == '/' || directory_.empty()) return path;
    return directory_ + (directory_.back() == '/' ? "" : "/") + path;
}

void SftpSession::AnswerLater(transfer::DoneHandler done, transfer::Outcome outcome)
{
    const std::weak_ptr<bool> token = alive_;
    QTimer::singleShot(0, [token, done = std::move(done), outcome = std::move(outcome)] {
        if (!token.expired() && done) done(outcome);
    });
}

bool SftpSession::StartCommand(const transfer::Request& request, transfer::DoneHandler done)
{
    const auto classify = [done](const transfer::Outcome& outcome) {
        if (done) done(Classified(outcome, false));
    };
    // The directory is told as the server named it, and becomes the session's.
    const auto directory = [this, done, token = std::weak_ptr<bool>(alive_)](
                               bool change, const transfer::Outcome& result,
                               const std::string& path) {
        transfer::Outcome outcome = Classified(result, false);
        if (outcome.ok) outcome.path = path;
        if (outcome.ok && change && !token.expired()) directory_ = path;
        if (done) done(outcome);
    };
    const std::string path = Resolved(request.remotePath);
    switch (request.operation) {
    case transfer::Operation::ChangeDirectory:
        return client_.ResolveDirectory(path, [directory](const auto& outcome, const auto& named) {
            directory(true, outcome, named);
        });
    case transfer::Operation::CurrentDirectory:
        return client_.RealPath(Resolved({}), [directory](const auto& outcome, const auto& named) {
            directory(false, outcome, named);
        });
    case transfer::Operation::Delete: return client_.Remove(path, classify);
    case transfer::Operation::RemoveDirectory: return client_.RemoveDirectory(path, classify);
    case transfer::Operation::Rename:
        return client_.Rename(path, Resolved(request.newRemotePath), classify);
    default: break;
    }
    // No command of SFTP is typed by hand.
    transfer::Outcome outcome;
    outcome.message = "An SFTP server takes no typed commands";
    outcome.failure = transfer::FailureKind::Unsupported;
    AnswerLater(done, std::move(outcome));
    return true;
}

} // namespace sftp
