#pragma once
// How a running transfer and a finished folder are worded for the user: the window title while
// bytes move ("Tavolen — 42% · 11,3 MB/s · 0:35"), the count of files in the status line, and the
// summary at the end. Numbers are written the Brazilian way, with a decimal comma.
#include "app/TransferRate.h"
#include "queue/TreeTransfer.h"

#include <QString>

#include <cstdint>

namespace app {

// Powers of 1000: 1536 -> "1,5 kB", 3145728 -> "3,1 MB"; below a kilobyte, whole bytes
// ("512 B").
QString ByteAmount(double bytes);
// Seconds as "0:35", "12:05", "1:02:03".
QString ClockTime(int64_t seconds);

// A transfer with nothing moving for this long says so in the title instead of a speed.
inline constexpr int64_t kSilenceShownMs = 3000;

// The title while a transfer runs: the percent when the total is known (else the bytes so far),
// then the recent speed and the time left once there is a speed to tell, or how long the server
// has been silent. `total` below 0: unknown.
QString ProgressTitle(int64_t bytes, int64_t total, const TransferPace& pace);

// "3 de 10 arquivos concluídos"
QString FolderProgressText(const transfer::TreeProgress& progress);
// "Pasta transferida: 10 arquivos, 1,2 MB em 0:03, 2 pulados, 1 falha"
QString FolderSummaryText(const transfer::TreeSummary& summary, size_t filesTotal);

} // namespace app
