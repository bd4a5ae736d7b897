#pragma once
// The one line on a terminal that tells how a tree transfer goes: files done of the total, bytes,
// percent, speed and time left. Drawn over itself on standard error at most ten times a second,
// and wiped before anything else is written.
#include "queue/TreeTransfer.h"

#include <cstdint>
#include <string>

namespace ftpdrive {

// "1.5 MB", "820 B": powers of 1000, one decimal.
std::string Bytes(double bytes);
// "0:35", "1:02:03".
std::string Duration(int64_t seconds);

class ProgressLine {
public:
    explicit ProgressLine(bool shown) : shown_(shown) {}
    // `nowMs` from the run's clock; redraws only when 100 ms have passed since the last time. A
    // progress of no files at all is that of a single file: its bytes alone.
    void Update(const transfer::TreeProgress& progress, int64_t elapsedMs);
    void Clear();

private:
    bool shown_;
    bool drawn_ = false;
    int64_t lastMs_ = -1000;
};

} // namespace ftpdrive
