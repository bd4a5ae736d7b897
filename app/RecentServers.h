#pragma once
// The servers the user logged in to, most recent first, for the completer of the server field:
// one line per server, "server<TAB>port<TAB>user", in the file "servidores-recentes" of the
// program's configuration directory (0600 in a 0700 directory, like the trusted certificates).
// The server is the field's text as typed (a URL form keeps its scheme); the user of an anonymous
// login is "anonymous". Never a password: those live in the system keyring alone.
//
// A line that is not such an entry is skipped on reading; a file that cannot be read is never
// replaced (Remember says why instead), so that what it held is not lost.
#include <QString>

#include <optional>
#include <vector>

namespace app {

struct RecentServer {
    QString server;
    QString port;
    QString user;
    bool operator==(const RecentServer&) const = default;
};

class RecentServers {
public:
    static constexpr int kMaximum = 20;
    static QString DefaultPath();

    explicit RecentServers(QString path = DefaultPath());
    const QString& Path() const { return path_; }

    // What the file holds, most recent first, at most kMaximum.
    std::vector<RecentServer> Read() const;
    // The entry for `server` (compared without regard to case), if there is one.
    std::optional<RecentServer> Find(const QString& server) const;
    // Puts `entry` first, in place of the earlier entry of its server, and keeps the newest
    // kMaximum. Empty when done; otherwise why not, naming the file. An entry that would not
    // read back as itself (an empty server, a tab or line end in a field) is not kept.
    QString Remember(const RecentServer& entry) const;

private:
    QString path_;
};

} // namespace app
