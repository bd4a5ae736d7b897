#include "app/PrivateConfigFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace app {

namespace {

constexpr QFileDevice::Permissions kOwnerOnlyDirectory =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
constexpr QFileDevice::Permissions kOwnerOnlyFile =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner;

} // namespace

QString ConfigFilePath(const char* fileName)
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rule: a relative path there is to be ignored.
    if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + "/.config";
    return base + "/tavolen/" + QString::fromLatin1(fileName);
}

ConfigLines ReadConfigLines(const QString& path)
{
    ConfigLines read;
    QFile file(path);
    if (!file.exists()) return read;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        read.problem = file.errorString();
        return read;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        read.problem = file.errorString();
        return read;
    }
    read.lines = QString::fromUtf8(bytes).split(u'\n', Qt::SkipEmptyParts);
    return read;
}

QString WriteConfigLines(const QString& path, const QStringList& lines)
{
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory)) return QStringLiteral("cannot create ") + directory;
    // The program's own directory; one that an earlier version made readable by all becomes
    // private too.
    QFile::setPermissions(directory, kOwnerOnlyDirectory);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return file.errorString();
    // Before the first byte: the new file must never be readable by others, not even briefly.
    file.setPermissions(kOwnerOnlyFile);
    file.write((lines.join(u'\n') + u'\n').toUtf8());
    if (!file.commit()) return file.errorString();
    return {};
}

} // namespace app
