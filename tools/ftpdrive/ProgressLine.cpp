#include "tools/ftpdrive/ProgressLine.h"

#include <algorithm>
#include <cstdio>

namespace ftpdrive {

namespace {

constexpr int64_t kRedrawMs = 100;

} // namespace

std::string Bytes(double bytes)
{
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    size_t unit = 0;
    while (bytes >= 1000 && unit + 1 < std::size(units)) {
        bytes /= 1000;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f %s", bytes, units[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

std::string Duration(int64_t seconds)
{
    char text[32];
    if (seconds >= 3600)
        std::snprintf(
            text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
            static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    return text;
}

void ProgressLine::Update(const transfer::TreeProgress& progress, int64_t elapsedMs)
{
    if (!shown_ || elapsedMs - lastMs_ < kRedrawMs) return;
    lastMs_ = elapsedMs;
    const double seconds = std::max<int64_t>(elapsedMs, 1) / 1000.0;
    const double speed = progress.bytes / seconds;
    // A single file (get, put) has no count of files to tell.
    std::string line = progress.filesTotal == 0
                           ? Bytes(progress.bytes)
                           : "files " + std::to_string(progress.filesDone) + "/" +
                                 std::to_string(progress.filesTotal) + "  " + Bytes(progress.bytes);
    if (progress.bytesTotal > 0) {
        const int64_t percent = std::min<int64_t>(
            100, progress.bytes * 100 / std::max<int64_t>(progress.bytesTotal, 1));
        line += " of " + Bytes(progress.bytesTotal) + " (" + std::to_string(percent) + "%)";
    }
    line += "  " + Bytes(speed) + "/s";
    if (progress.bytesTotal > progress.bytes && speed > 0)
        line += "  " +
                Duration(static_cast<int64_t>((progress.bytesTotal - progress.bytes) / speed)) +
                " left";
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressLine::Clear()
{
    if (!drawn_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

} // namespace ftpdrive
