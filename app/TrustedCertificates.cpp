#include "app/TrustedCertificates.h"

#include "app/PrivateConfigFile.h"
#include "net/Certificate.h"

#include <QStringList>

#include <optional>

namespace app {

namespace {

constexpr const char* kFileName = "certificados-confiaveis";

struct Entry {
    QString host;
    int port = 0;
    std::string fingerprint;
};

// Host names are not case-sensitive; the file keeps them in lower case.
QString HostKey(const QString& host) { return host.trimmed().toLower(); }

std::optional<Entry> EntryOf(const QString& line)
{
    const QStringList fields = line.split(u' ', Qt::SkipEmptyParts);
    if (fields.size() != 3) return std::nullopt;
    bool number = false;
    const int port = fields[1].toInt(&number);
    if (!number || port < 1 || port > 65535) return std::nullopt;
    const std::optional<std::string> fingerprint = CanonicalFingerprint(fields[2].toStdString());
    if (!fingerprint) return std::nullopt;
    return Entry{HostKey(fields[0]), port, *fingerprint};
}

} // namespace

QString TrustedCertificates::DefaultPath() { return ConfigFilePath(kFileName); }

TrustedCertificates::TrustedCertificates(QString path) : path_(std::move(path)) {}

std::vector<std::string> TrustedCertificates::FingerprintsFor(const QString& host, int port) const
{
    std::vector<std::string> fingerprints;
    for (const QString& line : ReadConfigLines(path_).lines) {
        const std::optional<Entry> entry = EntryOf(line);
        if (entry && entry->host == HostKey(host) && entry->port == port)
            fingerprints.push_back(entry->fingerprint);
    }
    return fingerprints;
}

QString TrustedCertificates::Trust(const QString& host, int port,
                                   const std::string& fingerprint) const
{
    const std::optional<std::string> canonical = CanonicalFingerprint(fingerprint);
    const QString key = HostKey(host);
    if (!canonical) return QStringLiteral("not a SHA-256 fingerprint");
    if (key.isEmpty() || key.contains(u' ')) return QStringLiteral("not a host name: ") + host;
    const ConfigLines read = ReadConfigLines(path_);
    if (!read.problem.isEmpty()) return path_ + QStringLiteral(": ") + read.problem;

    const QString newLine =
        key + u' ' + QString::number(port) + u' ' + QString::fromStdString(*canonical);
    QStringList lines;
    bool placed = false;
    for (qsizetype i = 0; i < read.lines.size(); ++i) {
        const std::optional<Entry> entry = EntryOf(read.lines[i]);
        if (!entry)
            return path_ + QStringLiteral(", line ") + QString::number(i + 1) +
                   QStringLiteral(": not \"host port fingerprint\"; the file was left as it is");
        if (entry->host != key || entry->port != port) {
            lines << read.lines[i];
        } else if (!placed) {
            lines << newLine;
            placed = true;
        }
    }
    if (!placed) lines << newLine;
    const QString problem = WriteConfigLines(path_, lines);
    return problem.isEmpty() ? problem : path_ + QStringLiteral(": ") + problem;
}

} // namespace app
