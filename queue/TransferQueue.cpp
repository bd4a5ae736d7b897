#include "queue/TransferQueue.h"

#include "queue/Failures.h"

#include <algorithm>

namespace transfer {

namespace {

const std::string kNotTried = "not tried, as ";
// What a silent try may have moved and still be cut short: sending it again costs little.
constexpr int64_t kCheapToRedoBytes = 1024 * 1024;

Outcome Failure(std::string message, ErrorReason reason, FailureKind kind)
{
    Outcome outcome;
    outcome.message = std::move(message);
    outcome.reason = reason;
    outcome.failure = kind;
    return outcome;
}

bool Canceled(const Outcome& outcome) { return KindOf(outcome) == FailureKind::Canceled; }

} // namespace

int64_t HandOverAfterMs(int64_t timeOutMs)
{
    if (timeOutMs <= 0) return 0;
    return std::min(timeOutMs, std::max<int64_t>(3000, timeOutMs / 10));
}

TransferQueue::TransferQueue(SessionFactory factory, Scheduler& scheduler, QueueSettings settings)
    : factory_(std::move(factory)), scheduler_(scheduler), settings_(settings),
      limit_(std::max(1, settings.maxSessions))
{
}

TransferQueue::~TransferQueue()
{
    *alive_ = false;
    for (auto& slot : slots_)
        if (slot->state != SlotState::Gone && slot->session) slot->session->Close();
}

size_t TransferQueue::Add(QueueItem item)
{
    entries_.push_back(Entry{std::move(item)});
    dependents_.emplace_back();
    return entries_.size() - 1;
}

void TransferQueue::Adopt(std::unique_ptr<Session> session)
{
    auto slot = std::make_unique<Slot>();
    slot->session = std::move(session);
    slot->state = SlotState::Idle;
    slots_.push_back(std::move(slot));
    mostOpen_ = std::max(mostOpen_, LoggedInCount());
}

std::function<void()> TransferQueue::Guarded(std::function<void()> call)
{
    return [alive = std::weak_ptr<bool>(alive_), call = std::move(call)] {
        const auto token = alive.lock();
        if (token && *token) call();
    };
}

void TransferQueue::Start()
{
    if (started_) return;
    started_ = true;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const std::optional<size_t>& after = entries_[i].item.after;
        if (after && *after < entries_.size() && *after != i) {
            dependents_[*after].push_back(i);
        } else {
            entries_[i].state = ItemState::Ready;
            ready_.push_back(i);
        }
    }
    Pump();
}

int TransferQueue::SlotsIn(std::initializer_list<SlotState> states) const
{
    return static_cast<int>(std::count_if(slots_.begin(), slots_.end(), [states](const auto& slot) {
        return std::find(states.begin(), states.end(), slot->state) != states.end();
    }));
}

int TransferQueue::OpenCount() const
{
    return SlotsIn({SlotState::Opening, SlotState::Idle, SlotState::Busy});
}

int TransferQueue::LoggedInCount() const { return SlotsIn({SlotState::Idle, SlotState::Busy}); }

void TransferQueue::Pump()
{
    if (canceled_ || finished_ || !started_) return;
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot* slot = slots_[i].get();
        if (slot->state != SlotState::Idle) continue;
        // A server that said it wants fewer sessions gets them as each one comes free.
        if (OpenCount() > limit_) {
            Drop(slot);
            continue;
        }
        while (!ready_.empty() && slot->state == SlotState::Idle) {
            const size_t index = ready_.front();
            ready_.pop_front();
            if (entries_[index].state == ItemState::Ready) Run(slot, index);
        }
    }
    auto opening = static_cast<size_t>(SlotsIn({SlotState::Opening}));
    while (!opensPausing_ && ready_.size() > opening && OpenCount() < limit_) {
        OpenSession();
        ++opening;
    }
    Watch();
    CheckFinished();
}

void TransferQueue::OpenSession()
{
    auto owned = std::make_unique<Slot>();
    Slot* slot = owned.get();
    slot->session = factory_();
    slots_.push_back(std::move(owned));
    if (!slot->session) {
        scheduler_.After(0, Guarded([this, slot] {
                             Opened(slot, Failure("no session could be made", ErrorReason::Unknown,
                                                  FailureKind::Other));
                         }));
        return;
    }
    slot->session->Open([this, slot, alive = std::weak_ptr<bool>(alive_)](const Outcome& outcome) {
        const auto token = alive.lock();
        if (token && *token) Opened(slot, outcome);
    });
}

void TransferQueue::Opened(Slot* slot, const Outcome& outcome)
{
    if (canceled_ || finished_ || slot->state != SlotState::Opening) return;
    if (outcome.ok) {
        slot->state = SlotState::Idle;
        failedOpens_ = 0;
        mostOpen_ = std::max(mostOpen_, LoggedInCount());
        return Pump();
    }
    Drop(slot);
    const int others = OpenCount();
    if (others > 0) {
        // The server takes no more sessions than it has now (or will have, once those still
        // logging in are in): the items wait for those, none fails for it.
        limit_ = std::max(1, others);
        return Pump();
    }
    // A refused login before any session got in is the credentials, not the load.
    const bool busyServer = KindOf(outcome) == FailureKind::TooManySessions ||
                            (TurnedAwayForLoad(outcome) && mostOpen_ > 0);
    if ((WorthRetrying(outcome) || busyServer) && ++failedOpens_ < settings_.maxTries) {
        opensPausing_ = true;
        scheduler_.After(RetryPauseMs(failedOpens_ + 1, settings_.firstRetryPauseMs),
                         Guarded([this] {
                             opensPausing_ = false;
                             Pump();
                         }));
        return;
    }
    // No session at all, and none to be had: every item that has not ended fails with the
    // reason.
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].state != ItemState::Done && entries_[i].state != ItemState::Failed)
            Finish(i, ItemState::Failed, outcome);
    CheckFinished();
}

void TransferQueue::Count(Entry& entry, int64_t bytesNow)
{
    moved_ += bytesNow - entry.bytesNow;
    entry.bytesNow = bytesNow;
}

void TransferQueue::Run(Slot* slot, size_t index)
{
    Entry& entry = entries_[index];
    // Bytes an earlier try brought stay where they are, however little the last try moved.
    const bool movedBefore = entry.kept + entry.bytesNow > 0;
    // Only a download goes on from what an earlier try left; anything else starts over.
    const bool goesOn = movedBefore && entry.item.request.operation == Operation::Get;
    entry.kept = goesOn ? entry.kept + entry.bytesNow : 0;
    entry.bytesNow = 0;
    entry.state = ItemState::Running;
    ++entry.tries;
    slot->state = SlotState::Busy;
    slot->item = index;
    Request request = entry.item.request;
    // A later try goes on from what an earlier one of this run left; one that moved nothing
    // left nothing of its own to go on from.
    if (goesOn) request.resume = true;
    auto alive = std::weak_ptr<bool>(alive_);
    auto live = [alive] {
        const auto token = alive.lock();
        return token && *token;
    };
    const bool started = slot->session->Start(
        request,
        [this, index, live](const Progress& progress) {
            if (!live() || canceled_ || entries_[index].state != ItemState::Running) return;
            Count(entries_[index], progress.bytes);
            if (onProgress) onProgress(moved_);
        },
        [this, slot, index, live](const Outcome& outcome) {
            if (live()) Ended(slot, index, outcome);
        });
    if (!started) {
        // The session was not ready after all: the item goes back, the session goes.
        --entry.tries;
        entry.state = ItemState::Ready;
        ready_.push_front(index);
        Drop(slot);
        scheduler_.After(0, Guarded([this] { Pump(); }));
    }
}

void TransferQueue::Ended(Slot* slot, size_t index, const Outcome& outcome)
{
    if (canceled_ || finished_ || slot->state != SlotState::Busy || slot->item != index) return;
    Entry& entry = entries_[index];
    Count(entry, std::max(entry.bytesNow, outcome.bytes));
    slot->state = SlotState::Idle;
    if (outcome.ok) {
        done_ += entry.kept + entry.bytesNow;
        Finish(index, ItemState::Done, outcome);
        return Pump();
    }
    const bool forLoad = TurnedAwayForLoad(outcome) && OpenCount() > 1;
    const bool retry = WorthRetrying(outcome);
    // Fewer sessions from now on; the item does not pay for it with a try.
    if (forLoad) limit_ = std::max(1, std::min(limit_ - 1, OpenCount()));
    if ((forLoad || retry) && !SessionSurvives(outcome)) Drop(slot);
    if (forLoad) {
        --entry.tries;
        entry.state = ItemState::Ready;
        ready_.push_front(index);
    } else if (retry && entry.tries < settings_.maxTries) {
        Retry(index);
    } else {
        Finish(index, ItemState::Failed, outcome);
    }
    Pump();
}

void TransferQueue::Retry(size_t index)
{
    entries_[index].state = ItemState::Pausing;
    ++pausing_;
    scheduler_.After(RetryPauseMs(entries_[index].tries + 1, settings_.firstRetryPauseMs),
                     Guarded([this, index] {
                         --pausing_;
                         if (canceled_ || entries_[index].state != ItemState::Pausing) return;
                         entries_[index].state = ItemState::Ready;
                         ready_.push_back(index);
                         Pump();
                     }));
}

void TransferQueue::Finish(size_t index, ItemState state, const Outcome& outcome)
{
    Entry& entry = entries_[index];
    if (entry.state == ItemState::Done || entry.state == ItemState::Failed) return;
    entry.state = state;
    ++ended_;
    results_.push_back(ItemResult{index, outcome, entry.tries});
    if (onItemDone) onItemDone(results_.back());
    const bool releases = state == ItemState::Done || (entry.item.mayFail && !Canceled(outcome));
    for (const size_t dependent : dependents_[index]) {
        if (releases) {
            if (entries_[dependent].state != ItemState::Waiting) continue;
            entries_[dependent].state = ItemState::Ready;
            ready_.push_back(dependent);
        } else {
            // The first failure of a chain is the one worth telling.
            Outcome because = outcome;
            if (!Canceled(outcome) && outcome.message.rfind(kNotTried, 0) != 0)
                because.message = kNotTried + entries_[index].item.request.remotePath +
                                  " failed: " + outcome.message;
            because.bytes = 0;
            Finish(dependent, ItemState::Failed, because);
        }
    }
}

void TransferQueue::Drop(Slot* slot, bool atOnce)
{
    if (slot->state == SlotState::Gone) return;
    const bool busy = slot->state == SlotState::Busy;
    slot->state = SlotState::Gone;
    if (!slot->session) return;
    if (busy) slot->session->Cancel();
    if (atOnce) {
        slot->session->CloseAtOnce();
    } else {
        slot->session->Close();
    }
}

std::unique_ptr<Session> TransferQueue::TakeSession()
{
    if (!finished_) return nullptr;
    for (auto& slot : slots_) {
        if (slot->state != SlotState::Idle) continue;
        slot->state = SlotState::Gone;
        return std::move(slot->session);
    }
    return nullptr;
}

void TransferQueue::Cancel()
{
    if (finished_) return;
    canceled_ = true;
    // The user who stopped the run is not kept waiting for the servers' goodbyes.
    for (auto& slot : slots_) Drop(slot.get(), true);
    const Outcome canceled = Failure("canceled", ErrorReason::Canceled, FailureKind::Canceled);
    for (size_t i = 0; i < entries_.size(); ++i) Finish(i, ItemState::Failed, canceled);
    if (!started_) started_ = true;
    CheckFinished();
}

bool TransferQueue::WaitsForBusyAlone() const
{
    if (canceled_ || finished_ || pausing_ > 0) return false;
    if (std::any_of(ready_.begin(), ready_.end(),
                    [this](size_t index) { return entries_[index].state == ItemState::Ready; }))
        return false;
    // A session still logging in has no item: it holds nothing up.
    bool idle = false;
    bool busy = false;
    for (const auto& slot : slots_) {
        idle = idle || slot->state == SlotState::Idle;
        busy = busy || slot->state == SlotState::Busy;
    }
    return idle && busy;
}

bool TransferQueue::MayCut(const Slot& slot) const
{
    const Entry& entry = entries_[slot.item];
    // The last try keeps the whole time-out: a cut never fails an item by itself.
    if (entry.tries >= settings_.maxTries) return false;
    // A download goes on from its bytes; anything else is sent again whole.
    return entry.item.request.operation == Operation::Get || entry.bytesNow <= kCheapToRedoBytes;
}

void TransferQueue::Watch()
{
    if (looking_ || !WaitsForBusyAlone()) return;
    // The first moment every busy session may have been silent long enough.
    int64_t wait = 0;
    for (const auto& slot : slots_) {
        if (slot->state != SlotState::Busy) continue;
        const int64_t limit = HandOverAfterMs(slot->session->TimeOutMs());
        if (limit <= 0) return;
        const int64_t quiet = slot->session->QuietMs();
        wait = std::max(wait, quiet >= 0 ? limit - quiet : limit);
    }
    looking_ = true;
    scheduler_.After(wait, Guarded([this] { Look(); }));
}

void TransferQueue::Look()
{
    looking_ = false;
    if (!WaitsForBusyAlone()) return;
    std::vector<Slot*> silent;
    for (const auto& slot : slots_) {
        if (slot->state != SlotState::Busy) continue;
        const int64_t limit = HandOverAfterMs(slot->session->TimeOutMs());
        if (limit <= 0) return;
        // One that still moves is what the run waits for: the others' time-outs decide.
        if (slot->session->QuietMs() < limit) return Watch();
        if (MayCut(*slot)) silent.push_back(slot.get());
    }
    // Those that may not be cut wait for their time-out; the next event looks again.
    if (silent.empty()) return;
    for (Slot* slot : silent) {
        const size_t index = slot->item;
        Drop(slot, true);
        Retry(index);
    }
    Pump();
}

void TransferQueue::CheckFinished()
{
    if (finished_ || !started_ || ended_ < entries_.size()) return;
    finished_ = true;
    bool keeping = settings_.keepSession && !canceled_;
    for (auto& slot : slots_) {
        const bool kept =
            keeping && slot->state == SlotState::Idle && slot->session && slot->session->Idle();
        if (kept) keeping = false;
        if (!kept) Drop(slot.get());
    }
    scheduler_.After(0, Guarded([this] {
                         // A copy: whoever is told may well destroy the queue, and this handler
                         // with it.
                         const auto finished = onFinished;
                         if (finished) finished();
                     }));
}

} // namespace transfer
