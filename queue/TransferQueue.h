#pragma once
// Runs many transfers over a few sessions of one server at once. Items are files to get or put
// (and remote directories to make); up to a number of sessions run side by side, each made by
// the caller's factory, so that every one logs in as the first did, and each session takes the
// next item as soon as it is free.
//
// Each item ends exact or failed. A failure worth another try (see Failures.h) is tried again
// after a growing pause, up to three tries, going on from the bytes already there. A server that
// turns a session away for their number gets fewer sessions from then on: that alone never fails
// an item. Cancel stops every session at once; an item is reported done only when the session
// said it ended whole.
//
// Sessions that have heard nothing from the server for a while (HandOverAfterMs) when they are
// all the run still waits for -- another session idle, nothing else to start or to try again,
// no busy session still moving -- are given up at once, as if they had timed out, and their
// items go on on other sessions. Only where that loses little: never on an item's last try,
// never for an upload or a command that had moved more than a little, never while a session
// waits for an answer it knows takes long; with one session, or while other work remains, the
// sessions' own time-out decides.
#include "net/TransferSession.h"
#include "queue/Scheduler.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace transfer {

struct QueueItem {
    Request request; // Get, Put or MakeDirectory
    // Bytes the whole file holds, when known beforehand (for the progress of the run).
    int64_t size = -1;
    // An item that must have ended well before this one may start (the directory a file goes
    // into): its index.
    std::optional<size_t> after;
    // Its failure does not hold back the items after it (a directory that may be there already).
    bool mayFail = false;
};

struct QueueSettings {
    int maxSessions = 4;
    int maxTries = 3;
    int64_t firstRetryPauseMs = 1000;
    // A run that ends with a session logged in and idle keeps it for TakeSession rather than
    // closing it.
    bool keepSession = false;
};

struct ItemResult {
    size_t index = 0;
    Outcome outcome; // of its last try
    int tries = 0;
};

using SessionFactory = std::function<std::unique_ptr<Session>()>;

// How long a session that holds up the run alone may stay silent before it is given up, for
// sessions that give up after `timeOutMs` by themselves: a tenth of that, at least 3 s, never
// more than the time-out itself. 0 (never) for sessions without a time-out.
int64_t HandOverAfterMs(int64_t timeOutMs);

class TransferQueue {
public:
    TransferQueue(SessionFactory factory, Scheduler& scheduler, QueueSettings settings = {});
    ~TransferQueue();
    TransferQueue(const TransferQueue&) = delete;
    TransferQueue& operator=(const TransferQueue&) = delete;

    // Before Start. Returns the item's index.
    size_t Add(QueueItem item);
    // A session that is open already (it listed the tree, say): the queue uses it as one of its
    // own.
    void Adopt(std::unique_ptr<Session> session);

    // Each item as it ends, and the run's end once every item has.
    std::function<void(const ItemResult&)> onItemDone;
    // Bytes moved by the run so far, after every step of any transfer.
    std::function<void(int64_t bytes)> onProgress;
    std::function<void()> onFinished;

    void Start();
    // Stops every running transfer and fails every item that has not ended; onFinished follows
    // from the event loop.
    void Cancel();

    bool Finished() const { return finished_; }
    // Once finished: the session kept (keepSession), nullptr when none was left to keep.
    std::unique_ptr<Session> TakeSession();
    // How many sessions the queue may run at once now.
    int SessionLimit() const { return limit_; }
    // The most sessions that were logged in at the same time.
    int MostSessionsOpen() const { return mostOpen_; }
    const std::vector<ItemResult>& Results() const { return results_; }
    // Bytes moved by every try so far, those of tries that failed or were started over included.
    int64_t BytesMoved() const { return moved_; }
    // The bytes of the items that ended exact: of each, those its last try moved and those of the
    // earlier tries it went on from.
    int64_t BytesDone() const { return done_; }

private:
    enum class ItemState : uint8_t { Waiting, Ready, Pausing, Running, Done, Failed };
    struct Entry {
        QueueItem item;
        ItemState state = ItemState::Waiting;
        int tries = 0;
        int64_t bytesNow = 0; // moved by the running (or last) try
        int64_t kept = 0;     // moved by earlier tries that the running one goes on from
    };
    enum class SlotState : uint8_t { Opening, Idle, Busy, Gone };
    struct Slot {
        std::unique_ptr<Session> session;
        SlotState state = SlotState::Opening;
        size_t item = 0;
    };

    void Count(Entry& entry, int64_t bytesNow);
    void Pump();
    void OpenSession();
    void Opened(Slot* slot, const Outcome& outcome);
    void Run(Slot* slot, size_t index);
    void Ended(Slot* slot, size_t index, const Outcome& outcome);
    void Finish(size_t index, ItemState state, const Outcome& outcome);
    void Retry(size_t index);
    // `atOnce`: the session closes without waiting for the server's goodbye.
    void Drop(Slot* slot, bool atOnce = false);
    void CheckFinished();
    // The run's end waits for its busy sessions alone: another session is idle, and nothing
    // is left to start or to try again.
    bool WaitsForBusyAlone() const;
    // The session's try may be cut short: not its item's last, and little lost by it.
    bool MayCut(const Slot& slot) const;
    // A look once every busy session may have been silent long enough, unless one is due.
    void Watch();
    // Every busy session silent long enough: those that may be cut are closed at once and
    // their items tried again, as after a time-out.
    void Look();
    int SlotsIn(std::initializer_list<SlotState> states) const;
    int OpenCount() const;     // logged in, or logging in
    int LoggedInCount() const; // logged in only
    std::function<void()> Guarded(std::function<void()> call);

    SessionFactory factory_;
    Scheduler& scheduler_;
    QueueSettings settings_;
    std::vector<Entry> entries_;
    std::vector<std::vector<size_t>> dependents_;
    std::deque<size_t> ready_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<ItemResult> results_;
    int limit_;
    int64_t moved_ = 0; // by every try so far
    int64_t done_ = 0;  // of the items that ended exact
    int mostOpen_ = 0;
    int failedOpens_ = 0; // in a row, while no session is open
    bool opensPausing_ = false;
    int pausing_ = 0;
    size_t ended_ = 0;
    bool started_ = false;
    bool canceled_ = false;
    bool finished_ = false;
    bool looking_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace transfer
