#pragma once
// A set of servers kept in a file of the user's own settings: one line per server, "host port",
// the host in lower case. Private to the user like the other settings; it never holds a password.
#include <QString>

namespace app {

class ServerListFile {
public:
    explicit ServerListFile(QString path) : path_(std::move(path)) {}
    const QString& Path() const { return path_; }

    bool Contains(const QString& host, int port) const;
    // Empty when done (or already there); otherwise why not, naming the file.
    QString Add(const QString& host, int port) const;

private:
    QString path_;
};

} // namespace app
