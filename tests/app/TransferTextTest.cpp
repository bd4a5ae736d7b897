// How a running transfer reads in the window title.
#include "app/TransferText.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(TransferText, TitleWhileBytesMove)
{
    struct Row {
        int64_t bytes, total;
        double perSecond; // below 0: too early to tell
        int64_t silentMs;
        const char* title;
    };
    const Row rows[] = {
        // Percent, speed with a decimal comma, time left rounded up.
        {42000000, 100000000, 10500000, 0, "Tavolen — 42% · 10,5 MB/s · 0:06"},
        // Too early for a speed.
        {1000, 4000, -1, 0, "Tavolen — 25%"},
        // Nothing moved yet: no speed.
        {0, 4000, 0, 0, "Tavolen — 0%"},
        // An unknown total: the bytes so far, no time left.
        {1536, -1, 1536, 0, "Tavolen — 1,5 kB · 1,5 kB/s"},
        {512, 0, 512, 0, "Tavolen — 512 B · 512 B/s"},
        // More than the size said (a file that grew): never above 100%, no time left.
        {5000, 4000, 5000, 0, "Tavolen — 100% · 5,0 kB/s"},
        // Hours.
        {1024, 4 * 1024 * 1024, 1024, 0, "Tavolen — 0% · 1,0 kB/s · 1:08:15"},
        // Nothing moving just now: the speed is nothing and no time left can be told.
        {1000, 4000, 0, 1000, "Tavolen — 25% · 0 B/s"},
        // Silent for a few seconds: said instead of a speed.
        {1000, 4000, 0, 5400, "Tavolen — 25% · sem resposta há 5 s"},
        {1536, -1, 0, 3000, "Tavolen — 1,5 kB · sem resposta há 3 s"},
    };
    for (const Row& row : rows) {
        app::TransferPace pace;
        pace.bytesPerSecond = row.perSecond;
        pace.silentMs = row.silentMs;
        EXPECT_EQ(app::ProgressTitle(row.bytes, row.total, pace).toStdString(), row.title);
    }
}

// The pace is taken over the last few seconds, and the time a question was open is no part of it.
TEST(TransferText, PaceIsRecentAndLeavesOutTheUsersWaits)
{
    struct Event {
        enum { Note, Pause, Resume } what;
        int64_t at, bytes;
    };
    struct Row {
        const char* why;
        std::vector<Event> events;
        int64_t now;
        double perSecond;
        int64_t silentMs, activeMs;
    };
    const auto steady = [](int64_t from, int64_t to, int64_t bytesPerSecond, int64_t base) {
        std::vector<Event> events;
        for (int64_t at = from; at <= to; at += 50)
            events.push_back({Event::Note, at, base + (at - from) * bytesPerSecond / 1000});
        return events;
    };
    const auto join = [](std::vector<Event> a, const std::vector<Event>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Row rows[] = {
        {"a steady transfer", steady(0, 10000, 1000000, 0), 10000, 1000000, 0, 10000},
        {"a stall falls to nothing once the window has passed", steady(0, 10000, 1000000, 0), 14000,
         0, 4000, 14000},
        {"a transfer that picks up shows the new speed",
         join(steady(0, 10000, 100000, 0), steady(10050, 20000, 2000000, 1000000)), 20000, 2000000,
         0, 20000},
        {"too early for a speed", steady(0, 100, 1000000, 0), 100, -1, 0, 100},
        {"a question open for ten seconds is left out",
         join(join(steady(0, 4000, 1000000, 0),
                   {{Event::Pause, 4000, 0}, {Event::Resume, 14000, 0}}),
              steady(14000, 16000, 1000000, 4000000)),
         16000, 1000000, 0, 6000},
        {"a count that starts again (a resume) is a fresh start",
         join(steady(0, 5000, 1000000, 0), steady(5050, 6000, 1000000, 0)), 6000, 1000000, 0, 6000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        app::TransferRate rate;
        rate.Start(0);
        for (const Event& event : row.events) {
            if (event.what == Event::Note) rate.Note(event.bytes, event.at);
            if (event.what == Event::Pause) rate.Pause(event.at);
            if (event.what == Event::Resume) rate.Resume(event.at);
        }
        const app::TransferPace pace = rate.Pace(row.now);
        EXPECT_NEAR(pace.bytesPerSecond, row.perSecond, row.perSecond > 0 ? row.perSecond / 20 : 0);
        EXPECT_EQ(pace.silentMs, row.silentMs);
        EXPECT_EQ(pace.activeMs, row.activeMs);
    }
}

TEST(TransferText, FolderSummary)
{
    struct Row {
        size_t files, verified, skipped, failures, filesTotal;
        bool canceled;
        const char* text;
    };
    const Row rows[] = {
        {4, 0, 0, 0, 4, false, "Pasta transferida: 4 arquivos, 2,0 kB em 0:02"},
        {4, 4, 0, 0, 4, false, "Pasta transferida: 4 arquivos, 2,0 kB em 0:02 (verificado)"},
        {4, 1, 1, 1, 6, false,
         "Pasta transferida: 4 arquivos, 2,0 kB em 0:02, 1 pulado, 1 falha (1 verificado)"},
        {1, 1, 0, 0, 3, true,
         "Transferência da pasta cancelada: 1 de 3 arquivos, 2,0 kB em 0:02 (verificado)"},
        {0, 0, 0, 0, 0, true, "Transferência da pasta cancelada"},
    };
    for (const Row& row : rows) {
        transfer::TreeSummary summary;
        summary.files = row.files;
        summary.verified = row.verified;
        summary.skipped = row.skipped;
        summary.failures.assign(row.failures, "a: b");
        summary.canceled = row.canceled;
        summary.bytes = 2048;
        summary.elapsedMs = 1500;
        EXPECT_EQ(app::FolderSummaryText(summary, row.filesTotal).toStdString(), row.text);
    }
}

} // namespace
