#pragma once
// A whole directory tree, down or up, over a queue of sessions: the first session reads the
// remote tree (the source of a download, the target of an upload), the plan decides what to
// move by the policy of the run, and the queue moves it. At the end, a summary that lists every
// failure.
#include "queue/Overwrite.h"
#include "queue/RemoteTreeWalk.h"
#include "queue/Scheduler.h"
#include "queue/TransferQueue.h"
#include "queue/TreePlan.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace transfer {

enum class TreeDirection : uint8_t { Download, Upload };

struct TreeJob {
    TreeDirection direction = TreeDirection::Download;
    std::string remoteRoot;
    std::string localRoot;
    OverwritePolicy policy = OverwritePolicy::Overwrite;
    bool followLinks = false; // on upload
    // A downloaded file takes the time the listing gave its source (the uploads' sessions set
    // the server's time themselves). Directories take their source's time after their contents:
    // a download's, where the listing gave it exactly; an upload's, for those the run made or
    // wrote into, over a session of the run kept for it.
    bool keepTimes = true;
    QueueSettings queue;
    // How far the remote tree is walked, whatever its listings say.
    WalkLimits walk;
};

struct TreeProgress {
    size_t filesDone = 0; // ended, well or not
    size_t filesTotal = 0;
    int64_t bytes = 0;
    // Of the files whose size was known: the bytes to move (a resumed file counts its rest).
    int64_t bytesTotal = 0;
};

struct TreeSummary {
    size_t files = 0;    // files that arrived whole
    size_t verified = 0; // of them, those the server's checksum confirmed
    size_t skipped = 0;  // left by the policy
    int64_t bytes = 0;   // of the files that arrived whole (not of failed or repeated tries)
    int64_t elapsedMs = 0;
    int sessions = 0; // the most that were open at once
    bool canceled = false;
    std::vector<std::string> failures; // "PATH: WHY"
    std::vector<std::string> leftOut;  // links not followed
    bool Exact() const { return failures.empty() && !canceled; }
};

class TreeTransfer {
public:
    TreeTransfer(TreeJob job, SessionFactory factory, Scheduler& scheduler);
    ~TreeTransfer();
    TreeTransfer(const TreeTransfer&) = delete;
    TreeTransfer& operator=(const TreeTransfer&) = delete;

    std::function<void(const TreeProgress&)> onProgress;
    std::function<void(const TreeSummary&)> onFinished;
    // Asked once, before anything moves, when files of the run already stand at their targets
    // (`existing` of them): the policy for the whole run, or nothing to end it canceled. Unset,
    // the job's policy holds.
    std::function<std::optional<OverwritePolicy>(size_t existing)> choosePolicy;

    void Start();
    void Cancel();

private:
    void Opened(const Outcome& outcome);
    void Walked(const Outcome& outcome, const Tree& tree);
    void Plan(const Tree& tree);
    void PlanDownloadRun(const Tree& tree);
    void RemoteTargetWalked(const Outcome& outcome, const Tree& tree);
    // False when the run ended instead (the question was declined).
    bool ChoosePolicy(const std::function<TreePlan(OverwritePolicy)>& plan);
    // With IfDifferent, the server's files whose size matches the other side's (`other`) and
    // whose listing gave no time to the second have their times asked first; `then` gets the
    // tree with them.
    void WithExactTimes(const Tree& remote,
                        const std::function<std::optional<FileFacts>(const std::string&)>& other,
                        std::function<void(const Tree&)> then);
    void Run(TreePlan plan);
    void ItemDone(const ItemResult& result);
    // Once the queue has ended: an upload's directories take their local times, deepest first.
    void QueueFinished();
    void SetNextDirectoryTime();
    void End(const std::string& failure = {});

    TreeJob job_;
    SessionFactory factory_;
    Scheduler& scheduler_;
    std::unique_ptr<Session> first_;
    std::unique_ptr<class RemoteTreeWalk> walk_;
    std::unique_ptr<class RemoteTimes> times_;
    Tree remote_; // while its times are asked
    // A download's directories that take the server's time once the run has ended.
    std::map<std::string, int64_t> directoryTimes_;
    Tree local_;
    // An upload's directories (below the root, "" the root) that the run made or wrote into.
    std::set<std::string> touched_;
    // Then: each with its local time, in the order they are set, and the session that sets them.
    std::vector<std::pair<std::string, int64_t>> uploadTimes_;
    size_t nextTime_ = 0;
    std::unique_ptr<Session> timesSession_;
    std::unique_ptr<TransferQueue> queue_;
    TreePlan plan_;
    TreeSummary summary_;
    TreeProgress progress_;
    int64_t startMs_ = 0;
    int64_t waitedMs_ = 0; // while choosePolicy waited for its answer
    bool ended_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace transfer
