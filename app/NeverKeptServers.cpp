#include "app/NeverKeptServers.h"

#include "app/PrivateConfigFile.h"

namespace app {

QString NeverKeptServers::DefaultPath() { return ConfigFilePath("servidores-sem-senha-guardada"); }

NeverKeptServers::NeverKeptServers(QString path) : file_(std::move(path)) {}

bool NeverKeptServers::Contains(const QString& host, int port) const
{
    return file_.Contains(host, port);
}

QString NeverKeptServers::Add(const QString& host, int port) const { return file_.Add(host, port); }

} // namespace app
