#include "app/TrustedCertificates.h"

#include "net/Certificate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
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

QStringList LinesOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace

QString TrustedCertificates::DefaultPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rule: a relative path there is to be ignored.
    if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + "/.config";
    return base + "/tavolen/" + kFileName;
}

TrustedCertificates::TrustedCertificates(QString path) : path_(std::move(path)) {}

std::vector<std::string> TrustedCertificates::FingerprintsFor(const QString& host, int port) const
{
    std::vector<std::string> fingerprints;
    for (const QString& line : LinesOf(path_)) {
        const std::optional<Entry> entry = EntryOf(line);
        if (entry && entry->host == HostKey(host) && entry->port == port)
            fingerprints.push_back(entry->fingerprint);
    }
    return fingerprints;
}

bool TrustedCertificates::Trust(const QString& host, int port, const std::string& fingerprint) const
{
    const std::optional<std::string> canonical = CanonicalFingerprint(fingerprint);
    const QString key = HostKey(host);
    if (!canonical || key.isEmpty() || key.contains(u' ')) return false;
    QStringList kept;
    for (const QString& line : LinesOf(path_)) {
        const std::optional<Entry> entry = EntryOf(line);
        if (entry && entry->host == key && entry->port == port) continue;
        kept << line;
    }
    kept << key + u' ' + QString::number(port) + u' ' + QString::fromStdString(*canonical);

    if (!QDir().mkpath(QFileInfo(path_).absolutePath())) return false;
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
    file.write((kept.join(u'\n') + u'\n').toUtf8());
    return file.commit();
}

} // namespace app
