// Whether the window's session outlives a server's idle limit: the real TForm1 on whatever
// platform QT_QPA_PLATFORM names (offscreen by default) connects the way a user does, is left
// alone with its event loop running (so its keep-alive runs as it would on a desk), and then
// lists its directory.
//
//   bench_window_idle --port N [--host H] [--user U] [--password P] IDLE_SECONDS NAME
//
// Prints one line:
//
//   idle_seconds=S connected=0|1 disconnected_at=T|- listed=0|1 ok=0|1 [error=TEXT]
//
// connected: the component still holds its session after the idle time; disconnected_at: when,
// in seconds from the connect, the status line first said "Desconectado" (- never); listed: the
// "Listar Arquivos" that follows shows a line naming NAME (a file in the directory the session
// starts in). ok is all three as they should be. Exits 0 when ok.
#include "app/LogView.h"
#include "app/Unit1.h"
#include "window_driver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Options {
    benchwindow::Login login;
    double idleSeconds = 0;
    QString name;
};

[[noreturn]] void Usage()
{
    std::fputs("usage: bench_window_idle --port N [--host H] [--user U] [--password P] "
               "IDLE_SECONDS NAME\n",
               stderr);
    std::exit(2);
}

Options Parse(int argc, char** argv)
{
    Options o;
    const int i = benchwindow::ParseLogin(argc, argv, o.login, Usage);
    if (argc - i != 2) Usage();
    bool number = false;
    o.idleSeconds = QString::fromLocal8Bit(argv[i]).toDouble(&number);
    if (!number || o.idleSeconds < 0) Usage();
    o.name = QString::fromLocal8Bit(argv[i + 1]);
    return o;
}

// Any modal box means a command failed or asked something: note its text and close it.

bool LogNames(const TLogView* memo, const QString& name)
{
    for (qsizetype row = 0; row < memo->LineCount(); ++row)
        if (memo->Line(row).contains(name)) return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Nobody is there to answer whether to keep the password in the user's keyring.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    const Options options = Parse(argc, argv);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavolen"));
    QApplication::setFont(FormFont());
    QApplication::setQuitOnLastWindowClosed(false);

    TForm1 form;
    form.show();
    benchwindow::BoxCloser boxes;
    QElapsedTimer clock;
    double disconnectedAt = -1;
    QObject::connect(form.StatusBar1, &QStatusBar::messageChanged, [&](const QString& text) {
        if (disconnectedAt < 0 && text == QStringLiteral("Desconectado"))
            disconnectedAt = clock.nsecsElapsed() / 1e9;
    });

    benchwindow::FillIn(form, options.login);
    clock.start();
    form.Button3->click(); // Conectar
    if (!form.VaskFTP1->Connected || !boxes.seen.isEmpty()) {
        std::fprintf(stderr, "connect failed: %s\n", qPrintable(boxes.seen));
        return 1;
    }
    std::printf("connected\n");
    std::fflush(stdout);

    // Idle: nothing but the event loop, as for a window nobody touches.
    QEventLoop idle;
    QTimer::singleShot(static_cast<int>(options.idleSeconds * 1000), &idle, &QEventLoop::quit);
    idle.exec();
    const bool connected = form.VaskFTP1->Connected;

    form.Memo1->setPlainText(QString());
    form.Button5->click(); // Listar Arquivos
    QElapsedTimer wait;
    wait.start();
    // The log may still be catching up when the click has returned.
    while (!LogNames(form.Memo1, options.name) && boxes.seen.isEmpty() && wait.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::AllEvents, 100);
    const bool listed = LogNames(form.Memo1, options.name) && boxes.seen.isEmpty();
    const bool ok = connected && disconnectedAt < 0 && listed;

    std::printf("idle_seconds=%.1f connected=%d disconnected_at=", options.idleSeconds,
                connected ? 1 : 0);
    if (disconnectedAt < 0)
        std::printf("-");
    else
        std::printf("%.1f", disconnectedAt);
    std::printf(" listed=%d ok=%d", listed ? 1 : 0, ok ? 1 : 0);
    if (!boxes.seen.isEmpty())
        std::printf(" error=%s", boxes.seen.simplified().toLocal8Bit().constData());
    std::printf("\n");
    std::fflush(stdout);
    form.Button1->click(); // Desconectar
    return ok ? 0 : 1;
}
