// Test entry for the window: real widgets on whatever platform QT_QPA_PLATFORM names.
#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "TestTimeZone.h"

#include <csignal>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    // CTest lists the test cases by running this program without the tests' environment, and
    // there is no display then: headless unless the caller chose a platform.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window keeps the servers the user trusts in the configuration directory; the tests'
    // answers must neither come from the user's own files nor end up in them.
    QTemporaryDir config;
    if (!qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    // Likewise the user's keyring: the window's tests see none unless a test runs on a keyring
    // of its own (tests/keyring), in a D-Bus session made for it.
    if (!qEnvironmentVariableIsSet("TAVOLEN_TEST_KEYRING")) qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    testmain::UseTestTimeZone();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tavolen");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
