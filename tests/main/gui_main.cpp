// Test entry for the window: real widgets on whatever platform QT_QPA_PLATFORM names.
#include <QApplication>
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    // CTest lists the test cases by running this program without the tests' environment, and
    // there is no display then: headless unless the caller chose a platform.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tavolen");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
