#include "queue/RemoteTimes.h"

#include "queue/Tree.h"

namespace transfer {

RemoteTimes::RemoteTimes(Session& session, std::string root, std::vector<std::string> paths)
    : session_(session), root_(std::move(root)), pending_(paths.begin(), paths.end())
{
}

RemoteTimes::~RemoteTimes() { *alive_ = false; }

void RemoteTimes::Start(DoneHandler done)
{
    done_ = std::move(done);
    Next();
}

void RemoteTimes::Next()
{
    if (pending_.empty()) return done_(times_);
    const std::string path = pending_.front();
    pending_.pop_front();
    Request request;
    request.operation = Operation::ModifiedTime;
    request.remotePath = JoinRemote(root_, path);
    const bool started =
        session_.Start(request, nullptr,
                       [this, path, alive = std::weak_ptr<bool>(alive_)](const Outcome& outcome) {
                           const auto token = alive.lock();
                           if (token && *token) Answered(path, outcome);
                       });
    // A session that is gone tells no more times: the files left count as different.
    if (!started) return done_(times_);
}

void RemoteTimes::Answered(const std::string& path, const Outcome& outcome)
{
    if (outcome.ok && outcome.modifiedUtc) times_[path] = *outcome.modifiedUtc;
    // A server that does not know the command, or a session that ended, gives no more times.
    const bool unknown = KindOf(outcome) == FailureKind::Unsupported;
    if (!outcome.ok &&
        (unknown || outcome.reason == ErrorReason::Canceled ||
         outcome.reason == ErrorReason::ServerClosed || outcome.reason == ErrorReason::TimedOut))
        pending_.clear();
    Next();
}

} // namespace transfer
