#pragma once
// Passwords in the system keyring (the Secret Service over D-Bus), and nowhere else: no file of
// the program ever holds one, plain or encoded, and without a keyring nothing is kept.
//
// Every call answers later, through its callback on the event loop, never before it returns:
// a keyring may take its time (a missing Secret Service makes each job wait 25 s for D-Bus to
// give up), and the window must not wait for it. So the service is looked for on the bus first,
// once, without waiting either; until it is found every call answers Unknown.
//
// A locked keyring answers a read with "not found", which must not pass for "nothing kept": the
// password may be there, and writing a new one would be asked of a keyring that cannot take it.
// A "not found" is therefore checked against the keyring's own list of locked items and its
// default collection before it is believed.
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

namespace app {

enum class KeptPassword {
    Found,   // `password` holds it
    None,    // the keyring is open and holds none for this login
    Unknown, // no keyring, a locked one, or it failed: nothing can be said (`problem` says why)
};

struct PasswordLookup {
    KeptPassword state = KeptPassword::Unknown;
    QString password;
    QString problem;
};

class PasswordKeeper : public QObject {
    Q_OBJECT

public:
    // `service` names the program's entries in the keyring.
    explicit PasswordKeeper(QObject* parent = nullptr, QString service = QStringLiteral("tavolen"));
    ~PasswordKeeper() override;

    enum class Service { Looking, Present, Absent };
    Service State() const { return service_; }

    // The keyring's name for a login: one entry per user, host and port.
    static QString KeyFor(const QString& user, const QString& host, int port);

    void Read(const QString& key, std::function<void(const PasswordLookup&)> done);
    // `done` gets an empty text when the keyring took the password, else why not.
    void Write(const QString& key, const QString& password,
               std::function<void(const QString& problem)> done);
    void Remove(const QString& key, std::function<void(const QString& problem)> done = {});

signals:
    // The search for the Secret Service has ended (State() says how).
    void ServiceKnown();

private:
    void LookForService();
    void Settle(Service state);
    // Runs `call` once the service is known; at once (posted) when it is already.
    void WhenKnown(std::function<void()> call);
    void CheckNotFound(const QString& key, std::function<void(const PasswordLookup&)> done);
    void Answer(std::function<void()> call);

    QString serviceName_;
    Service service_ = Service::Looking;
    std::vector<std::function<void()>> waiting_;
};

} // namespace app
