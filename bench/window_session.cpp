// The window's own paths, timed: the real TForm1 on whatever platform QT_QPA_PLATFORM names
// (offscreen by default), its fields filled and its buttons clicked the way a user would.
//
//   bench_window_session --port N [--host H] [--user U] [--password P] download REMOTE LOCAL
//   bench_window_session --port N [--host H] [--user U] [--password P] list DIRECTORY LINES
//
// H is what the server field holds, a URL too ("ftpes://127.0.0.1"); a certificate that does not
// verify must then be in the trust file under XDG_CONFIG_HOME, as nobody is there to answer.
//
// Set-up (not timed): "Conectar" (which logs in and lists the start directory); for `list` also
// "Mudar Diretório" into DIRECTORY (which lists it once). Then the program prints "ready" and
// waits on standard input; every line "run" times one command and answers with one line:
//
//   download  "Dowload" clicked, until the click returns (the file is complete and closed)
//   list      "Listar Arquivos" clicked, until Memo1 holds LINES lines
//
//   seconds=S cpu=C gap_ms=G gap_end_ms=E shown=N statuses=M lines=L ok=1|0 [error=TEXT]
//
// cpu is the CPU time (user + system) the program used meanwhile.
// gap_ms is the longest stretch in which the event loop ran no pass (a 2 ms timer measures it):
// what a user clicking meanwhile would have waited at worst; gap_end_ms when it ended. statuses
// counts the status texts set, shown the distinct progress texts that were on the status line when
// the event loop ran, i.e. that a user could have seen. A line "quit" or the end of the input ends
// the program.
#include "app/LogView.h"
#include "app/Unit1.h"
#include "window_driver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QStatusBar>
#include <QTimer>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

struct Options {
    benchwindow::Login login;
    std::string mode;
    QString first, second;
};

[[noreturn]] void Usage()
{
    std::fputs("usage: bench_window_session --port N [--host H] [--user U] [--password P]\n"
               "                            download REMOTE LOCAL | list DIRECTORY LINES\n",
               stderr);
    std::exit(2);
}

Options Parse(int argc, char** argv)
{
    Options o;
    const int i = benchwindow::ParseLogin(argc, argv, o.login, Usage);
    if (argc - i != 3) Usage();
    o.mode = argv[i];
    if (o.mode != "download" && o.mode != "list") Usage();
    o.first = QString::fromLocal8Bit(argv[i + 1]);
    o.second = QString::fromLocal8Bit(argv[i + 2]);
    return o;
}

// Watches the event loop while a command runs: the longest time between two passes, and which
// progress texts the status line showed at those passes.
class Responsiveness {
public:
    explicit Responsiveness(QStatusBar* bar) : bar_(bar)
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
        QObject::connect(bar_, &QStatusBar::messageChanged, [this] { ++statuses; });
    }
    void Start()
    {
        maxGapNs = 0;
        maxGapEndNs = 0;
        statuses = 0;
        shown.clear();
        clock_.start();
        last_ = 0;
        timer_.start();
    }
    void Stop()
    {
        timer_.stop();
        Tick();
    }
    qint64 maxGapNs = 0;
    qint64 maxGapEndNs = 0; // when the longest gap ended, from the start
    int statuses = 0;
    QSet<QString> shown;

private:
    void Tick()
    {
        const qint64 now = clock_.nsecsElapsed();
        if (now - last_ > maxGapNs) {
            maxGapNs = now - last_;
            maxGapEndNs = now;
        }
        last_ = now;
        const QString text = bar_->currentMessage();
        if (text.startsWith(QStringLiteral("Recebidos "))) shown.insert(text);
    }
    QStatusBar* bar_;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void Answer(double seconds, double cpu, const Responsiveness& probe, int lines, bool ok,
            const QString& error)
{
    std::printf("seconds=%.6f cpu=%.3f gap_ms=%.1f gap_end_ms=%.1f shown=%lld statuses=%d "
                "lines=%d ok=%d",
                seconds, cpu, probe.maxGapNs / 1e6, probe.maxGapEndNs / 1e6,
                static_cast<long long>(probe.shown.size()), probe.statuses, lines, ok ? 1 : 0);
    if (!error.isEmpty()) std::printf(" error=%s", error.simplified().toLocal8Bit().constData());
    std::printf("\n");
    std::fflush(stdout);
}

// The number of lines the log holds (an empty log is one empty block).
int LogLines(const TLogView* memo) { return static_cast<int>(memo->LineCount()); }

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
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 200) QApplication::processEvents(QEventLoop::AllEvents, 20);

    benchwindow::BoxCloser boxes;
    benchwindow::FillIn(form, options.login);
    form.Button3->click();
    // A box during the connect is a question nobody answers here (an unknown certificate: the
    // trust file must name it) or an error.
    if (!form.VaskFTP1->Connected || !boxes.seen.isEmpty()) {
        std::fprintf(stderr, "connect failed: %s\n", qPrintable(boxes.seen));
        return 1;
    }
    // An encrypted session must be encrypted through and through, or the figures mean nothing.
    const bool tlsAsked = options.login.host.startsWith(QStringLiteral("ftpes://")) ||
                          options.login.host.startsWith(QStringLiteral("ftps://"));
    if (tlsAsked && !(form.VaskFTP1->TlsActive() && form.VaskFTP1->DataProtected())) {
        std::fprintf(stderr, "the session is not encrypted\n");
        return 1;
    }
    const bool download = options.mode == "download";
    int expectedLines = 0;
    if (download) {
        form.Edit1->setText(options.first);
        form.Edit2->setText(options.second);
    } else {
        expectedLines = options.second.toInt();
        form.Edit3->setText(options.first);
        form.Button6->click();
        if (!boxes.seen.isEmpty()) {
            std::fprintf(stderr, "change of directory failed: %s\n", qPrintable(boxes.seen));
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);

    Responsiveness probe(form.StatusBar1);
    std::string command;
    while (std::getline(std::cin, command) && command == "run") {
        boxes.seen.clear();
        QElapsedTimer clock;
        const double cpuBefore = CpuSeconds();
        probe.Start();
        clock.start();
        bool ok = false;
        int lines = 0;
        if (download) {
            form.Button2->click();
            ok = boxes.seen.isEmpty() && form.StatusBar1->currentMessage() ==
                                             QStringLiteral("Donload do arquivo Concluido");
        } else {
            form.Button5->click();
            // The log may still be catching up when the command has returned.
            while (LogLines(form.Memo1) < expectedLines && boxes.seen.isEmpty() &&
                   clock.elapsed() < 600000)
                QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            lines = LogLines(form.Memo1);
            ok = boxes.seen.isEmpty() && lines == expectedLines;
        }
        const double seconds = clock.nsecsElapsed() / 1e9;
        const double cpu = CpuSeconds() - cpuBefore;
        probe.Stop();
        Answer(seconds, cpu, probe, lines, ok, boxes.seen);
    }
    form.Button1->click(); // Desconectar
    return 0;
}
