// Test entry for the non-visual layers: the components need an event loop to wait on.
#include <QCoreApplication>
#include <gtest/gtest.h>

#include "TestTimeZone.h"

#include <csignal>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    testmain::UseTestTimeZone();
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
