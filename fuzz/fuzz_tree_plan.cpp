// A hostile server's listings on their way to local paths: every folder lists the entries the
// input describes, the walk takes them within its bounds, and the download's plan must put every
// file and folder below the local root, each remote path below the remote root, and never more
// than the bounds let through.
//
// Input: one entry a line, "KIND[!]NAME": KIND f (file), d (folder), l (link) or anything else
// (of no kind); "!" gives the entry a unique fact made of its name and the folder's depth, so
// that a folder may claim to be one walked before.
#include "net/TransferSession.h"
#include "queue/RemoteTreeWalk.h"
#include "queue/TreePlan.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using transfer::RemoteEntry;

// Answers every listing with the same entries, called back by the loop below rather than from
// inside StartList, as a real session does.
class EchoSession : public transfer::Session {
public:
    explicit EchoSession(std::vector<RemoteEntry> entries) : entries_(std::move(entries)) {}
    void Open(transfer::DoneHandler done) override { done(transfer::Outcome::Success()); }
    bool Idle() const override { return !pending_; }
    bool Start(const transfer::Request&, transfer::ProgressHandler, transfer::DoneHandler) override
    {
        return false;
    }
    bool StartList(const transfer::Request& request, transfer::ListHandler done) override
    {
        if (pending_) return false;
        const size_t depth = static_cast<size_t>(
            std::count(request.remotePath.begin(), request.remotePath.end(), '/'));
        answer_ = entries_;
        for (RemoteEntry& entry : answer_)
            if (!entry.unique.empty()) entry.unique += std::to_string(depth % 2);
        pending_ = std::move(done);
        return true;
    }
    void Cancel() override {}
    void Close() override {}
    bool Answer()
    {
        if (!pending_) return false;
        const transfer::ListHandler done = std::move(pending_);
        pending_ = nullptr;
        done(transfer::Outcome::Success(), answer_);
        return true;
    }

private:
    std::vector<RemoteEntry> entries_;
    std::vector<RemoteEntry> answer_;
    transfer::ListHandler pending_;
};

bool Below(const std::filesystem::path& path, const std::filesystem::path& root)
{
    const std::string relative = path.lexically_normal().lexically_relative(root).generic_string();
    return !relative.empty() && relative != "." && relative != ".." &&
           relative.rfind("../", 0) != 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<RemoteEntry> entries;
    size_t start = 0;
    while (start < input.size() && entries.size() < 64) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        std::string line = input.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        RemoteEntry entry;
        const char kind = line[0];
        entry.kind = kind == 'f'   ? RemoteEntry::Kind::File
                     : kind == 'd' ? RemoteEntry::Kind::Directory
                     : kind == 'l' ? RemoteEntry::Kind::Link
                                   : RemoteEntry::Kind::Other;
        line.erase(0, 1);
        if (!line.empty() && line[0] == '!') {
            line.erase(0, 1);
            entry.unique = "u" + line;
        }
        entry.name = line;
        entry.size = line.size();
        entries.push_back(std::move(entry));
    }

    transfer::WalkLimits limits;
    limits.depth = 3;
    limits.entries = 400;
    limits.perListing = 40;
    EchoSession session(entries);
    transfer::RemoteTreeWalk walk(session, "/srv", limits);
    transfer::Tree tree;
    bool ended = false;
    walk.Start([&](const transfer::Outcome&, const transfer::Tree& result) {
        tree = result;
        ended = true;
    });
    for (int answers = 0; answers < 1000 && session.Answer(); ++answers) {
    }
    if (!ended) std::abort();
    if (tree.files.size() + tree.directories.size() > limits.entries) std::abort();
    for (const std::string& directory : tree.directories)
        if (static_cast<size_t>(std::count(directory.begin(), directory.end(), '/')) >=
            limits.depth)
            std::abort();

    const std::filesystem::path root("/nonexistent-fuzz-root/copy");
    const transfer::TreePlan plan =
        transfer::PlanDownload(tree, "/srv", root, transfer::OverwritePolicy::Overwrite);
    if (plan.items.size() != plan.files.size()) std::abort();
    // Two transfers into one local file would mix their bytes.
    std::set<std::string> targets;
    for (const auto& item : plan.items) {
        if (!targets.insert(item.request.localPath).second) std::abort();
        if (!Below(item.request.localPath, root)) std::abort();
        if (item.request.remotePath.rfind("/srv/", 0) != 0) std::abort();
        if (item.request.remotePath.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            std::abort();
    }
    for (const std::filesystem::path& directory : plan.localDirectories)
        if (directory != root && !Below(directory, root)) std::abort();
    return 0;
}
