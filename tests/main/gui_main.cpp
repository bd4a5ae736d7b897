// Test entry for the window: real widgets on whatever platform QT_QPA_PLATFORM names.
#include <QApplication>
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tavolen");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
