#include "app/RememberedLogins.h"

#include "app/Dialogs.h"
#include "app/ServerAddress.h"
#include "platform/Exception.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringListModel>
#include <QTimer>
#include <QWidget>

namespace app {

namespace {

const QString kAnonymous = QStringLiteral("anonymous");

// "530 Not logged in": the server refused the user or the password, not the session.
bool LoginRefused(const std::exception& error)
{
    return ReasonOf(error) == ErrorReason::ServerRefused &&
           std::string_view(error.what()).substr(0, 3) == "530";
}

} // namespace

RememberedLogins::RememberedLogins(QWidget* window, Fields fields, std::function<bool()> busy,
                                   RecentServers recent, NeverKeptServers never)
    : QObject(window), window_(window), fields_(fields), busy_(std::move(busy)),
      recent_(std::move(recent)), never_(std::move(never)), keeper_(new PasswordKeeper(this)),
      completer_(new QCompleter(this)), servers_(new QStringListModel(this))
{
    setObjectName(QStringLiteral("RememberedLogins"));
    completer_->setModel(servers_);
    completer_->setCaseSensitivity(Qt::CaseInsensitive);
    // Most recent first, as the file has them.
    completer_->setModelSorting(QCompleter::UnsortedModel);
    fields_.server->setCompleter(completer_);
    connect(completer_, qOverload<const QString&>(&QCompleter::activated), this,
            [this](const QString& server) { Choose(server); });
    // Enter in the list would reach the server field too, where it connects: before the keyring
    // could fill the password. The list takes it alone.
    completer_->popup()->installEventFilter(this);
    RefreshCompleter();
}

bool RememberedLogins::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != completer_->popup() || event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    const QModelIndex current = completer_->popup()->currentIndex();
    if ((key != Qt::Key_Return && key != Qt::Key_Enter) || !current.isValid()) return false;
    const QString server = current.data(completer_->completionRole()).toString();
    completer_->popup()->hide();
    fields_.server->setText(server);
    Choose(server);
    return true;
}

void RememberedLogins::RefreshCompleter()
{
    QStringList servers;
    for (const RecentServer& entry : recent_.Read()) servers << entry.server;
    servers_->setStringList(servers);
}

void RememberedLogins::Choose(const QString& server)
{
    const std::optional<RecentServer> entry = recent_.Find(server);
    if (!entry) return;
    fields_.port->setText(entry->port);
    fields_.user->setText(entry->user);
    fields_.password->clear();
    if (entry->user == kAnonymous) return;
    const ServerAddress address = ParseServerAddress(entry->server);
    const QString key = PasswordKeeper::KeyFor(entry->user, address.host,
                                               address.port.value_or(entry->port).toInt());
    keeper_->Read(key, [this, key, chosen = *entry](const PasswordLookup& lookup) {
        lookups_[key] = lookup;
        if (lookup.state != KeptPassword::Found) return;
        // The user may have gone on to another server, or typed a password, meanwhile.
        const bool unchanged = fields_.server->text().trimmed() == chosen.server &&
                               fields_.user->text() == chosen.user &&
                               fields_.port->text() == chosen.port &&
                               fields_.password->text().isEmpty();
        if (!unchanged) return;
        fields_.password->setText(lookup.password);
        emit PasswordFilled();
    });
}

LoginAttempt RememberedLogins::Begin(const QString& host, int port, bool anonymous)
{
    LoginAttempt attempt;
    attempt.server = fields_.server->text().trimmed();
    attempt.host = host;
    attempt.port = port;
    attempt.anonymous = anonymous;
    attempt.user = anonymous ? kAnonymous : fields_.user->text();
    if (anonymous) return attempt;
    attempt.password = fields_.password->text();
    attempt.key = PasswordKeeper::KeyFor(attempt.user, host, port);
    const auto known = lookups_.find(attempt.key);
    attempt.keptPassword = known != lookups_.end() && known->second.state == KeptPassword::Found &&
                           !attempt.password.isEmpty() &&
                           known->second.password == attempt.password;
    return attempt;
}

void RememberedLogins::Succeeded(const LoginAttempt& attempt)
{
    // A failure to write the list costs the user nothing but the suggestion; the login stands.
    (void)recent_.Remember({attempt.server, QString::number(attempt.port), attempt.user});
    RefreshCompleter();
    if (attempt.anonymous || attempt.password.isEmpty() || attempt.keptPassword) return;
    if (keeper_->State() == PasswordKeeper::Service::Absent) return;
    const auto known = lookups_.find(attempt.key);
    if (known != lookups_.end()) return ConsiderKeeping(attempt, known->second);
    keeper_->Read(attempt.key, [this, attempt](const PasswordLookup& lookup) {
        lookups_[attempt.key] = lookup;
        ConsiderKeeping(attempt, lookup);
    });
}

void RememberedLogins::ConsiderKeeping(const LoginAttempt& attempt, const PasswordLookup& lookup)
{
    if (keeper_->State() != PasswordKeeper::Service::Present) return;
    // A locked or failing keyring may hold a password all the same: nothing is offered that
    // would overwrite it.
    if (lookup.state == KeptPassword::Unknown) return;
    if (lookup.state == KeptPassword::Found && lookup.password == attempt.password) return;
    if (asked_.count(attempt.key) || never_.Contains(attempt.host, attempt.port)) return;
    question_ = attempt;
    if (!busy_()) QTimer::singleShot(0, this, [this] { Ask(); });
}

void RememberedLogins::CommandEnded()
{
    if (question_) QTimer::singleShot(0, this, [this] { Ask(); });
}

QString RememberedLogins::KeepQuestion(const LoginAttempt& attempt)
{
    return QStringLiteral("Guardar a senha de %1 em %2 no chaveiro do sistema?\n\nEla será "
                          "preenchida quando você escolher este servidor de novo. O Tavolen não "
                          "grava senhas em arquivo nenhum.")
        .arg(attempt.user, attempt.host + u':' + QString::number(attempt.port));
}

void RememberedLogins::Ask()
{
    if (!question_ || busy_() || !window_->isVisible()) return;
    const LoginAttempt attempt = std::move(*question_);
    question_.reset();
    if (!asked_.insert(attempt.key).second) return;

    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kApplicationTitle),
                    KeepQuestion(attempt), QMessageBox::NoButton, window_);
    box.setObjectName(QStringLiteral("KeepPasswordBox"));
    // The user and server names are the user's text: never read as markup.
    box.setTextFormat(Qt::PlainText);
    QPushButton* keep = box.addButton(QStringLiteral("Guardar"), QMessageBox::AcceptRole);
    QPushButton* notNow = box.addButton(QStringLiteral("Agora não"), QMessageBox::RejectRole);
    QPushButton* never =
        box.addButton(QStringLiteral("Nunca para este servidor"), QMessageBox::DestructiveRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(notNow);
    box.exec();

    if (box.clickedButton() == never) {
        const QString problem = never_.Add(attempt.host, attempt.port);
        if (!problem.isEmpty()) ShowMessage(window_, problem);
        return;
    }
    if (box.clickedButton() != keep) return;
    keeper_->Write(attempt.key, attempt.password, [this, attempt](const QString& problem) {
        if (problem.isEmpty()) {
            lookups_[attempt.key] = {KeptPassword::Found, attempt.password, {}};
            return;
        }
        ShowMessage(window_,
                    QStringLiteral("A senha não foi guardada no chaveiro do sistema: ") + problem);
    });
}

void RememberedLogins::Failed(const LoginAttempt& attempt, const std::exception& error)
{
    if (!attempt.keptPassword || !LoginRefused(error)) return;
    lookups_[attempt.key] = {KeptPassword::None, {}, {}};
    asked_.erase(attempt.key); // a new password that works may be kept in its place
    keeper_->Remove(attempt.key);
    if (fields_.password->text() == attempt.password) fields_.password->clear();
    throw WindowError(ErrorMessageText(error).trimmed() +
                          QStringLiteral("\n\nA senha guardada no chaveiro do sistema para %1 em "
                                         "%2 foi recusada pelo servidor e apagada do chaveiro.")
                              .arg(attempt.user, attempt.host),
                      ErrorReason::ServerRefused);
}

} // namespace app
