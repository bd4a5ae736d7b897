#include "app/ServerListFile.h"

#include "app/PrivateConfigFile.h"

#include <QStringList>

namespace app {

namespace {

QString LineFor(const QString& host, int port)
{
    return host.trimmed().toLower() + u' ' + QString::number(port);
}

} // namespace

bool ServerListFile::Contains(const QString& host, int port) const
{
    return ReadConfigLines(path_).lines.contains(LineFor(host, port));
}

QString ServerListFile::Add(const QString& host, int port) const
{
    // A blank inside would make a line of three fields, read back as no server at all.
    if (host.trimmed().isEmpty() || host.trimmed().contains(u' '))
        return QStringLiteral("not a host name: ") + host;
    ConfigLines read = ReadConfigLines(path_);
    if (!read.problem.isEmpty()) return path_ + QStringLiteral(": ") + read.problem;
    const QString line = LineFor(host, port);
    if (read.lines.contains(line)) return {};
    read.lines << line;
    const QString problem = WriteConfigLines(path_, read.lines);
    return problem.isEmpty() ? problem : path_ + QStringLiteral(": ") + problem;
}

} // namespace app
