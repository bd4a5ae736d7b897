#pragma once
// The servers for which the user answered "Nunca para este servidor" to keeping a password: one
// line per server, "host port", in the file "servidores-sem-senha-guardada" beside the other
// settings, private to the user like them. Never a password.
#include "app/ServerListFile.h"

#include <QString>

namespace app {

class NeverKeptServers {
public:
    static QString DefaultPath();

    explicit NeverKeptServers(QString path = DefaultPath());

    bool Contains(const QString& host, int port) const;
    // Empty when done; otherwise why not, naming the file.
    QString Add(const QString& host, int port) const;

private:
    ServerListFile file_;
};

} // namespace app
