#include "queue/Tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

namespace transfer {

namespace fs = std::filesystem;

namespace {

using Identity = std::pair<dev_t, ino_t>;

int64_t UtcSeconds(fs::file_time_type time)
{
    const auto system = fs::file_time_type::clock::to_sys(time);
    return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

std::string Below(const std::string& below, const std::string& name)
{
    return below.empty() ? name : below + "/" + name;
}

class Scanner {
public:
    Scanner(const fs::path& root, bool followLinks, Tree& tree)
        : followLinks_(followLinks), tree_(tree)
    {
        std::error_code error;
        root_ = fs::weakly_canonical(root, error);
        if (error) root_.clear();
    }

    void Directory(const fs::path& directory, const std::string& below)
    {
        struct stat self {};
        const bool found = ::stat(directory.c_str(), &self) == 0;
        if (found && !seen_.insert({self.st_dev, self.st_ino}).second) {
            tree_.leftOut.push_back((below.empty() ? "." : below) +
                                    ": a link back into the tree, not walked again");
            return;
        }
        // Read before anything of the run could touch it.
        if (found) tree_.directoryTimes[below] = static_cast<int64_t>(self.st_mtime);
        std::error_code error;
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(directory, error), end; !error && it != end;
             it.increment(error))
            entries.push_back(*it);
        if (error) {
            tree_.refused.push_back((below.empty() ? "." : below) + ": " + error.message());
            return;
        }
        // The same order on every run, whatever order the file system keeps.
        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return a.path() < b.path(); });
        for (const fs::directory_entry& entry : entries) Entry(entry, below);
    }

private:
    void Entry(const fs::directory_entry& entry, const std::string& below)
    {
        const std::string name = entry.path().filename().string();
        const std::string path = Below(below, name);
        std::error_code error;
        fs::file_status status = entry.symlink_status(error);
        if (!error && fs::is_symlink(status)) {
            if (!followLinks_) {
                tree_.leftOut.push_back(path + ": a symbolic link, not followed");
                return;
            }
            status = entry.status(error);
        }
        if (error) {
            tree_.refused.push_back(path + ": " + error.message());
            return;
        }
        if (fs::is_directory(status)) {
            // A followed link to a folder of the tree itself: that folder goes under its own
            // name, once, and the link is left out. Followed, it would send the folder twice,
            // or, where the link comes first, leave the folder's own name empty.
            if (const std::optional<std::string> inside = LinkIntoTree(entry); inside) {
                tree_.leftOut.push_back(path + ": a link back into the tree (to " +
                                        (inside->empty() ? "." : *inside) + "), not followed");
                return;
            }
            tree_.directories.push_back(path);
            return Directory(entry.path(), path);
        }
        if (!fs::is_regular_file(status)) {
            tree_.refused.push_back(path + ": not a regular file");
            return;
        }
        std::optional<FileFacts> facts = LocalFacts(entry.path());
        struct stat found {};
        if (facts && ::stat(entry.path().c_str(), &found) != 0) facts.reset();
        if (!facts) {
            tree_.refused.push_back(path + ": gone while the tree was read");
            return;
        }
        tree_.files.push_back(TreeFile{path, *facts});
        tree_.identities[path] = {static_cast<uint64_t>(found.st_dev),
                                  static_cast<uint64_t>(found.st_ino)};
    }

    // For a symbolic link whose target is the root or lies below it: that target's path below
    // the root ("" for the root itself).
    std::optional<std::string> LinkIntoTree(const fs::directory_entry& entry) const
    {
        std::error_code error;
        if (root_.empty() || !entry.is_symlink(error) || error) return std::nullopt;
        const fs::path target = fs::canonical(entry.path(), error);
        if (error) return std::nullopt;
        const fs::path relative = target.lexically_relative(root_);
        const std::string text = relative.generic_string();
        if (relative.empty() || text == ".." || text.rfind("../", 0) == 0) return std::nullopt;
        return text == "." ? std::string() : text;
    }

    bool followLinks_;
    fs::path root_;
    Tree& tree_;
    std::set<Identity> seen_;
};

} // namespace

std::string JoinRemote(const std::string& root, const std::string& below)
{
    if (below.empty()) return root;
    if (root.empty()) return below;
    if (root.back() == '/') return root + below;
    return root + "/" + below;
}

std::optional<FileFacts> LocalFacts(const fs::path& path)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || !fs::exists(status)) return std::nullopt;
    FileFacts facts;
    if (fs::is_regular_file(status)) {
        const auto size = fs::file_size(path, error);
        if (!error) facts.size = size;
    }
    const auto time = fs::last_write_time(path, error);
    if (!error) facts.modifiedUtc = UtcSeconds(time);
    return facts;
}

Tree ScanLocalTree(const fs::path& root, bool followLinks)
{
    Tree tree;
    Scanner(root, followLinks, tree).Directory(root, "");
    return tree;
}

} // namespace transfer
