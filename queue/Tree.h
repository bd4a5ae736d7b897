#pragma once
// A directory tree as a recursive transfer sees it, on either side: its directories and files,
// each by its path below the tree's root ("a/b/c.txt", names joined by '/'), and the names that
// were refused on the way.
#include "queue/Overwrite.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace transfer {

struct TreeFile {
    std::string path; // below the root
    FileFacts facts;
};

struct Tree {
    std::vector<std::string> directories; // below the root, each after its parent
    // The times of directories whose listing gave them exactly (MLSD), by path below the root;
    // of a local tree, every directory's, the root's ("") included.
    std::map<std::string, int64_t> directoryTimes;
    std::vector<TreeFile> files;
    // "PATH: WHY" for each name that could not be taken: unsafe, unreadable, of no kind that
    // can be sent. Each is a failure of the run.
    std::vector<std::string> refused;
    // "PATH: WHY" for what was left out by the rules of the run: links not followed.
    std::vector<std::string> leftOut;
    // Of a local tree: each file's device and inode as the scan found them, by its path, so
    // that the file sent is that one.
    std::map<std::string, std::pair<uint64_t, uint64_t>> identities;
};

// "root" and "a/b" give "root/a/b"; an empty `below` gives `root`; "/" stays one slash.
std::string JoinRemote(const std::string& root, const std::string& below);

// The local tree under `root`. A symbolic link is left out (and said so) unless `followLinks`;
// followed, a link to a directory that leads back into the tree is not walked twice.
Tree ScanLocalTree(const std::filesystem::path& root, bool followLinks);

// The facts of the local file at `path`, nullopt when nothing is there.
std::optional<FileFacts> LocalFacts(const std::filesystem::path& path);

} // namespace transfer
