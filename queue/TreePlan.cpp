#include "queue/TreePlan.h"

#include <map>
#include <set>

namespace transfer {

namespace {

std::string ParentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

int64_t SizeOf(const FileFacts& facts)
{
    return facts.size ? static_cast<int64_t>(*facts.size) : -1;
}

// Adds the transfer of one file unless the policy leaves it; false when it does.
bool AddFile(TreePlan& plan, Operation operation, const TreeFile& file, TargetAction action,
             std::string remotePath, std::filesystem::path localPath, std::optional<size_t> after)
{
    if (action == TargetAction::Skip) {
        plan.skipped.push_back(file.path);
        return false;
    }
    QueueItem item;
    item.request.operation = operation;
    item.request.remotePath = std::move(remotePath);
    item.request.localPath = localPath.string();
    item.request.resume = action == TargetAction::Resume;
    if (operation == Operation::Get) item.request.modifiedUtc = file.facts.modifiedUtc;
    item.size = SizeOf(file.facts);
    item.after = after;
    plan.items.push_back(std::move(item));
    plan.files.push_back(PlannedFile{file.path, file.facts});
    return true;
}

} // namespace

TreePlan PlanDownload(const Tree& remote, const std::string& remoteRoot,
                      const std::filesystem::path& localRoot, OverwritePolicy policy)
{
    TreePlan plan;
    plan.localDirectories.push_back(localRoot);
    for (const std::string& directory : remote.directories)
        plan.localDirectories.push_back(localRoot / directory);
    for (const TreeFile& file : remote.files) {
        const std::filesystem::path local = localRoot / file.path;
        AddFile(plan, Operation::Get, file, DecideTarget(policy, file.facts, LocalFacts(local)),
                JoinRemote(remoteRoot, file.path), local, std::nullopt);
    }
    return plan;
}

TreePlan PlanUpload(const Tree& local, const std::filesystem::path& localRoot, const Tree& remote,
                    RootState rootState, const std::string& remoteRoot, OverwritePolicy policy)
{
    const bool remoteRootExists = rootState == RootState::Present;
    TreePlan plan;
    const std::set<std::string> remoteDirectories(remote.directories.begin(),
                                                  remote.directories.end());
    std::map<std::string, FileFacts> remoteFiles;
    for (const TreeFile& file : remote.files) remoteFiles[file.path] = file.facts;

    // The item that makes each directory, for the files and directories that go into it.
    std::map<std::string, size_t> made;
    const auto madeFirst = [&](const std::string& parent) -> std::optional<size_t> {
        const auto it = made.find(parent);
        return it == made.end() ? std::nullopt : std::optional<size_t>(it->second);
    };
    const auto makeDirectory = [&](const std::string& below) {
        QueueItem item;
        item.request.operation = Operation::MakeDirectory;
        item.request.remotePath = JoinRemote(remoteRoot, below);
        item.after = madeFirst(ParentOf(below));
        made[below] = plan.items.size();
        plan.items.push_back(std::move(item));
        plan.files.push_back(PlannedFile{below.empty() ? remoteRoot : below, FileFacts{}});
    };
    if (!remoteRootExists) {
        makeDirectory("");
        plan.items.back().mayFail = rootState == RootState::Unknown;
    }
    for (const std::string& directory : local.directories)
        if (!remoteRootExists || remoteDirectories.count(directory) == 0) makeDirectory(directory);
    for (const TreeFile& file : local.files) {
        std::optional<FileFacts> target;
        if (const auto it = remoteFiles.find(file.path); it != remoteFiles.end())
            target = it->second;
        const bool added =
            AddFile(plan, Operation::Put, file, DecideTarget(policy, file.facts, target),
                    JoinRemote(remoteRoot, file.path), localRoot / file.path,
                    madeFirst(ParentOf(file.path)));
        // The file sent is the one the scan found, not another put under its name since.
        if (const auto it = local.identities.find(file.path); added && it != local.identities.end())
            plan.items.back().request.localIdentity = it->second;
    }
    return plan;
}

} // namespace transfer
