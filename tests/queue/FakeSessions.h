#pragma once
// A clock that only moves when told, and sessions of a pretend server that answer each request
// as a script says, so that the queue's decisions can be read off without sockets or waiting.
#include "net/TransferSession.h"
#include "queue/Scheduler.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fakes {

class FakeClock : public transfer::Scheduler {
public:
    int64_t NowMs() const override { return now_; }
    void After(int64_t delayMs, std::function<void()> call) override
    {
        pending_.emplace(std::make_pair(now_ + (delayMs < 0 ? 0 : delayMs), sequence_++),
                         std::move(call));
    }
    // Runs what is due, moving the clock to each call's time, until nothing is left (bounded).
    void RunAll(int maxSteps = 100000)
    {
        for (int step = 0; step < maxSteps && !pending_.empty(); ++step) {
            auto first = pending_.begin();
            now_ = first->first.first;
            auto call = std::move(first->second);
            pending_.erase(first);
            call();
        }
    }
    // Time that passes with nothing due: a question open, say.
    void Advance(int64_t ms) { now_ += ms; }
    // Runs what is due within `ms` from now.
    void RunFor(int64_t ms)
    {
        const int64_t until = now_ + ms;
        while (!pending_.empty() && pending_.begin()->first.first <= until) {
            auto first = pending_.begin();
            now_ = first->first.first;
            auto call = std::move(first->second);
            pending_.erase(first);
            call();
        }
        now_ = until;
    }

private:
    int64_t now_ = 0;
    uint64_t sequence_ = 0;
    std::map<std::pair<int64_t, uint64_t>, std::function<void()>> pending_;
};

// A failure that says only its reason (and, for the record, a reply code).
inline transfer::Outcome Failed(ErrorReason reason, int replyCode = 0, int64_t bytes = 0)
{
    transfer::Outcome outcome;
    outcome.reason = reason;
    outcome.replyCode = replyCode;
    outcome.message = "failed";
    outcome.bytes = bytes;
    return outcome;
}

// A failure whose kind the session says, with a reason that would tell nothing by itself.
inline transfer::Outcome Failed(transfer::FailureKind kind, int64_t bytes = 0)
{
    transfer::Outcome outcome = Failed(ErrorReason::Unknown, 0, bytes);
    outcome.failure = kind;
    return outcome;
}

// The server all the fake sessions talk to.
struct FakeServer {
    explicit FakeServer(FakeClock& clock) : clock(clock) {}
    FakeClock& clock;
    int maxSessions = 100; // more logins than this are turned away, with loginFailure
    transfer::Outcome loginFailure = Failed(transfer::FailureKind::TooManySessions);
    int64_t transferMs = 10;
    int open = 0;
    int mostOpen = 0;
    int logins = 0;
    // Per remote path, the failures its next tries meet, in order; then it succeeds.
    std::map<std::string, std::deque<transfer::Outcome>> failures;
    // Per remote path, the listing it gives.
    std::map<std::string, std::vector<transfer::RemoteEntry>> listings;
    // For a path `listings` does not have: the listing it gives (a server that lists without
    // end), and how many listings it gave.
    std::function<std::vector<transfer::RemoteEntry>(const std::string&)> lister;
    int listed = 0;
    // Per remote path, the time ModifiedTime answers (550 for any other); 500 for all, unless
    // the server knows the command.
    std::map<std::string, int64_t> times;
    bool knowsTimes = true;
    // A session gives up a request that hears nothing for this long (0: never).
    int64_t timeOutMs = 0;
    // Per remote path, the silences its next tries meet, in order: a try moves `bytesFirst`,
    // then hears nothing for `ms` and goes on as any try, or times out first. `known`: the
    // session waits for an answer it knows takes long, and says of no silence.
    struct Silence {
        int64_t ms;
        int64_t bytesFirst = 0;
        bool known = false;
    };
    std::map<std::string, std::deque<Silence>> silences;
    struct Started {
        transfer::Request request;
        int64_t atMs;
    };
    std::vector<Started> started;
};

class FakeSession : public transfer::Session {
public:
    explicit FakeSession(FakeServer& server) : server_(server) {}
    ~FakeSession() override
    {
        *alive_ = false;
        Close();
    }

    void Open(transfer::DoneHandler done) override
    {
        Later(0, [this, done] {
            ++server_.logins;
            if (server_.open >= server_.maxSessions) return done(server_.loginFailure);
            open_ = true;
            ++server_.open;
            server_.mostOpen = std::max(server_.mostOpen, server_.open);
            done(transfer::Outcome::Success());
        });
    }
    bool Idle() const override { return open_ && !busy_; }
    bool Start(const transfer::Request& request, transfer::ProgressHandler progress,
               transfer::DoneHandler done) override
    {
        if (!Idle()) return false;
        busy_ = true;
        server_.started.push_back({request, server_.clock.NowMs()});
        const uint64_t run = ++run_;
        int64_t takes = server_.transferMs;
        bool timesOut = false;
        silence_.reset();
        if (auto& silences = server_.silences[request.remotePath]; !silences.empty()) {
            silence_ = silences.front();
            silences.pop_front();
            silentSince_ = server_.clock.NowMs();
            timesOut = server_.timeOutMs > 0 && silence_->ms >= server_.timeOutMs;
            takes = timesOut ? server_.timeOutMs : silence_->ms + server_.transferMs;
            if (const int64_t first = silence_->bytesFirst; first > 0 && progress)
                Later(0, [this, progress, first, run] {
                    if (run == run_ && busy_) progress({first, -1});
                });
        }
        Later(takes, [this, request, progress, done, run, timesOut] {
            if (run != run_ || !busy_) return;
            busy_ = false;
            if (timesOut)
                return done(Failed(transfer::FailureKind::TimedOut, silence_->bytesFirst));
            auto& queued = server_.failures[request.remotePath];
            transfer::Outcome outcome = transfer::Outcome::Success(100);
            if (request.operation == transfer::Operation::ModifiedTime) {
                const auto time = server_.times.find(request.remotePath);
                outcome = transfer::Outcome::Success();
                if (!server_.knowsTimes)
                    outcome = Failed(transfer::FailureKind::Unsupported);
                else if (time == server_.times.end())
                    outcome = Failed(ErrorReason::ServerRefused, 550);
                else
                    outcome.modifiedUtc = time->second;
            }
            if (!queued.empty()) {
                outcome = queued.front();
                queued.pop_front();
            }
            if (outcome.bytes > 0 && progress) progress({outcome.bytes, -1});
            const transfer::FailureKind kind = transfer::KindOf(outcome);
            if (kind == transfer::FailureKind::ConnectionLost ||
                kind == transfer::FailureKind::TooManySessions)
                Lose();
            done(outcome);
        });
        pendingDone_ = done;
        return true;
    }
    bool StartList(const transfer::Request& request, transfer::ListHandler done) override
    {
        if (!Idle()) return false;
        busy_ = true;
        Later(1, [this, request, done] {
            busy_ = false;
            ++server_.listed;
            const auto it = server_.listings.find(request.remotePath);
            if (it != server_.listings.end()) return done(transfer::Outcome::Success(), it->second);
            if (server_.lister)
                return done(transfer::Outcome::Success(), server_.lister(request.remotePath));
            done(Failed(ErrorReason::ServerRefused, 550), {});
        });
        return true;
    }
    void Cancel() override
    {
        if (!busy_) return;
        busy_ = false;
        ++run_;
        auto done = pendingDone_;
        Later(0, [done] {
            if (done) done(Failed(ErrorReason::Canceled));
        });
    }
    void Close() override
    {
        Cancel();
        Lose();
    }
    int64_t QuietMs() const override
    {
        if (!busy_) return -1;
        if (!silence_) return 0;
        return silence_->known ? -1 : server_.clock.NowMs() - silentSince_;
    }
    int64_t TimeOutMs() const override { return server_.timeOutMs; }

private:
    void Lose()
    {
        if (!open_) return;
        open_ = false;
        --server_.open;
    }
    void Later(int64_t ms, std::function<void()> call)
    {
        server_.clock.After(ms, [alive = std::weak_ptr<bool>(alive_), call] {
            if (alive.lock() && *alive.lock()) call();
        });
    }

    FakeServer& server_;
    bool open_ = false;
    bool busy_ = false;
    uint64_t run_ = 0;
    // The running try's silence, and since when.
    std::optional<FakeServer::Silence> silence_;
    int64_t silentSince_ = 0;
    transfer::DoneHandler pendingDone_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace fakes
