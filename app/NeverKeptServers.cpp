#include "app/NeverKeptServers.h"

#include "app/PrivateConfigFile.h"

namespace app {

namespace {

QString LineFor(const QString& host, int port)
{
    return host.trimmed().toLower() + u' ' + QString::number(port);
}

} // namespace

QString NeverKeptServers::DefaultPath() { return ConfigFilePath("servidores-sem-senha-guardada"); }

NeverKeptServers::NeverKeptServers(QString path) : path_(std::move(path)) {}

bool NeverKeptServers::Contains(const QString& host, int port) const
{
    return ReadConfigLines(path_).lines.contains(LineFor(host, port));
}

QString NeverKeptServers::Add(const QString& host, int port) const
{
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
