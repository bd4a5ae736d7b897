#pragma once
// The one wait of the components. Every blocking operation of TWirecore and TVaskFTP that has to
// wait for the network (a connection, a line, room in the socket, a file's next block, a peer
// that connects to us, a TLS handshake) goes round its own loop and, whenever it cannot go on at
// once, calls Wait: it runs the event loop, and it alone decides whether the wait is over because
// of a Cancel or a deadline, and says which. Besides the application's main loop, nothing else in
// the program runs the event loop.
//
// What ends a wait on a component:
//  * Cancel on it, or on the component named in its CanceledWith (a data connection ends with
//    the Cancel of the FTP component it serves), which then counts as a Cancel on it too;
//  * its time-out timer (StartTimer), for the waits the timer bounds as a whole: connect, host
//    lookup, ReadLn and SendBuffer, the TLS handshake;
//  * a Deadline: "no progress for TimeOut milliseconds", for the waits that move data (files in
//    both directions, listings): every block moved starts the countdown again;
//  * the component's OuterDeadline, which bounds all its waits while it is set: the replies a
//    session still owes and QUIT's (every line read is progress), the server's connection to
//    an active data connection.
#include <chrono>
#include <cstdint>
#include <functional>

class TWirecore;

// Why a wait ended: it may go on (Ready), or it is over.
enum class WaitEnd { Ready, Canceled, TimedOut };

// "No progress for a number of milliseconds." A value the waiting loop owns and passes to Wait;
// progress is one read of the clock, so a transfer pays nothing per block for its time-out.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;
    // Where the time comes from: the steady clock, or a test's own.
    using Now = Clock::time_point (*)();

    // Unbounded.
    Deadline() = default;
    // 0 or less: unbounded, as TimeOut 0 means everywhere.
    static Deadline NoProgressFor(int32_t ms, Now now = &Clock::now);
    // "Fewer than `bytes` counted in `ms` milliseconds": a floor under a transfer's speed. The
    // counter (a connection's bytes received or sent, which must outlive the deadline) is read
    // whenever the deadline is looked at; each time it has grown by `bytes` since the countdown
    // began, the countdown starts again. No bytes or no time: unbounded.
    static Deadline SlowerThan(const int64_t& counter, int64_t bytes, int32_t ms,
                               Now now = &Clock::now);

    // Progress was made: the countdown starts again from now. (A speed floor counts its bytes.)
    void Progress()
    {
        if (ms_ > 0 && !counter_) last_ = now_();
    }
    bool Bounded() const { return ms_ > 0; }
    bool Passed() const { return RemainingMs() == 0; }
    // Milliseconds until it passes (0 once it has); -1 when unbounded.
    int RemainingMs() const;

private:
    int32_t ms_ = 0;
    Now now_ = &Clock::now;
    // Moved when a speed floor's counter shows its bytes, which may be found by any look.
    mutable Clock::time_point last_{};
    const int64_t* counter_ = nullptr;
    int64_t bytes_ = 0;
    mutable int64_t counted_ = 0; // the counter when the countdown began
};

// What one call of Wait does in the event loop.
enum class WaitPass {
    Block, // nothing can be done now: sleep until the next event or the deadline
    IfDue, // bytes are moving: a quick pass only when the last one lies a few milliseconds back
    Now,   // a quick pass now, without sleeping
    None,  // no pass: only whether the wait is already over (a Cancel that came before it)
};

struct WaitBounds {
    WaitPass pass = WaitPass::Block;
    // The component's time-out timer (its TimedOut flag) ends this wait.
    bool byTimer = false;
    // Ends the wait when it passes; the component's TimedOut is then set. Null: none.
    const Deadline* deadline = nullptr;
};

// The one function that runs the event loop for a wait. Checks Cancel and the bounds, takes one
// pass (or, with `until`, passes until it holds), checks them again, and says why it stopped. A
// wait that is already over before the pass takes none.
WaitEnd Wait(TWirecore& socket, const WaitBounds& bounds,
             const std::function<bool()>& until = nullptr);
