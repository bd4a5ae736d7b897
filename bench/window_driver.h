#pragma once
// What the programs that drive the real window share: the log-in options of their command lines,
// the filling-in of the window's fields, and a closer for the message boxes nobody is there to
// answer.
#include "app/Unit1.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstring>

namespace benchwindow {

struct Login {
    QString host = QStringLiteral("127.0.0.1");
    QString port;
    QString user = QStringLiteral("anonymous");
    QString password = QStringLiteral("bench@example.com");
};

// Reads the leading "--host H", "--port N", "--user U" and "--password P" options into `login`
// and returns the index of the first other argument; calls `usage` for any other option, or
// when no port is given.
inline int ParseLogin(int argc, char** argv, Login& login, void (*usage)())
{
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        const QString value = QString::fromLocal8Bit(argv[i + 1]);
        if (!std::strcmp(argv[i], "--host"))
            login.host = value;
        else if (!std::strcmp(argv[i], "--port"))
            login.port = value;
        else if (!std::strcmp(argv[i], "--user"))
            login.user = value;
        else if (!std::strcmp(argv[i], "--password"))
            login.password = value;
        else
            usage();
    }
    if (login.port.isEmpty()) usage();
    return i;
}

// Fills in the window's server, port, user and password as a user types them.
inline void FillIn(TForm1& form, const Login& login)
{
    form.servidor->setText(login.host);
    form.portas->setText(login.port);
    form.Edit5->setText(login.user);
    form.Edit6->setText(login.password);
}

// Any modal box means the command failed (an error box) or asked something: its text is noted
// and it is closed, so that the click returns and the run is reported as failed.
class BoxCloser {
public:
    QString seen;
    BoxCloser()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box->property("closed").toBool()) return;
            box->setProperty("closed", true);
            if (seen.isEmpty()) seen = box->text();
            box->buttons().first()->click();
        });
        timer_.start(50);
    }

private:
    QTimer timer_;
};

} // namespace benchwindow
