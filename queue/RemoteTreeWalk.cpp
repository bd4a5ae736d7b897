#include "queue/RemoteTreeWalk.h"

#include "queue/SafeName.h"

#include <set>

namespace transfer {

RemoteTreeWalk::RemoteTreeWalk(Session& session, std::string root)
    : session_(session), root_(std::move(root))
{
}

RemoteTreeWalk::~RemoteTreeWalk() { *alive_ = false; }

void RemoteTreeWalk::Start(DoneHandler done)
{
    done_ = std::move(done);
    pending_.assign(1, std::string());
    Next();
}

void RemoteTreeWalk::Next()
{
    if (pending_.empty()) return End(Outcome::Success());
    const std::string below = pending_.front();
    pending_.pop_front();
    Request request;
    request.operation = Operation::List;
    request.remotePath = JoinRemote(root_, below);
    const bool started = session_.StartList(
        request, [this, below, alive = std::weak_ptr<bool>(alive_)](
                     const Outcome& outcome, const std::vector<RemoteEntry>& entries) {
            const auto token = alive.lock();
            if (token && *token) Listed(below, outcome, entries);
        });
    if (!started) {
        Outcome busy;
        busy.message = "the session is busy";
        End(busy);
    }
}

void RemoteTreeWalk::Listed(const std::string& below, const Outcome& outcome,
                            const std::vector<RemoteEntry>& entries)
{
    if (!outcome.ok) {
        if (below.empty() || outcome.reason == ErrorReason::Canceled) return End(outcome);
        tree_.refused.push_back(below + ": cannot be listed: " + outcome.message);
        return Next();
    }
    std::set<std::string> names;
    for (const RemoteEntry& entry : entries) {
        // A listing's own entries for the directory itself and its parent are no part of the
        // tree; under any other kind those names are an attempt, and are refused below.
        if (entry.kind == RemoteEntry::Kind::Directory && (entry.name == "." || entry.name == ".."))
            continue;
        if (const auto why = UnsafeNameReason(entry.name)) {
            // The name as the server sent it may hold anything: it is shown with its bytes
            // made visible, never used.
            std::string shown;
            for (const char c : entry.name)
                shown += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
            tree_.refused.push_back((below.empty() ? "" : below + "/") + "\"" + shown +
                                    "\": refused: " + *why);
            continue;
        }
        const std::string path = below.empty() ? entry.name : below + "/" + entry.name;
        // Two entries of one name would be two transfers into one local file at once.
        if (!names.insert(entry.name).second) {
            tree_.refused.push_back(path + ": refused: listed twice");
            continue;
        }
        switch (entry.kind) {
        case RemoteEntry::Kind::Directory:
            tree_.directories.push_back(path);
            if (entry.modifiedUtc) tree_.directoryTimes[path] = *entry.modifiedUtc;
            pending_.push_back(path);
            break;
        case RemoteEntry::Kind::File:
            tree_.files.push_back(TreeFile{path, FileFacts{entry.size, entry.modifiedUtc}});
            break;
        case RemoteEntry::Kind::Link:
            tree_.leftOut.push_back(path + ": a link on the server, not followed");
            break;
        case RemoteEntry::Kind::Other:
            tree_.refused.push_back(path + ": neither a file nor a directory");
            break;
        }
    }
    Next();
}

void RemoteTreeWalk::End(const Outcome& outcome)
{
    if (done_) done_(outcome, tree_);
}

} // namespace transfer
