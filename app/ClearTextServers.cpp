#include "app/ClearTextServers.h"

#include "app/PrivateConfigFile.h"

namespace app {

QString ClearTextServers::DefaultPath() { return ConfigFilePath("servidores-sem-criptografia"); }

ClearTextServers::ClearTextServers(QString path) : file_(std::move(path)) {}

bool ClearTextServers::Allowed(const QString& host, int port) const
{
    return file_.Contains(host, port);
}

QString ClearTextServers::Allow(const QString& host, int port) const
{
    return file_.Add(host, port);
}

} // namespace app
