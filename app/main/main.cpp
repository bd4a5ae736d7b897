// Program start-up: the application object titled "Tavolen", the main window, the message loop.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tavolen");
    QWidget window;
    window.setWindowTitle("Tavolen");
    window.show();
    return app.exec();
}
