#pragma once
// What the window remembers of earlier logins, on its existing fields: the server field offers
// the servers logged in to before (RecentServers) as the user types; choosing one fills the port
// and the user, and the password when the system keyring keeps one (PasswordKeeper). After a
// login with a typed password the user is asked, once per server and user, whether to keep it
// there. A kept password that the server refuses is removed from the keyring.
//
// Without a keyring nothing is asked and nothing is kept; the keyring never holds up the window:
// its answers fill the fields when they come, and only if the user has not moved on meanwhile.
#include "app/NeverKeptServers.h"
#include "app/PasswordKeeper.h"
#include "app/RecentServers.h"

#include <QObject>
#include <QString>

#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <set>

class QCompleter;
class QLineEdit;
class QStringListModel;
class QWidget;

namespace app {

// A login the window is about to try, as its fields held it then.
struct LoginAttempt {
    QString server; // the server field's text
    QString host;
    int port = 0;
    QString user;
    QString password;
    bool anonymous = false;
    QString key;               // the keyring's name for it
    bool keptPassword = false; // the password is the one the keyring gave
};

class RememberedLogins : public QObject {
    Q_OBJECT

public:
    struct Fields {
        QLineEdit* server;
        QLineEdit* port;
        QLineEdit* user;
        QLineEdit* password;
    };
    // `window` parents the question; `busy` says whether a command runs, which a question waits
    // for. The files are those of the configuration directory unless given.
    RememberedLogins(QWidget* window, Fields fields, std::function<bool()> busy,
                     RecentServers recent = RecentServers(),
                     NeverKeptServers never = NeverKeptServers());

    PasswordKeeper& Keeper() { return *keeper_; }
    QCompleter* Completer() const { return completer_; }

    // The window logs in to `host` and `port` (as it read them from the fields) now.
    LoginAttempt Begin(const QString& host, int port, bool anonymous);
    void Succeeded(const LoginAttempt& attempt);
    // The login failed with `error`. When the server refused a password the keyring gave, the
    // password is removed from there, and `error` is thrown again with a sentence saying so.
    void Failed(const LoginAttempt& attempt, const std::exception& error);
    // The window's command has ended: a question that waited for it is asked now.
    void CommandEnded();

    static QString KeepQuestion(const LoginAttempt& attempt);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    // A keyring answer that filled the password field (tests and the status line wait on it).
    void PasswordFilled();

private:
    void Choose(const QString& server);
    void RefreshCompleter();
    void ConsiderKeeping(const LoginAttempt& attempt, const PasswordLookup& lookup);
    void Ask();

    QWidget* window_;
    Fields fields_;
    std::function<bool()> busy_;
    RecentServers recent_;
    NeverKeptServers never_;
    PasswordKeeper* keeper_;
    QCompleter* completer_;
    QStringListModel* servers_;
    // What the keyring last said of each login during this run.
    std::map<QString, PasswordLookup> lookups_;
    // Logins asked about during this run: "Agora não" holds until the next start.
    std::set<QString> asked_;
    std::optional<LoginAttempt> question_; // a question waiting for the command's end
};

} // namespace app
