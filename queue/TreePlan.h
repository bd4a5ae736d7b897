#pragma once
// From two trees to the work of a recursive transfer: which directories to make, which files to
// send whole, go on with or leave, by the overwrite policy of the run. Every path stays below
// its root: the trees hold only names that were checked as single steps.
#include "queue/Overwrite.h"
#include "queue/TransferQueue.h"
#include "queue/Tree.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace transfer {

struct PlannedFile {
    std::string path; // below the root, for people
    FileFacts source;
};

struct TreePlan {
    std::vector<QueueItem> items;
    // One per item: the path below the root, the source's facts (a file's time is carried over
    // to a download once it is whole).
    std::vector<PlannedFile> files;
    std::vector<std::filesystem::path> localDirectories; // to make before a download starts
    std::vector<std::string> skipped;                    // below the root, by the policy
};

TreePlan PlanDownload(const Tree& remote, const std::string& remoteRoot,
                      const std::filesystem::path& localRoot, OverwritePolicy policy);

// Whether the target's root is there: a listing that names something says so, but some servers
// answer the listing of a missing directory with an empty one.
enum class RootState : uint8_t { Missing, Present, Unknown };

// `remote` is what the target holds already. A root that may be missing is made first; when it
// is Unknown, its making may fail (it may be there) without holding back what goes into it.
TreePlan PlanUpload(const Tree& local, const std::filesystem::path& localRoot, const Tree& remote,
                    RootState remoteRoot, const std::string& remoteRootPath,
                    OverwritePolicy policy);

} // namespace transfer
