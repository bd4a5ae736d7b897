// The queue's decisions against a pretend server and a clock that only moves when told: which
// failures are tried again and how, fewer sessions for a server that wants fewer, reuse of
// sessions, cancel.
#include "FakeSessions.h"

#include "queue/TransferQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using fakes::Failed;
using fakes::FakeClock;
using fakes::FakeServer;
using fakes::FakeSession;
using Kind = transfer::FailureKind;
using transfer::ItemResult;
using transfer::Operation;
using transfer::Outcome;
using transfer::QueueItem;
using transfer::TransferQueue;

namespace {

QueueItem Get(const std::string& remote)
{
    QueueItem item;
    item.request.operation = Operation::Get;
    item.request.remotePath = remote;
    item.request.localPath = "/local" + remote;
    return item;
}

struct QueueRun {
    FakeClock clock;
    FakeServer server{clock};
    std::unique_ptr<TransferQueue> queue;
    bool finished = false;
    int64_t finishedAtMs = -1;

    explicit QueueRun(transfer::QueueSettings settings = {})
    {
        queue = std::make_unique<TransferQueue>(
            [this] { return std::make_unique<FakeSession>(server); }, clock, settings);
        queue->onFinished = [this] {
            finished = true;
            finishedAtMs = clock.NowMs();
        };
    }
    const ItemResult& ResultOf(size_t index) const
    {
        for (const ItemResult& result : queue->Results())
            if (result.index == index) return result;
        static const ItemResult none{};
        ADD_FAILURE() << "no result for item " << index;
        return none;
    }
    // Starts the queue and lets the clock run until nothing is left to do.
    void Run()
    {
        queue->Start();
        clock.RunAll();
    }
    void AddFiles(int count)
    {
        for (int i = 0; i < count; ++i) queue->Add(Get("/f" + std::to_string(i)));
    }
    std::vector<int64_t> StartTimesOf(const std::string& remote) const
    {
        std::vector<int64_t> times;
        for (const auto& started : server.started)
            if (started.request.remotePath == remote) times.push_back(started.atMs);
        return times;
    }
};

} // namespace

// One row per kind of failure a file meets: whether it ends well, after how many tries, and
// whether the last try went on from the bytes of the earlier ones.
TEST(TransferQueue, RetriesOnlyFailuresWorthIt)
{
    struct Row {
        const char* what;
        std::vector<Outcome> failures;
        bool ok;
        int tries;
        bool lastResumed;
        // The bytes the run counts for the file: only of a file that arrived, and of it only
        // the tries its last one went on from (a successful try moves 100).
        int64_t bytesDone;
        Operation operation = Operation::Get;
    };
    using R = ErrorReason;
    const Outcome lostAt40 = Failed(R::ServerClosed, 0, 40);
    const Outcome broken = Failed(Kind::DataChannelFailed, 10);
    const Outcome timedOut = Failed(R::TimedOut);
    const Outcome cutAt60 = Failed(R::TransferIncomplete, 0, 60);
    const std::vector<Row> rows{
        {"connection lost midway, then whole", {lostAt40}, true, 2, true, 140},
        // A reconnect that gets nowhere does not throw away what the first try brought.
        {"lost midway, then nothing, the rest", {lostAt40, timedOut}, true, 3, true, 140},
        {"socket error before a byte", {Failed(R::SocketError)}, true, 2, false, 100},
        {"time-out", {timedOut}, true, 2, false, 100},
        {"425 no data connection", {Failed(R::DataConnectionFailed, 425)}, true, 2, false, 100},
        {"data channel broken off, three times", {broken, broken, broken}, false, 3, true, 0},
        {"550 no such file", {Failed(R::ServerRefused, 550)}, false, 1, false, 0},
        // The kind a session says decides, whatever its reason would say alone.
        {"connection lost", {Failed(Kind::ConnectionLost, 20)}, true, 2, true, 120},
        {"timed out", {Failed(Kind::TimedOut)}, true, 2, false, 100},
        {"too many, no other session open", {Failed(Kind::TooManySessions)}, true, 2, false, 100},
        {"refused for now", {Failed(Kind::RefusedForNow)}, false, 1, false, 0},
        {"refused for good", {Failed(Kind::RefusedForGood)}, false, 1, false, 0},
        {"login refused, no other session", {Failed(Kind::LoginRefused)}, false, 1, false, 0},
        {"local failure", {Failed(Kind::LocalFailure)}, false, 1, false, 0},
        {"checksum does not match", {Failed(Kind::Other)}, false, 1, false, 0},
        {"a session that only says it was canceled", {Failed(R::Canceled)}, false, 1, false, 0},
        {"local file cannot be written", {Failed(R::FileCreate)}, false, 1, false, 0},
        {"certificate refused", {Failed(R::CertificateRejected)}, false, 1, false, 0},
        {"file cut short", {Failed(R::TransferIncomplete, 0, 5)}, true, 2, true, 105},
        {"replies out of step", {Failed(R::OutOfStep, 0, 30)}, true, 2, true, 130},
        // An upload is sent whole again: what the failed try sent is not counted.
        {"upload cut short, then whole", {cutAt60}, true, 2, false, 100, Operation::Put},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QueueRun run;
        run.server.failures["/f"] = {row.failures.begin(), row.failures.end()};
        QueueItem item = Get("/f");
        item.request.operation = row.operation;
        run.queue->Add(item);
        run.Run();
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.ResultOf(0).outcome.ok, row.ok);
        EXPECT_EQ(run.queue->BytesDone(), row.bytesDone);
        EXPECT_EQ(run.ResultOf(0).tries, row.tries);
        ASSERT_EQ(run.server.started.size(), static_cast<size_t>(row.tries));
        EXPECT_EQ(run.server.started.back().request.resume, row.lastResumed);
    }
}

// The pause before each new try grows: a server that is briefly away is not hammered.
TEST(TransferQueue, PausesLongerBeforeEachTry)
{
    QueueRun run({.maxSessions = 1, .maxTries = 3, .firstRetryPauseMs = 1000});
    run.server.failures["/f"] = {Failed(ErrorReason::TimedOut), Failed(ErrorReason::TimedOut)};
    run.queue->Add(Get("/f"));
    run.Run();
    const std::vector<int64_t> times = run.StartTimesOf("/f");
    ASSERT_EQ(times.size(), 3u);
    const int64_t firstPause = times[1] - times[0];
    const int64_t secondPause = times[2] - times[1];
    EXPECT_GE(firstPause, 1000);
    EXPECT_GT(secondPause, firstPause);
    EXPECT_TRUE(run.ResultOf(0).outcome.ok);
}

// A server that takes fewer sessions than the queue would open: every file still arrives, none
// pays a try for the logins turned away, and the queue stays at what the server takes.
TEST(TransferQueue, ServerTakingFewerSessionsGetsFewerAndEveryFileArrives)
{
    struct Row {
        int serverTakes;
        int queueWants;
        // How the sessions past those are turned away: a session refused for the TLS the run
        // requires costs nothing more than one turned away for the load.
        Kind turnedAway = Kind::TooManySessions;
    };
    for (const Row row : {Row{2, 4}, Row{1, 4}, Row{3, 8}, Row{4, 4}, Row{2, 4, Kind::LoginRefused},
                          Row{1, 4, Kind::RefusedForGood}}) {
        SCOPED_TRACE("server takes " + std::to_string(row.serverTakes) + ", kind " +
                     std::to_string(static_cast<int>(row.turnedAway)));
        QueueRun run({.maxSessions = row.queueWants});
        run.server.maxSessions = row.serverTakes;
        run.server.loginFailure = Failed(row.turnedAway);
        run.AddFiles(20);
        run.Run();
        ASSERT_TRUE(run.finished);
        ASSERT_EQ(run.queue->Results().size(), 20u);
        for (const ItemResult& result : run.queue->Results()) {
            EXPECT_TRUE(result.outcome.ok) << result.index;
            EXPECT_EQ(result.tries, 1) << result.index;
        }
        EXPECT_EQ(run.queue->SessionLimit(), row.serverTakes);
        EXPECT_EQ(run.server.mostOpen, row.serverTakes);
        // What the run reports counts sessions logged in, not logins still under way.
        EXPECT_EQ(run.queue->MostSessionsOpen(), row.serverTakes);
        // Sessions are kept across items: no more logins than sessions tried.
        EXPECT_LE(run.server.logins, row.queueWants);
    }
}

// A session turned away for the number of sessions in the middle of a run, with other sessions
// open, means "fewer": the item goes back to the queue without paying a try, and the queue runs
// one session fewer from then on. So does a login refused beside sessions that logged in.
TEST(TransferQueue, TurnedAwayAmidSessionsShrinksTheQueueWithoutCostingATry)
{
    for (const Kind kind : {Kind::TooManySessions, Kind::LoginRefused}) {
        SCOPED_TRACE(static_cast<int>(kind));
        QueueRun run({.maxSessions = 3});
        run.server.failures["/f0"] = {Failed(kind)};
        run.AddFiles(9);
        run.Run();
        EXPECT_EQ(run.queue->SessionLimit(), 2);
        EXPECT_TRUE(run.ResultOf(0).outcome.ok);
        EXPECT_EQ(run.ResultOf(0).tries, 1);
    }
}

// A server that cannot be logged in to at all fails every item with the login's failure: once
// the tries are spent where another try may help, at once where it cannot (a login refused
// before any session got in is the credentials, not the load; a session refused for the TLS the
// run requires will be refused again).
TEST(TransferQueue, NoSessionAtAllFailsEveryItem)
{
    struct Row {
        Kind kind;
        int logins;
    };
    // Two sessions tried at first; then, for a failure worth it, one at a time for the two
    // tries left.
    for (const Row row :
         {Row{Kind::TooManySessions, 4}, Row{Kind::ConnectionLost, 4}, Row{Kind::TimedOut, 4},
          Row{Kind::LoginRefused, 2}, Row{Kind::RefusedForGood, 2}}) {
        SCOPED_TRACE(static_cast<int>(row.kind));
        QueueRun run({.maxSessions = 2, .maxTries = 3, .firstRetryPauseMs = 10});
        run.server.maxSessions = 0;
        run.server.loginFailure = Failed(row.kind);
        run.queue->Add(Get("/a"));
        run.queue->Add(Get("/b"));
        run.Run();
        ASSERT_TRUE(run.finished);
        EXPECT_FALSE(run.ResultOf(0).outcome.ok);
        EXPECT_FALSE(run.ResultOf(1).outcome.ok);
        EXPECT_EQ(transfer::KindOf(run.ResultOf(0).outcome), row.kind);
        EXPECT_EQ(run.server.logins, row.logins);
    }
}

// Cancel stops every running transfer at once; nothing that had not ended is reported done.
TEST(TransferQueue, CancelEndsEverythingAndReportsNothingDoneThatIsNot)
{
    QueueRun run({.maxSessions = 4});
    run.server.transferMs = 100;
    run.AddFiles(10);
    size_t doneBeforeCancel = 0;
    run.queue->onItemDone = [&](const ItemResult& result) {
        if (result.outcome.ok) ++doneBeforeCancel;
    };
    run.queue->Start();
    run.clock.RunFor(150); // four ended, four running
    run.queue->Cancel();
    EXPECT_EQ(run.server.open, 0);
    run.clock.RunAll();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(doneBeforeCancel, 4u);
    ASSERT_EQ(run.queue->Results().size(), 10u);
    size_t canceled = 0;
    for (const ItemResult& result : run.queue->Results())
        if (result.outcome.reason == ErrorReason::Canceled && !result.outcome.ok) ++canceled;
    EXPECT_EQ(canceled, 6u);
    EXPECT_LE(run.server.started.size(), 8u);
}

// A file waits for the directory it goes into; when that cannot be made, the file is not
// tried, and says why; unless the directory may have been there already.
TEST(TransferQueue, ItemAfterAFailedOneIsNotTried)
{
    for (const bool mayFail : {false, true}) {
        SCOPED_TRACE(mayFail ? "the directory may be there" : "the directory must be made");
        QueueRun run;
        QueueItem directory;
        directory.request.operation = Operation::MakeDirectory;
        directory.request.remotePath = "/d";
        directory.mayFail = mayFail;
        run.server.failures["/d"] = {Failed(ErrorReason::ServerRefused, 550)};
        const size_t made = run.queue->Add(directory);
        QueueItem file = Get("/d/f");
        file.request.operation = Operation::Put;
        file.after = made;
        run.queue->Add(file);
        run.Run();
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.ResultOf(1).outcome.ok, mayFail);
        EXPECT_EQ(run.ResultOf(1).tries, mayFail ? 1 : 0);
        EXPECT_EQ(run.StartTimesOf("/d/f").size(), mayFail ? 1u : 0u);
    }
}

// Sessions silent on the items the whole run still waits for, another session idle, are given
// up well before the time-out, and their items go on on other sessions; while other work
// remains, with one session, on an item's last try, or where cutting would throw much away, the
// time-out decides as before.
TEST(TransferQueue, SilentSessionsHoldingUpTheRunAloneAreHandedOver)
{
    using Silence = FakeServer::Silence;
    constexpr int64_t kTimeOut = 30000;
    struct Row {
        const char* what;
        int sessions;
        // One letter per item, in the order they are taken: S is silent, as `silences` says.
        std::string items;
        int64_t transferMs;
        std::vector<Silence> silences;
        int tries; // of each silent item
        bool ok;
        bool endsBeforeTimeOut;
        int64_t retryNotBeforeMs = 0; // a silent item's second try
        bool lastResumed = false;
        Operation operation = Operation::Get;
        int64_t timeOutMs = kTimeOut;
    };
    constexpr Operation kGet = Operation::Get;
    constexpr Operation kPut = Operation::Put;
    const Row rows[]{
        {"last item, another idle", 2, "...S", 10, {{60000, 500}}, 2, true, true, 3000, true},
        {"two at the end, one idle", 3, "....SS", 10, {{60000, 500}}, 2, true, true, 3000, true},
        {"upload, little sent", 2, "...S", 10, {{60000, 1000}}, 2, true, true, 3000, false, kPut},
        // Not while another session still has items.
        {"others working", 2, "S.........", 2500, {{60000}}, 2, true, true, 9 * 2500},
        {"shorter than time-out", 2, "S.........", 2500, {{20000}}, 1, true, true},
        {"short", 2, "...S", 10, {{2000}}, 1, true, true},
        {"one session", 1, ".S", 10, {{60000}}, 2, true, false, kTimeOut},
        // Cut twice, then the item's last try keeps the whole time-out.
        {"every try", 4, "...S", 10, {{60000}, {60000}, {60000}}, 3, false, false, 3000},
        {"big upload", 2, ".S", 10, {{60000, 10 << 20}}, 2, true, false, kTimeOut, false, kPut},
        // A wait the session knows is long (a checksum).
        {"known long wait", 2, ".S", 10, {{20000, 0, true}}, 1, true, true},
        {"no time-out", 2, ".S", 10, {{20000}}, 1, true, true, 0, false, kGet, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QueueRun run({.maxSessions = row.sessions, .maxTries = 3, .firstRetryPauseMs = 1000});
        run.server.transferMs = row.transferMs;
        run.server.timeOutMs = row.timeOutMs;
        for (size_t i = 0; i < row.items.size(); ++i) {
            QueueItem item = Get("/f" + std::to_string(i));
            item.request.operation = row.operation;
            if (row.items[i] == 'S')
                run.server.silences[item.request.remotePath] = {row.silences.begin(),
                                                                row.silences.end()};
            run.queue->Add(item);
        }
        run.Run();
        ASSERT_TRUE(run.finished);
        ASSERT_EQ(run.queue->Results().size(), row.items.size());
        EXPECT_EQ(run.finishedAtMs < kTimeOut, row.endsBeforeTimeOut) << run.finishedAtMs;
        for (size_t i = 0; i < row.items.size(); ++i) {
            SCOPED_TRACE(i);
            if (row.items[i] != 'S') {
                EXPECT_TRUE(run.ResultOf(i).outcome.ok);
                continue;
            }
            EXPECT_EQ(run.ResultOf(i).outcome.ok, row.ok);
            EXPECT_EQ(run.ResultOf(i).tries, row.tries);
            const std::string path = "/f" + std::to_string(i);
            const std::vector<int64_t> times = run.StartTimesOf(path);
            ASSERT_EQ(times.size(), static_cast<size_t>(row.tries));
            if (row.tries > 1) {
                EXPECT_GE(times[1], row.retryNotBeforeMs);
            }
            const auto last = std::find_if(
                run.server.started.rbegin(), run.server.started.rend(),
                [&](const auto& started) { return started.request.remotePath == path; });
            EXPECT_EQ(last->request.resume, row.lastResumed);
        }
    }
    EXPECT_EQ(transfer::HandOverAfterMs(0), 0);
    EXPECT_EQ(transfer::HandOverAfterMs(2000), 2000);
    EXPECT_EQ(transfer::HandOverAfterMs(30000), 3000);
    EXPECT_EQ(transfer::HandOverAfterMs(60000), 6000);
}
