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

TEST(TransferText, FolderSummary)
{
    struct Row {
        size_t files, verified, skipped, failures, filesTotal;
        bool canceled;
        const char* text;
    };
    const Row rows[] = {
        {4, 0, 0, 0, 4, false, "Pasta transferida: 4 arquivos, 2,0 KB em 0:02"},
        {4, 4, 0, 0, 4, false, "Pasta transferida: 4 arquivos, 2,0 KB em 0:02 (verificado)"},
        {4, 1, 1, 1, 6, false,
         "Pasta transferida: 4 arquivos, 2,0 KB em 0:02, 1 pulado, 1 falha (1 verificado)"},
        {1, 1, 0, 0, 3, true,
         "Transferência da pasta cancelada: 1 de 3 arquivos, 2,0 KB em 0:02 (verificado)"},
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
