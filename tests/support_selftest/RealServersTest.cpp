#include "support/RealServers.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

// Under CI a missing server must fail the test, never skip it quietly.
TEST(RealServers, RequireFailsInsteadOfSkippingUnderCi)
{
    const char* old = std::getenv("CI");
    std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("CI", "true", 1);
    EXPECT_FATAL_FAILURE(TAVOLEN_REQUIRE(false, "some server"), "CI=true forbids skipping");
    if (saved)
        ::setenv("CI", saved->c_str(), 1);
    else
        ::unsetenv("CI");
}
