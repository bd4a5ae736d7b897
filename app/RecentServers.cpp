#include "app/RecentServers.h"

#include "app/PrivateConfigFile.h"

#include <QStringList>

namespace app {

namespace {

constexpr const char* kFileName = "servidores-recentes";
constexpr char16_t kSeparator = u'\t';

bool Storable(const QString& field)
{
    return !field.contains(kSeparator) && !field.contains(u'\n') && !field.contains(u'\r');
}

std::optional<RecentServer> Parse(const QString& line)
{
    const QStringList fields = line.split(kSeparator);
    if (fields.size() != 3 || fields[0].isEmpty()) return std::nullopt;
    return RecentServer{fields[0], fields[1], fields[2]};
}

bool SameServer(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

QString RecentServers::DefaultPath() { return ConfigFilePath(kFileName); }

RecentServers::RecentServers(QString path) : path_(std::move(path)) {}

std::vector<RecentServer> RecentServers::Read() const
{
    std::vector<RecentServer> entries;
    for (const QString& line : ReadConfigLines(path_).lines) {
        std::optional<RecentServer> entry = Parse(line);
        if (!entry) continue;
        const bool seen = std::any_of(entries.begin(), entries.end(), [&](const RecentServer& e) {
            return SameServer(e.server, entry->server);
        });
        if (!seen) entries.push_back(std::move(*entry));
        if (entries.size() == kMaximum) break;
    }
    return entries;
}

std::optional<RecentServer> RecentServers::Find(const QString& server) const
{
    for (RecentServer& entry : Read())
        if (SameServer(entry.server, server.trimmed())) return std::move(entry);
    return std::nullopt;
}

QString RecentServers::Remember(const RecentServer& given) const
{
    RecentServer entry{given.server.trimmed(), given.port.trimmed(), given.user};
    if (entry.server.isEmpty() || !Storable(entry.server) || !Storable(entry.port) ||
        !Storable(entry.user))
        return QStringLiteral("not kept: ") + given.server;
    const ConfigLines read = ReadConfigLines(path_);
    if (!read.problem.isEmpty()) return path_ + QStringLiteral(": ") + read.problem;
    QStringList lines{entry.server + kSeparator + entry.port + kSeparator + entry.user};
    for (const QString& line : read.lines) {
        if (lines.size() == kMaximum) break;
        const std::optional<RecentServer> old = Parse(line);
        if (old && !SameServer(old->server, entry.server)) lines << line;
    }
    const QString problem = WriteConfigLines(path_, lines);
    return problem.isEmpty() ? problem : path_ + QStringLiteral(": ") + problem;
}

} // namespace app
