#include "app/TransferText.h"

#include "app/Dialogs.h"

#include <algorithm>
#include <iterator>

namespace app {

namespace {

// One decimal, with a comma.
QString OneDecimal(double value) { return QString::number(value, 'f', 1).replace(u'.', u','); }

// "1 arquivo", "2 arquivos".
QString Count(size_t count, const QString& one, const QString& many)
{
    return QString::number(count) + u' ' + (count == 1 ? one : many);
}

} // namespace

QString ByteAmount(double bytes)
{
    // Powers of 1000, as ftpdrive counts them too: the same folder reads the same everywhere.
    static const char* const kUnits[] = {"kB", "MB", "GB", "TB"};
    if (bytes < 1000) return QString::number(static_cast<int64_t>(bytes)) + QStringLiteral(" B");
    double value = bytes / 1000;
    size_t unit = 0;
    while (value >= 1000 && unit + 1 < std::size(kUnits)) {
        value /= 1000;
        ++unit;
    }
    return OneDecimal(value) + u' ' + QString::fromLatin1(kUnits[unit]);
}

QString ClockTime(int64_t seconds)
{
    if (seconds < 0) seconds = 0;
    const auto twoDigits = [](int64_t value) {
        return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
    };
    const int64_t hours = seconds / 3600;
    const int64_t minutes = seconds / 60 % 60;
    if (hours > 0)
        return QString::number(hours) + u':' + twoDigits(minutes) + u':' + twoDigits(seconds % 60);
    return QString::number(minutes) + u':' + twoDigits(seconds % 60);
}

QString ProgressTitle(int64_t bytes, int64_t total, const TransferPace& pace)
{
    QString title = QString::fromLatin1(kApplicationTitle) + QStringLiteral(" — ");
    const bool known = total > 0;
    if (known)
        title += QString::number(std::min<int64_t>(100, bytes * 100 / total)) + u'%';
    else
        title += ByteAmount(static_cast<double>(bytes));
    if (pace.silentMs >= kSilenceShownMs)
        return title + QStringLiteral(" · sem resposta há ") +
               QString::number(pace.silentMs / 1000) + QStringLiteral(" s");
    if (pace.bytesPerSecond < 0 || bytes <= 0) return title;
    title += QStringLiteral(" · ") + ByteAmount(pace.bytesPerSecond) + QStringLiteral("/s");
    // Nothing moves just now: no time can be told.
    if (known && bytes <= total && pace.bytesPerSecond > 0) {
        const double left = static_cast<double>(total - bytes) / pace.bytesPerSecond;
        title += QStringLiteral(" · ") + ClockTime(static_cast<int64_t>(left + 0.999));
    }
    return title;
}

QString FolderProgressText(const transfer::TreeProgress& progress)
{
    return QString::number(progress.filesDone) + QStringLiteral(" de ") +
           Count(progress.filesTotal, QStringLiteral("arquivo concluído"),
                 QStringLiteral("arquivos concluídos"));
}

QString FolderSummaryText(const transfer::TreeSummary& summary, size_t filesTotal)
{
    // Stopped before anything was to move (the question about existing files declined).
    if (summary.canceled && filesTotal == 0)
        return QStringLiteral("Transferência da pasta cancelada");
    QString text = summary.canceled ? QStringLiteral("Transferência da pasta cancelada: ")
                                    : QStringLiteral("Pasta transferida: ");
    if (summary.canceled)
        text += QString::number(summary.files) + QStringLiteral(" de ") +
                Count(filesTotal, QStringLiteral("arquivo"), QStringLiteral("arquivos"));
    else
        text += Count(summary.files, QStringLiteral("arquivo"), QStringLiteral("arquivos"));
    text += QStringLiteral(", ") + ByteAmount(static_cast<double>(summary.bytes)) +
            QStringLiteral(" em ") + ClockTime((summary.elapsedMs + 999) / 1000);
    if (summary.skipped > 0)
        text += QStringLiteral(", ") +
                Count(summary.skipped, QStringLiteral("pulado"), QStringLiteral("pulados"));
    if (!summary.failures.empty())
        text += QStringLiteral(", ") +
                Count(summary.failures.size(), QStringLiteral("falha"), QStringLiteral("falhas"));
    // Every file confirmed by the server's checksum, or how many were.
    if (summary.verified > 0 && summary.verified == summary.files)
        text += QStringLiteral(" (verificado)");
    else if (summary.verified > 0)
        text +=
            QStringLiteral(" (") +
            Count(summary.verified, QStringLiteral("verificado"), QStringLiteral("verificados")) +
            u')';
    return text;
}

} // namespace app
