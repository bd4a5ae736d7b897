#include "queue/TreeTransfer.h"

#include "platform/LocalFile.h"
#include "queue/LocalTarget.h"
#include "queue/RemoteTimes.h"
#include "queue/RemoteTreeWalk.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <system_error>
#include <utility>

namespace transfer {

namespace fs = std::filesystem;

namespace {

// "a/b/c" gives "a/b" and "c", "c" gives "" (the login directory) and "c"; nullopt for a root
// that names no entry of a parent ("/", "", ".", "..").
std::optional<std::pair<std::string, std::string>> ParentAndName(std::string path)
{
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    if (slash == std::string::npos) return std::make_pair(std::string(), name);
    return std::make_pair(slash == 0 ? std::string("/") : path.substr(0, slash), name);
}

// What a resumed download has already: the bytes that will not move.
int64_t BytesThere(const QueueItem& item)
{
    if (!item.request.resume || item.request.operation != Operation::Get) return 0;
    const std::optional<FileFacts> there = LocalFacts(item.request.localPath);
    if (!there || !there->size) return 0;
    return std::min<int64_t>(item.size, static_cast<int64_t>(*there->size));
}

std::string ParentOf(const std::string& below)
{
    const size_t slash = below.rfind('/');
    return slash == std::string::npos ? std::string() : below.substr(0, slash);
}

// How far below the root: -1 for the root itself.
long Depth(const std::string& below)
{
    return below.empty() ? -1 : static_cast<long>(std::count(below.begin(), below.end(), '/'));
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

} // namespace

TreeTransfer::TreeTransfer(TreeJob job, SessionFactory factory, Scheduler& scheduler)
    : job_(std::move(job)), factory_(std::move(factory)), scheduler_(scheduler)
{
}

TreeTransfer::~TreeTransfer()
{
    *alive_ = false;
    times_.reset();
    walk_.reset();
    timesSession_.reset();
    queue_.reset();
    if (first_) first_->Close();
}

void TreeTransfer::Start()
{
    startMs_ = scheduler_.NowMs();
    if (job_.direction == TreeDirection::Upload) {
        std::error_code error;
        if (!fs::is_directory(job_.localRoot, error))
            return scheduler_.After(0, [this, alive = std::weak_ptr<bool>(alive_)] {
                if (alive.lock()) End(job_.localRoot + ": not a directory");
            });
    }
    first_ = factory_();
    first_->Open([this, alive = std::weak_ptr<bool>(alive_)](const Outcome& outcome) {
        if (alive.lock()) Opened(outcome);
    });
}

void TreeTransfer::Opened(const Outcome& outcome)
{
    if (ended_) return;
    if (!outcome.ok) return End("login: " + outcome.message);
    walk_ = std::make_unique<RemoteTreeWalk>(*first_, job_.remoteRoot, job_.walk);
    if (job_.direction == TreeDirection::Download) {
        walk_->Start([this](const Outcome& listed, const Tree& tree) { Walked(listed, tree); });
    } else {
        local_ = ScanLocalTree(job_.localRoot, job_.followLinks);
        walk_->Start(
            [this](const Outcome& listed, const Tree& tree) { RemoteTargetWalked(listed, tree); });
    }
}

void TreeTransfer::Walked(const Outcome& outcome, const Tree& tree)
{
    if (ended_) return;
    if (!outcome.ok) return End(job_.remoteRoot + ": " + outcome.message);
    // Some servers list a directory that is not there as an empty one: a mistyped name would
    // end as a tree of nothing, fetched whole. Its parent's listing tells.
    const bool empty = tree.files.empty() && tree.directories.empty() && tree.refused.empty() &&
                       tree.leftOut.empty();
    if (const auto split = ParentAndName(job_.remoteRoot); empty && split) {
        Request request;
        request.operation = Operation::List;
        request.remotePath = split->first;
        const std::string name = split->second;
        const bool started = first_->StartList(
            request, [this, name, tree, alive = std::weak_ptr<bool>(alive_)](
                         const Outcome& listed, const std::vector<RemoteEntry>& entries) {
                if (!alive.lock() || ended_) return;
                const bool there =
                    listed.ok && std::any_of(entries.begin(), entries.end(), [&](const auto& e) {
                        return e.name == name && (e.kind == RemoteEntry::Kind::Directory ||
                                                  e.kind == RemoteEntry::Kind::Link);
                    });
                if (!there) return End(job_.remoteRoot + ": no such directory");
                Plan(tree);
            });
        if (started) return;
    }
    Plan(tree);
}

void TreeTransfer::Plan(const Tree& tree)
{
    const auto planFor = [&](OverwritePolicy policy) {
        return PlanDownload(tree, job_.remoteRoot, job_.localRoot, policy);
    };
    if (!ChoosePolicy(planFor)) return;
    Append(summary_.failures, tree.refused);
    Append(summary_.leftOut, tree.leftOut);
    const auto target = [this](const std::string& path) {
        return LocalFacts(fs::path(job_.localRoot) / path);
    };
    WithExactTimes(tree, target, [this](const Tree& timed) { PlanDownloadRun(timed); });
}

void TreeTransfer::PlanDownloadRun(const Tree& tree)
{
    if (job_.keepTimes) directoryTimes_ = tree.directoryTimes;
    TreePlan plan = PlanDownload(tree, job_.remoteRoot, job_.localRoot, job_.policy);
    const LocalTargetCheck target = PrepareLocalTarget(plan, job_.localRoot);
    if (!target.rootFailure.empty()) return End(target.rootFailure);
    Append(summary_.failures, target.refused);
    Run(std::move(plan));
}

void TreeTransfer::RemoteTargetWalked(const Outcome& outcome, const Tree& tree)
{
    if (ended_) return;
    if (!outcome.ok && outcome.reason == ErrorReason::Canceled) return End();
    // A target that cannot be listed is taken for one that is not there yet: making it tells.
    // An empty listing may be a missing directory too, on some servers.
    const bool empty = tree.files.empty() && tree.directories.empty() && tree.refused.empty() &&
                       tree.leftOut.empty();
    const RootState root = !outcome.ok ? RootState::Missing
                           : empty     ? RootState::Unknown
                                       : RootState::Present;
    const auto planFor = [&](OverwritePolicy policy) {
        return PlanUpload(local_, job_.localRoot, outcome.ok ? tree : Tree{}, root, job_.remoteRoot,
                          policy);
    };
    if (!ChoosePolicy(planFor)) return;
    Append(summary_.failures, local_.refused);
    Append(summary_.leftOut, local_.leftOut);
    if (!outcome.ok) return Run(planFor(job_.policy));
    std::map<std::string, FileFacts> sources;
    for (const TreeFile& file : local_.files) sources[file.path] = file.facts;
    const auto source = [&sources](const std::string& path) -> std::optional<FileFacts> {
        const auto it = sources.find(path);
        return it == sources.end() ? std::nullopt : std::optional<FileFacts>(it->second);
    };
    WithExactTimes(tree, source, [this, root](const Tree& timed) {
        Run(PlanUpload(local_, job_.localRoot, timed, root, job_.remoteRoot, job_.policy));
    });
}

void TreeTransfer::WithExactTimes(
    const Tree& remote, const std::function<std::optional<FileFacts>(const std::string&)>& other,
    std::function<void(const Tree&)> then)
{
    // Only a file whose size matches the one on the other side is decided by its time.
    std::vector<std::string> paths;
    if (job_.policy == OverwritePolicy::IfDifferent && first_) {
        for (const TreeFile& file : remote.files) {
            if (file.facts.modifiedUtc || !file.facts.size) continue;
            const std::optional<FileFacts> facts = other(file.path);
            if (facts && facts->size == file.facts.size) paths.push_back(file.path);
        }
    }
    if (paths.empty()) return then(remote);
    remote_ = remote;
    times_ = std::make_unique<RemoteTimes>(*first_, job_.remoteRoot, std::move(paths));
    times_->Start([this, then = std::move(then)](const std::map<std::string, int64_t>& times) {
        if (ended_) return;
        for (TreeFile& file : remote_.files)
            if (const auto it = times.find(file.path); it != times.end())
                file.facts.modifiedUtc = it->second;
        then(remote_);
    });
}

bool TreeTransfer::ChoosePolicy(const std::function<TreePlan(OverwritePolicy)>& plan)
{
    if (!choosePolicy) return true;
    // Skipping leaves out exactly the files whose target is there.
    const size_t existing = plan(OverwritePolicy::Skip).skipped.size();
    if (existing == 0) return true;
    // The time the question is open is the user's: the run's time leaves it out.
    const int64_t asked = scheduler_.NowMs();
    const std::optional<OverwritePolicy> chosen = choosePolicy(existing);
    waitedMs_ += scheduler_.NowMs() - asked;
    if (ended_) return false;
    if (!chosen) {
        summary_.canceled = true;
        End();
        return false;
    }
    job_.policy = *chosen;
    return true;
}

void TreeTransfer::Run(TreePlan plan)
{
    plan_ = std::move(plan);
    summary_.skipped = plan_.skipped.size();
    QueueSettings settings = job_.queue;
    // The directories' times are set once the files are there, on a session of the run.
    settings.keepSession = job_.direction == TreeDirection::Upload && job_.keepTimes;
    queue_ = std::make_unique<TransferQueue>(factory_, scheduler_, settings);
    queue_->Adopt(std::move(first_));
    for (size_t i = 0; i < plan_.items.size(); ++i) {
        QueueItem& item = plan_.items[i];
        // No step below the root through a link -- unless the user asked for links to be
        // followed on the way up; the file itself is still the one the scan saw.
        const bool followed = job_.direction == TreeDirection::Upload && job_.followLinks;
        if (!followed) item.request.localRoot = job_.localRoot;
        queue_->Add(item);
        if (item.request.operation == Operation::MakeDirectory) continue;
        ++progress_.filesTotal;
        if (item.size > 0) progress_.bytesTotal += item.size - BytesThere(item);
    }
    queue_->onItemDone = [this](const ItemResult& result) { ItemDone(result); };
    queue_->onProgress = [this](int64_t bytes) {
        progress_.bytes = bytes;
        if (onProgress) onProgress(progress_);
    };
    queue_->onFinished = [this] { QueueFinished(); };
    if (onProgress) onProgress(progress_);
    queue_->Start();
}

void TreeTransfer::ItemDone(const ItemResult& result)
{
    const QueueItem& item = plan_.items[result.index];
    const PlannedFile& file = plan_.files[result.index];
    const bool isFile = item.request.operation != Operation::MakeDirectory;
    if (isFile) ++progress_.filesDone;
    if (result.outcome.ok) {
        if (job_.direction == TreeDirection::Upload) {
            // A directory made changes its parent; a file put, its directory.
            const bool root = !isFile && item.request.remotePath == JoinRemote(job_.remoteRoot, "");
            const std::string below = root ? std::string() : file.path;
            if (!isFile) touched_.insert(below);
            if (!root) touched_.insert(ParentOf(below));
        }
        if (isFile) ++summary_.files;
        if (isFile && result.outcome.verified) ++summary_.verified;
    } else if (result.outcome.reason == ErrorReason::Canceled) {
        summary_.canceled = true;
    } else if (!item.mayFail) {
        summary_.failures.push_back(file.path + ": " + result.outcome.message);
    }
    if (onProgress) onProgress(progress_);
}

void TreeTransfer::QueueFinished()
{
    if (ended_) return;
    // The session kept for the times, if any: End closes it when it has nothing to do.
    timesSession_ = queue_->TakeSession();
    if (job_.direction != TreeDirection::Upload || !job_.keepTimes || summary_.canceled)
        return End();
    for (const std::string& below : touched_)
        if (const auto it = local_.directoryTimes.find(below); it != local_.directoryTimes.end())
            uploadTimes_.emplace_back(below, it->second);
    // What is written into a directory changes its time: each comes after what it holds.
    std::stable_sort(uploadTimes_.begin(), uploadTimes_.end(),
                     [](const auto& a, const auto& b) { return Depth(a.first) > Depth(b.first); });
    // With no session left (the server hung up, say), the directories keep the server's times.
    if (!timesSession_ || uploadTimes_.empty()) return End();
    SetNextDirectoryTime();
}

void TreeTransfer::SetNextDirectoryTime()
{
    if (ended_) return;
    if (nextTime_ >= uploadTimes_.size()) return End();
    const auto& [below, time] = uploadTimes_[nextTime_++];
    Request request;
    request.operation = Operation::SetModifiedTime;
    request.remotePath = JoinRemote(job_.remoteRoot, below);
    request.modifiedUtc = time;
    const bool started = timesSession_->Start(
        request, nullptr, [this, alive = std::weak_ptr<bool>(alive_)](const Outcome& outcome) {
            if (!alive.lock() || ended_) return;
            // As with a file's time, a refusal fails nothing: the contents are there. A server
            // that refuses one directory's time is not asked for the others'.
            if (!outcome.ok) return End();
            SetNextDirectoryTime();
        });
    if (!started) End();
}

void TreeTransfer::Cancel()
{
    if (ended_) return;
    summary_.canceled = true;
    if (timesSession_) {
        timesSession_->CloseAtOnce();
        return scheduler_.After(0, [this, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.lock()) End();
        });
    }
    if (queue_) return queue_->Cancel();
    times_.reset();
    walk_.reset();
    if (first_) first_->CloseAtOnce();
    scheduler_.After(0, [this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) End();
    });
}

void TreeTransfer::End(const std::string& failure)
{
    if (ended_) return;
    ended_ = true;
    if (!failure.empty()) summary_.failures.push_back(failure);
    if (queue_) {
        summary_.bytes = queue_->BytesDone();
        summary_.sessions = queue_->MostSessionsOpen();
    }
    if (timesSession_) timesSession_->Close();
    // A directory's time changes with what goes into it: its own comes last, deepest first.
    for (auto it = directoryTimes_.rbegin(); it != directoryTimes_.rend(); ++it)
        platform::LocalFile::SetModified((fs::path(job_.localRoot) / it->first).string(),
                                         it->second);
    summary_.elapsedMs = scheduler_.NowMs() - startMs_ - waitedMs_;
    const auto finished = onFinished;
    if (finished) finished(summary_);
}

} // namespace transfer
