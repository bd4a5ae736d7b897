#pragma once
// Asks the server's time of some files, one after the other, through one open session: for the
// files whose listing gave no time to the second (LIST gives minutes, and for older files only
// the day), where a run must compare times.
#include "net/TransferSession.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace transfer {

class RemoteTimes {
public:
    // The times by path below the root; a file the server gave no time for is not among them.
    using DoneHandler = std::function<void(const std::map<std::string, int64_t>& times)>;

    RemoteTimes(Session& session, std::string root, std::vector<std::string> paths);
    ~RemoteTimes();
    RemoteTimes(const RemoteTimes&) = delete;
    RemoteTimes& operator=(const RemoteTimes&) = delete;

    void Start(DoneHandler done);

private:
    void Next();
    void Answered(const std::string& path, const Outcome& outcome);

    Session& session_;
    std::string root_;
    std::deque<std::string> pending_;
    std::map<std::string, int64_t> times_;
    DoneHandler done_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace transfer
