#pragma once
// The servers for which the user said not to be asked again before logging in without
// encryption: one line per server, "host port", in the file "servidores-sem-criptografia" beside
// the trusted certificates, private to the user like that file.
#include "app/ServerListFile.h"

#include <QString>

namespace app {

class ClearTextServers {
public:
    static QString DefaultPath();

    explicit ClearTextServers(QString path = DefaultPath());
    const QString& Path() const { return file_.Path(); }

    // Whether the user agreed for good to log in to host and port in clear.
    bool Allowed(const QString& host, int port) const;
    // Remembers that agreement. Empty when done; otherwise why not, naming the file.
    QString Allow(const QString& host, int port) const;

private:
    ServerListFile file_;
};

} // namespace app
