#pragma once
// The speed of a running transfer as the window shows it: what moved over the last few seconds,
// not since the start, so that a transfer that stalls falls to nothing at once and one that picks
// up shows it; and how long nothing has moved. Time spent waiting for the user (a question left
// open) counts for neither. Times are milliseconds of one clock, given by the caller.
#include <cstdint>
#include <deque>

namespace app {

// What the title says about the pace of a transfer.
struct TransferPace {
    double bytesPerSecond = -1; // below 0: too early to tell
    int64_t silentMs = 0;       // since the last byte moved
    int64_t activeMs = 0;       // since the start, the user's waits left out
};

class TransferRate {
public:
    // The speed is taken over this much of the recent past.
    static constexpr int64_t kWindowMs = 3000;

    void Start(int64_t nowMs);
    // `bytes` have moved so far. A count that goes down is a transfer started again (a resume
    // counts from its own start): the speed is taken afresh from there.
    void Note(int64_t bytes, int64_t nowMs);
    // The clock stops while the user is asked something, and goes on when the answer is in.
    void Pause(int64_t nowMs);
    void Resume(int64_t nowMs);
    TransferPace Pace(int64_t nowMs) const;

private:
    struct Sample {
        int64_t at;    // active milliseconds
        int64_t bytes; // moved by then
    };
    int64_t Active(int64_t nowMs) const;
    void Trim(int64_t activeNow);

    int64_t start_ = 0;
    int64_t paused_ = 0;         // milliseconds spent in earlier pauses
    int64_t pausedSince_ = -1;   // below 0: not paused
    std::deque<Sample> samples_; // at most one every kSampleMs, the oldest before the window
    Sample latest_{0, 0};
    int64_t lastMoved_ = 0; // active milliseconds when the count last grew
};

} // namespace app
