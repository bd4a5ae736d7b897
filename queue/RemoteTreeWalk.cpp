#include "queue/RemoteTreeWalk.h"

#include "queue/SafeName.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace transfer {

namespace {

uint64_t Mixed(uint64_t value)
{
    value += 0x9e3779b97f4a7c15ULL;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

uint64_t HashOf(std::string_view text) { return Mixed(std::hash<std::string_view>{}(text)); }

// Levels below the root: "a" is 1, "a/b" 2.
size_t DepthOf(const std::string& path)
{
    return static_cast<size_t>(std::count(path.begin(), path.end(), '/')) + 1;
}

bool SelfOrParent(const RemoteEntry& entry)
{
    return entry.kind == RemoteEntry::Kind::Directory && (entry.name == "." || entry.name == "..");
}

} // namespace

RemoteTreeWalk::RemoteTreeWalk(Session& session, std::string root, WalkLimits limits)
    : session_(session), root_(std::move(root)), limits_(limits)
{
}

RemoteTreeWalk::~RemoteTreeWalk() { *alive_ = false; }

void RemoteTreeWalk::Start(DoneHandler done)
{
    done_ = std::move(done);
    pending_.assign(1, kRoot);
    Next();
}

const std::string& RemoteTreeWalk::PathOf(size_t folder) const
{
    static const std::string top;
    return folder == kRoot ? top : tree_.directories[folder];
}

std::string RemoteTreeWalk::ShownPath(size_t folder) const
{
    // Bounded: each step leads to a folder listed earlier.
    for (auto it = sameAs_.find(folder); it != sameAs_.end(); it = sameAs_.find(folder))
        folder = it->second;
    return folder == kRoot ? std::string("the top folder") : PathOf(folder);
}

void RemoteTreeWalk::Repeated(std::string path, size_t same, bool byListing)
{
    repeats_.push_back(Repeat{tree_.leftOut.size(), std::move(path), same, byListing});
    tree_.leftOut.emplace_back();
}

void RemoteTreeWalk::Next()
{
    if (pending_.empty()) return End(Outcome::Success());
    const size_t folder = pending_.front();
    pending_.pop_front();
    Request request;
    request.operation = Operation::List;
    request.remotePath = JoinRemote(root_, PathOf(folder));
    request.maxEntries = limits_.perListing;
    const bool started = session_.StartList(
        request, [this, folder, alive = std::weak_ptr<bool>(alive_)](
                     const Outcome& outcome, const std::vector<RemoteEntry>& entries) {
            const auto token = alive.lock();
            if (token && *token) Listed(folder, outcome, entries);
        });
    if (!started) {
        Outcome busy;
        busy.message = "the session is busy";
        End(busy);
    }
}

bool RemoteTreeWalk::SeenBefore(size_t folder, const std::vector<RemoteEntry>& entries)
{
    uint64_t sum = 0;
    size_t count = 0;
    for (const RemoteEntry& entry : entries) {
        if (SelfOrParent(entry)) continue;
        if (entry.unique.empty()) return false;
        // The order of a listing is the server's: the sum does not depend on it.
        sum += HashOf(entry.unique);
        ++count;
    }
    if (count == 0) return false;
    const auto [it, added] = listings_.emplace(Mixed(sum ^ count), folder);
    if (added) return false;
    Repeated(PathOf(folder), it->second, true);
    sameAs_.emplace(folder, it->second);
    dropped_.push_back(folder);
    return true;
}

void RemoteTreeWalk::StopAtRunLimit(size_t folder)
{
    std::string line = ShownPath(folder) + ": not walked";
    if (!pending_.empty()) line += ", nor " + std::to_string(pending_.size()) + " folders more";
    line += ": the run's limit of " + std::to_string(limits_.entries) + " entries was reached";
    tree_.refused.push_back(std::move(line));
    if (folder != kRoot) dropped_.push_back(folder);
    dropped_.insert(dropped_.end(), pending_.begin(), pending_.end());
    pending_.clear();
}

void RemoteTreeWalk::Listed(size_t folder, const Outcome& outcome,
                            const std::vector<RemoteEntry>& entries)
{
    const std::string below = PathOf(folder);
    if (outcome.ok && entries.size() > limits_.perListing) {
        Outcome tooMany;
        tooMany.reason = ErrorReason::LineTooLong;
        tooMany.message = "Listing of more than " + std::to_string(limits_.perListing) + " entries";
        return Listed(folder, tooMany, {});
    }
    if (!outcome.ok) {
        if (below.empty() || outcome.reason == ErrorReason::Canceled) return End(outcome);
        tree_.refused.push_back(below + ": cannot be listed: " + outcome.message);
        return Next();
    }
    if (taken_ + entries.size() > limits_.entries) {
        StopAtRunLimit(folder);
        return Next();
    }
    taken_ += entries.size();
    if (SeenBefore(folder, entries)) return Next();
    std::unordered_set<std::string_view> names;
    for (const RemoteEntry& entry : entries) {
        // A listing's own entries for the directory itself and its parent are no part of the
        // tree; under any other kind those names are an attempt, and are refused below.
        if (SelfOrParent(entry)) continue;
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
        case RemoteEntry::Kind::Directory: {
            if (DepthOf(path) > limits_.depth) {
                tree_.refused.push_back(path + ": not walked: more than " +
                                        std::to_string(limits_.depth) + " levels deep");
                break;
            }
            const size_t index = tree_.directories.size();
            if (!entry.unique.empty()) {
                const auto [it, added] = uniques_.emplace(HashOf(entry.unique), index);
                if (!added) {
                    Repeated(path, it->second, false);
                    break;
                }
            }
            tree_.directories.push_back(path);
            if (entry.modifiedUtc) tree_.directoryTimes[path] = *entry.modifiedUtc;
            pending_.push_back(index);
            break;
        }
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
    for (const Repeat& repeat : repeats_)
        tree_.leftOut[repeat.line] =
            repeat.path + ": the same folder as " + ShownPath(repeat.same) +
            (repeat.byListing ? " (it lists the same entries)" : "") + ", not walked again";
    repeats_.clear();
    // Folders that were never listed are not made either: an empty copy would pass for a whole
    // one.
    if (!dropped_.empty()) {
        std::vector<bool> drop(tree_.directories.size(), false);
        for (const size_t folder : dropped_)
            if (folder != kRoot) drop[folder] = true;
        size_t kept = 0;
        for (size_t i = 0; i < tree_.directories.size(); ++i) {
            if (drop[i]) continue;
            if (kept != i) tree_.directories[kept] = std::move(tree_.directories[i]);
            ++kept;
        }
        tree_.directories.resize(kept);
        dropped_.clear();
    }
    if (done_) done_(outcome, tree_);
}

} // namespace transfer
