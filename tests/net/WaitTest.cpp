// The one wait, with a clock the test moves: what ends it (a Cancel, the Cancel of the component
// it serves, the timer, its own deadline, the component's outer one), that it says which, and
// that it leaves the flags the operations read as they always were.
#include "net/Wait.h"
#include "net/Wirecore.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace {

Deadline::Clock::time_point fakeNow{};
Deadline::Clock::time_point FakeNow() { return fakeNow; }
void Advance(int ms) { fakeNow += std::chrono::milliseconds(ms); }

const char* Name(WaitEnd end)
{
    switch (end) {
    case WaitEnd::Ready: return "ready";
    case WaitEnd::Canceled: return "canceled";
    case WaitEnd::TimedOut: return "timed out";
    }
    return "?";
}

struct WaitRow {
    const char* name;
    // Prepares the socket, the component it serves, and the deadline (fake clock, 100 ms).
    std::function<void(TWirecore& socket, TWirecore& served, Deadline& deadline)> setUp;
    bool byTimer;
    std::string expected; // the end, then the socket's Canceled and TimedOut afterwards
};

TEST(Wait, EndsOnCancelOrDeadlineAndSaysWhich)
{
    const WaitRow rows[] = {
        {"nothing ends it", [](TWirecore&, TWirecore&, Deadline&) {}, true, "ready 0 0"},
        {"its own Cancel", [](TWirecore& s, TWirecore&, Deadline&) { s.Cancel(); }, false,
         "canceled 1 0"},
        {"the Cancel of the component it serves, taken over",
         [](TWirecore& s, TWirecore& served, Deadline&) {
             s.CanceledWith = &served;
             served.Cancel();
         },
         false, "canceled 1 0"},
        {"a Cancel elsewhere is no business of it",
         [](TWirecore&, TWirecore& served, Deadline&) { served.Cancel(); }, false, "ready 0 0"},
        {"the timer, where it bounds the wait",
         [](TWirecore& s, TWirecore&, Deadline&) { s.TimedOut = true; }, true, "timed out 0 1"},
        {"the timer's flag, where it does not",
         [](TWirecore& s, TWirecore&, Deadline&) { s.TimedOut = true; }, false, "ready 0 1"},
        {"a Cancel by the time-out says timed out",
         [](TWirecore& s, TWirecore&, Deadline&) {
             s.TimedOut = true;
             s.Cancel();
         },
         false, "timed out 1 1"},
        {"its deadline passed", [](TWirecore&, TWirecore&, Deadline&) { Advance(100); }, false,
         "timed out 0 1"},
        {"its deadline not yet passed", [](TWirecore&, TWirecore&, Deadline&) { Advance(99); },
         false, "ready 0 0"},
        {"progress starts the countdown again",
         [](TWirecore&, TWirecore&, Deadline& d) {
             Advance(99);
             d.Progress();
             Advance(99);
         },
         false, "ready 0 0"},
        {"the component's outer deadline passed",
         [](TWirecore& s, TWirecore&, Deadline&) {
             static Deadline outer;
             outer = Deadline::NoProgressFor(50, &FakeNow);
             s.OuterDeadline = &outer;
             Advance(60);
         },
         false, "timed out 0 1"},
        {"a speed floor whose bytes did not come in its time",
         [](TWirecore& s, TWirecore&, Deadline&) {
             static Deadline floor;
             floor = Deadline::SlowerThan(s.BytesReceived, 1000, 50, &FakeNow);
             s.OuterDeadline = &floor;
             s.BytesReceived += 999; // a byte a millisecond, but not quite
             Advance(50);
         },
         false, "timed out 0 1"},
        {"a speed floor starts again each time its bytes came",
         [](TWirecore& s, TWirecore&, Deadline& d) {
             static Deadline floor;
             floor = Deadline::SlowerThan(s.BytesSent, 1000, 50, &FakeNow);
             s.OuterDeadline = &floor;
             for (int i = 0; i < 4; ++i) {
                 Advance(40);
                 s.BytesSent += 1000;
                 d.Progress();     // the wait's own "no progress" bound moves
                 floor.Progress(); // but the floor counts only the bytes
                 EXPECT_EQ(floor.RemainingMs(), 50);
             }
             Advance(49);
         },
         false, "ready 0 0"},
    };
    for (const WaitRow& row : rows) {
        TWirecore socket(nullptr);
        TWirecore served(nullptr);
        Deadline deadline = Deadline::NoProgressFor(100, &FakeNow);
        row.setUp(socket, served, deadline);
        // No pass at all: only the verdict, so nothing here depends on the real time.
        const WaitEnd end =
            Wait(socket, {.pass = WaitPass::None, .byTimer = row.byTimer, .deadline = &deadline});
        const std::string seen = std::string(Name(end)) + " " + std::to_string(socket.Canceled) +
                                 " " + std::to_string(socket.TimedOut);
        EXPECT_EQ(seen, row.expected) << row.name;
    }
}

TEST(Wait, UnboundedDeadlinesNeverPass)
{
    for (int ms : {0, -5}) {
        Deadline deadline = Deadline::NoProgressFor(ms, &FakeNow);
        Advance(1000000);
        EXPECT_FALSE(deadline.Bounded());
        EXPECT_FALSE(deadline.Passed());
        EXPECT_EQ(deadline.RemainingMs(), -1);
    }
    Deadline bounded = Deadline::NoProgressFor(30, &FakeNow);
    Advance(10);
    EXPECT_EQ(bounded.RemainingMs(), 20);
}

// A wait that blocks sleeps until an event; a Cancel that comes as one (a button, a timer) ends it
// at once, and a wait with a condition goes on passing until the condition holds.
TEST(Wait, ABlockingWaitEndsOnTheEventThatCancelsIt)
{
    TWirecore socket(nullptr);
    QTimer::singleShot(0, [&] { socket.Cancel(); });
    EXPECT_EQ(Wait(socket, {}, [] { return false; }), WaitEnd::Canceled);

    TWirecore other(nullptr);
    bool done = false;
    int passes = 0;
    other.OnWaitPass = [&] { ++passes; };
    QTimer::singleShot(0, [&] { done = true; });
    EXPECT_EQ(Wait(other, {}, [&] { return done; }), WaitEnd::Ready);
    EXPECT_GT(passes, 0);
    // A condition that already holds costs no pass.
    passes = 0;
    EXPECT_EQ(Wait(other, {.pass = WaitPass::Now}, [] { return true; }), WaitEnd::Ready);
    EXPECT_EQ(passes, 0);
}

} // namespace
