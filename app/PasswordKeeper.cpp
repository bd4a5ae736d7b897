#include "app/PasswordKeeper.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QMap>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace app {

namespace {

const QString kSecrets = QStringLiteral("org.freedesktop.secrets");
const QString kServicePath = QStringLiteral("/org/freedesktop/secrets");
const QString kServiceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QString kCollectionInterface = QStringLiteral("org.freedesktop.Secret.Collection");
const QString kDefaultCollection = QStringLiteral("/org/freedesktop/secrets/aliases/default");
// A bus answers at once; one that does not within this long is as good as none.
constexpr int kBusTimeOutMs = 5000;

using Attributes = QMap<QString, QString>;

// Sends `message` and hands its reply (or error) to `done`, unless `context` is gone by then.
void Call(QObject* context, const QDBusMessage& message,
          std::function<void(const QDBusMessage&)> done)
{
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(message, kBusTimeOutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         done(finished->reply());
                     });
}

bool Failed(const QDBusMessage& reply) { return reply.type() != QDBusMessage::ReplyMessage; }

PasswordLookup Unknown(const QString& problem) { return {KeptPassword::Unknown, {}, problem}; }

} // namespace

PasswordKeeper::PasswordKeeper(QObject* parent, QString service)
    : QObject(parent), serviceName_(std::move(service))
{
    LookForService();
}

PasswordKeeper::~PasswordKeeper() = default;

QString PasswordKeeper::KeyFor(const QString& user, const QString& host, int port)
{
    return user + u'@' + host.trimmed().toLower() + u':' + QString::number(port);
}

void PasswordKeeper::LookForService()
{
    // Without a session bus address the bus library would try to start a bus of its own, which
    // no keyring would be on; a desktop session always names its bus.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return Settle(Service::Absent);
    if (!QDBusConnection::sessionBus().isConnected()) return Settle(Service::Absent);
    // A service that is not running is not started for us: one that D-Bus could only activate
    // has no unlocked keyring to give, and would ask for one.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << kSecrets;
    Call(this, ask, [this](const QDBusMessage& reply) {
        const bool present = !Failed(reply) && reply.arguments().value(0).toBool();
        Settle(present ? Service::Present : Service::Absent);
    });
}

void PasswordKeeper::Settle(Service state)
{
    service_ = state;
    std::vector<std::function<void()>> waiting;
    waiting.swap(waiting_);
    for (auto& call : waiting) call();
    emit ServiceKnown();
}

void PasswordKeeper::WhenKnown(std::function<void()> call)
{
    if (service_ == Service::Looking) return waiting_.push_back(std::move(call));
    QTimer::singleShot(0, this, std::move(call));
}

void PasswordKeeper::Read(const QString& key, std::function<void(const PasswordLookup&)> done)
{
    WhenKnown([this, key, done = std::move(done)] {
        if (service_ != Service::Present)
            return done(Unknown(QStringLiteral("não há chaveiro do sistema")));
        // Not a child of this object: the keyring library calls back into the job whenever it
        // answers, so the job lives until then and deletes itself; only the answer is dropped
        // when nobody is left to take it.
        auto* job = new QKeychain::ReadPasswordJob(serviceName_);
        job->setKey(key);
        connect(job, &QKeychain::Job::finished, this, [this, key, done](QKeychain::Job* finished) {
            const auto* read = static_cast<QKeychain::ReadPasswordJob*>(finished);
            if (finished->error() == QKeychain::NoError)
                return done({KeptPassword::Found, read->textData(), {}});
            if (finished->error() == QKeychain::EntryNotFound) return CheckNotFound(key, done);
            done(Unknown(finished->errorString()));
        });
        job->start();
    });
}

void PasswordKeeper::CheckNotFound(const QString& key,
                                   std::function<void(const PasswordLookup&)> done)
{
    static const QMetaType registered = qDBusRegisterMetaType<Attributes>();
    (void)registered;
    // The attributes the keyring library files an entry under: the service and the key.
    QDBusMessage search = QDBusMessage::createMethodCall(kSecrets, kServicePath, kServiceInterface,
                                                         QStringLiteral("SearchItems"));
    search << QVariant::fromValue(
        Attributes{{QStringLiteral("server"), serviceName_}, {QStringLiteral("user"), key}});
    Call(this, search, [this, done](const QDBusMessage& found) {
        if (Failed(found)) return done(Unknown(found.errorMessage()));
        const auto locked =
            qdbus_cast<QList<QDBusObjectPath>>(found.arguments().value(1).value<QDBusArgument>());
        if (!locked.isEmpty()) return done(Unknown(QStringLiteral("o chaveiro está trancado")));
        // Nothing found may still be a locked collection that shows nothing of itself; and a
        // password to be kept goes to the default one, which must be open to take it.
        QDBusMessage get = QDBusMessage::createMethodCall(
            kSecrets, kDefaultCollection, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get << kCollectionInterface << QStringLiteral("Locked");
        Call(this, get, [done](const QDBusMessage& property) {
            if (Failed(property))
                return done(Unknown(QStringLiteral("o chaveiro não tem coleção padrão")));
            const bool isLocked =
                property.arguments().value(0).value<QDBusVariant>().variant().toBool();
            if (isLocked) return done(Unknown(QStringLiteral("o chaveiro está trancado")));
            done({KeptPassword::None, {}, {}});
        });
    });
}

void PasswordKeeper::Write(const QString& key, const QString& password,
                           std::function<void(const QString&)> done)
{
    WhenKnown([this, key, password, done = std::move(done)] {
        if (service_ != Service::Present) return done(QStringLiteral("não há chaveiro do sistema"));
        auto* job = new QKeychain::WritePasswordJob(serviceName_);
        job->setKey(key);
        job->setTextData(password);
        connect(job, &QKeychain::Job::finished, this, [done](QKeychain::Job* finished) {
            done(finished->error() == QKeychain::NoError ? QString() : finished->errorString());
        });
        job->start();
    });
}

void PasswordKeeper::Remove(const QString& key, std::function<void(const QString&)> done)
{
    WhenKnown([this, key, done = std::move(done)] {
        if (service_ != Service::Present) {
            if (done) done(QStringLiteral("não há chaveiro do sistema"));
            return;
        }
        auto* job = new QKeychain::DeletePasswordJob(serviceName_);
        job->setKey(key);
        connect(job, &QKeychain::Job::finished, this, [done](QKeychain::Job* finished) {
            if (done)
                done(finished->error() == QKeychain::NoError ? QString() : finished->errorString());
        });
        job->start();
    });
}

} // namespace app
