#pragma once
// Reads a remote directory tree through one open session, a listing per directory, one after
// the other. Every name a listing gives is checked before it becomes part of a path: an unsafe
// one is refused and reported, never followed.
//
// A server decides what its listings say, so the walk is bounded whatever they say: folders
// deeper than a limit are not listed, a run takes at most so many entries and a listing at most
// so many, and a folder the server shows again under another path (a link to a parent listed as
// a folder, a server that lists itself) is walked once. A machine listing's "unique" fact tells
// such a folder by its entry; a folder whose listing names exactly the entries of one walked
// before (all of them with that fact) is that folder too, which catches a link back to the top.
// What a bound leaves unwalked is a failure of the run, reported by path; a folder seen again is
// left out, since nothing of it is missing.
#include "net/TransferSession.h"
#include "queue/Tree.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace transfer {

struct WalkLimits {
    size_t depth = 64;           // levels of folders below the root that are listed
    size_t entries = 1'000'000;  // entries taken from all the listings of a run
    size_t perListing = 500'000; // entries of one listing
};

class RemoteTreeWalk {
public:
    using DoneHandler = std::function<void(const Outcome&, const Tree&)>;

    RemoteTreeWalk(Session& session, std::string root, WalkLimits limits = {});
    ~RemoteTreeWalk();
    // `done` says how the listing of the root went; a directory below it that cannot be listed
    // is among the tree's refused names.
    void Start(DoneHandler done);

private:
    static constexpr size_t kRoot = SIZE_MAX;

    void Next();
    void Listed(size_t folder, const Outcome& outcome, const std::vector<RemoteEntry>& entries);
    // The path of a walked folder below the root, "" for the root.
    const std::string& PathOf(size_t folder) const;
    // For people: the folder's path, or "the top folder"; of a folder left out as one walked
    // before, that one's.
    std::string ShownPath(size_t folder) const;
    // `path` is left out as the same folder as `same`.
    void Repeated(std::string path, size_t same, bool byListing);
    // Whether the listing is that of a folder walked before; then it is left out.
    bool SeenBefore(size_t folder, const std::vector<RemoteEntry>& entries);
    // The run's entries are all taken: this folder and those still to list are not walked.
    void StopAtRunLimit(size_t folder);
    void End(const Outcome& outcome);

    Session& session_;
    std::string root_;
    WalkLimits limits_;
    Tree tree_;
    // Folders still to list, by their place in tree_.directories; dropped ones are taken out of
    // it at the end (they were never listed, so nothing below them is in the tree).
    std::deque<size_t> pending_;
    std::vector<size_t> dropped_;
    size_t taken_ = 0;
    // A hash of each folder's "unique" fact, and of the facts of its listing's entries, to the
    // folder it belongs to.
    std::unordered_map<uint64_t, size_t> uniques_;
    std::unordered_map<uint64_t, size_t> listings_;
    // A folder left out as one walked before, to that folder.
    std::unordered_map<size_t, size_t> sameAs_;
    // The lines that name a folder walked before, written at the end: the folder one is the same
    // as may turn out later to be the same as another.
    struct Repeat {
        size_t line; // in tree_.leftOut
        std::string path;
        size_t same;
        bool byListing;
    };
    std::vector<Repeat> repeats_;
    DoneHandler done_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace transfer
