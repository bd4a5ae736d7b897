#include "queue/TreeTransfer.h"

#include "queue/RemoteTreeWalk.h"

#include <chrono>
#include <system_error>

namespace transfer {

namespace fs = std::filesystem;

namespace {

// A downloaded file takes the server's time, so that the next run can tell it is the same.
void SetModified(const std::string& path, int64_t utcSeconds)
{
    const std::chrono::system_clock::time_point when{std::chrono::seconds(utcSeconds)};
    std::error_code ignored;
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(when), ignored);
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
    walk_.reset();
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
    walk_ = std::make_unique<RemoteTreeWalk>(*first_, job_.remoteRoot);
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
    Append(summary_.failures, tree.refused);
    Append(summary_.leftOut, tree.leftOut);
    TreePlan plan = PlanDownload(tree, job_.remoteRoot, job_.localRoot, job_.policy);
    for (const fs::path& directory : plan.localDirectories) {
        std::error_code error;
        fs::create_directories(directory, error);
        if (error) return End(directory.string() + ": " + error.message());
    }
    Run(std::move(plan));
}

void TreeTransfer::RemoteTargetWalked(const Outcome& outcome, const Tree& tree)
{
    if (ended_) return;
    if (!outcome.ok && outcome.reason == ErrorReason::Canceled) return End();
    Append(summary_.failures, local_.refused);
    Append(summary_.leftOut, local_.leftOut);
    // A target that cannot be listed is taken for one that is not there yet: making it tells.
    // An empty listing may be a missing directory too, on some servers.
    const bool empty = tree.files.empty() && tree.directories.empty() && tree.refused.empty() &&
                       tree.leftOut.empty();
    const RootState root = !outcome.ok ? RootState::Missing
                           : empty     ? RootState::Unknown
                                       : RootState::Present;
    Run(PlanUpload(local_, job_.localRoot, outcome.ok ? tree : Tree{}, root, job_.remoteRoot,
                   job_.policy));
}

void TreeTransfer::Run(TreePlan plan)
{
    plan_ = std::move(plan);
    summary_.skipped = plan_.skipped.size();
    queue_ = std::make_unique<TransferQueue>(factory_, scheduler_, job_.queue);
    queue_->Adopt(std::move(first_));
    for (const QueueItem& item : plan_.items) {
        queue_->Add(item);
        if (item.request.operation == Operation::MakeDirectory) continue;
        ++progress_.filesTotal;
        if (item.size > 0) progress_.bytesTotal += item.size;
    }
    queue_->onItemDone = [this](const ItemResult& result) { ItemDone(result); };
    queue_->onProgress = [this](int64_t bytes) {
        progress_.bytes = bytes;
        if (onProgress) onProgress(progress_);
    };
    queue_->onFinished = [this] { End(); };
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
        if (isFile) ++summary_.files;
        if (item.request.operation == Operation::Get && file.source.modifiedUtc)
            SetModified(item.request.localPath, *file.source.modifiedUtc);
    } else if (result.outcome.reason == ErrorReason::Canceled) {
        summary_.canceled = true;
    } else if (!item.mayFail) {
        summary_.failures.push_back(file.path + ": " + result.outcome.message);
    }
    if (onProgress) onProgress(progress_);
}

void TreeTransfer::Cancel()
{
    if (ended_) return;
    summary_.canceled = true;
    if (queue_) return queue_->Cancel();
    walk_.reset();
    if (first_) first_->Close();
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
        summary_.bytes = queue_->BytesMoved();
        summary_.sessions = queue_->MostSessionsOpen();
    }
    summary_.elapsedMs = scheduler_.NowMs() - startMs_;
    const auto finished = onFinished;
    if (finished) finished(summary_);
}

} // namespace transfer
