#pragma once
// Reads a remote directory tree through one open session, a listing per directory, one after
// the other. Every name a listing gives is checked before it becomes part of a path: an unsafe
// one is refused and reported, never followed.
#include "net/TransferSession.h"
#include "queue/Tree.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace transfer {

class RemoteTreeWalk {
public:
    using DoneHandler = std::function<void(const Outcome&, const Tree&)>;

    RemoteTreeWalk(Session& session, std::string root);
    ~RemoteTreeWalk();
    // `done` says how the listing of the root went; a directory below it that cannot be listed
    // is among the tree's refused names.
    void Start(DoneHandler done);

private:
    void Next();
    void Listed(const std::string& below, const Outcome& outcome,
                const std::vector<RemoteEntry>& entries);
    void End(const Outcome& outcome);

    Session& session_;
    std::string root_;
    Tree tree_;
    std::deque<std::string> pending_;
    DoneHandler done_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace transfer
