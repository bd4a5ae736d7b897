#include "app/TransferRate.h"

namespace app {

namespace {

// Blocks arrive every few microseconds at loopback speed; a sample every tenth of a second is
// enough for a speed over seconds.
constexpr int64_t kSampleMs = 100;
// A speed over less than this says nothing yet.
constexpr int64_t kShortestMs = 200;

} // namespace

void TransferRate::Start(int64_t nowMs)
{
    *this = TransferRate();
    start_ = nowMs;
    samples_.push_back({0, 0});
}

int64_t TransferRate::Active(int64_t nowMs) const
{
    const int64_t until = pausedSince_ >= 0 ? pausedSince_ : nowMs;
    return until - start_ - paused_;
}

void TransferRate::Note(int64_t bytes, int64_t nowMs)
{
    const int64_t at = Active(nowMs);
    if (bytes < latest_.bytes) {
        samples_.clear();
        samples_.push_back({at, bytes});
        lastMoved_ = at;
    } else if (bytes > latest_.bytes) {
        lastMoved_ = at;
    }
    latest_ = {at, bytes};
    if (samples_.empty() || at - samples_.back().at >= kSampleMs) samples_.push_back(latest_);
    Trim(at);
}

void TransferRate::Trim(int64_t activeNow)
{
    // The newest sample that is at least a window old stays as the base of the speed.
    while (samples_.size() > 1 && samples_[1].at <= activeNow - kWindowMs) samples_.pop_front();
}

void TransferRate::Pause(int64_t nowMs)
{
    if (pausedSince_ < 0) pausedSince_ = nowMs;
}

void TransferRate::Resume(int64_t nowMs)
{
    if (pausedSince_ < 0) return;
    paused_ += nowMs - pausedSince_;
    pausedSince_ = -1;
}

TransferPace TransferRate::Pace(int64_t nowMs) const
{
    TransferPace pace;
    pace.activeMs = Active(nowMs);
    pace.silentMs = pace.activeMs - lastMoved_;
    // The base: the newest sample at least a window old, else the oldest there is.
    const Sample* base = samples_.empty() ? &latest_ : &samples_.front();
    for (const Sample& sample : samples_) {
        if (sample.at > pace.activeMs - kWindowMs) break;
        base = &sample;
    }
    const int64_t span = pace.activeMs - base->at;
    if (span >= kShortestMs && latest_.bytes > 0)
        pace.bytesPerSecond =
            static_cast<double>(latest_.bytes - base->bytes) * 1000 / static_cast<double>(span);
    return pace;
}

} // namespace app
