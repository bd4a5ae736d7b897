// Program start-up: the application object titled "Tavolen", the main window, the message loop.
//
// With TAVOLEN_SCREENSHOT=<file.png> in the environment the program saves what the screen shows
// of its window once it has been painted, and quits (scripts/screenshot uses it under a virtual
// X server, so the picture is what a person would see).
#include "app/Dialogs.h"
#include "app/Unit1.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

namespace {

void SaveScreenshotLater(TForm1& window, const QString& path)
{
    QTimer::singleShot(1000, &window, [&window, path] {
        QScreen* screen = window.screen();
        const QRect area = window.frameGeometry();
        const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        const bool saved = !shot.isNull() && shot.save(path, "PNG");
        if (!saved) std::fprintf(stderr, "could not save %s\n", qPrintable(path));
        QCoreApplication::exit(saved ? 0 : 1);
    });
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(app::kApplicationTitle));
    // The installed desktop entry and icon: desktops match the window to its menu entry by the
    // first, and the title bar and task bar show the second (none when it is not installed).
    QApplication::setDesktopFileName(QStringLiteral("tavolen"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tavolen")));
    QApplication::setFont(FormFont());

    TForm1 Form1;
    Form1.show();

    const QString screenshot = qEnvironmentVariable("TAVOLEN_SCREENSHOT");
    if (!screenshot.isEmpty()) SaveScreenshotLater(Form1, screenshot);

    const int status = application.exec();
    EnteredName.clear();
    return status;
}
