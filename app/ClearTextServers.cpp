#include "app/ClearTextServers.h"

#include "app/PrivateConfigFile.h"

#include <QStringList>

namespace app {

namespace {

constexpr const char* kFileName = "servidores-sem-criptografia";

QString LineFor(const QString& host, int port)
{
    return host.trimmed().toLower() + u' ' + QString::number(port);
}

} // namespace

QString ClearTextServers::DefaultPath() { return ConfigFilePath(kFileName); }

ClearTextServers::ClearTextServers(QString path) : path_(std::move(path)) {}

bool ClearTextServers::Allowed(const QString& host, int port) const
{
    return ReadConfigLines(path_).lines.contains(LineFor(host, port));
}

QString ClearTextServers::Allow(const QString& host, int port) const
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
