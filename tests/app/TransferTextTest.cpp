// How a running transfer reads in the window title.
#include "app/TransferText.h"

#include <gtest/gtest.h>

namespace {

TEST(TransferText, TitleWhileBytesMove)
{
    struct Row {
        int64_t bytes, total, elapsedMs;
        const char* title;
    };
    const Row rows[] = {
        // Percent, speed with a decimal comma, time left rounded up.
        {42 * 1024 * 1024, 100 * 1024 * 1024, 4000, "Tavolen — 42% · 10,5 MB/s · 0:06"},
        // Too early for a speed.
        {1000, 4000, 50, "Tavolen — 25%"},
        // Nothing moved yet: no speed, whatever the time.
        {0, 4000, 5000, "Tavolen — 0%"},
        // An unknown total: the bytes so far, no time left.
        {1536, -1, 1000, "Tavolen — 1,5 KB · 1,5 KB/s"},
        {512, 0, 1000, "Tavolen — 512 B · 512 B/s"},
        // More than the size said (a file that grew): never above 100%, no time left.
        {5000, 4000, 1000, "Tavolen — 100% · 4,9 KB/s"},
        // Hours.
        {1024, 4 * 1024 * 1024, 1000, "Tavolen — 0% · 1,0 KB/s · 1:08:15"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(app::ProgressTitle(row.bytes, row.total, row.elapsedMs).toStdString(), row.title);
}

} // namespace
