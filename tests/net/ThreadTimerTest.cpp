#include "support/EventLoop.h"
#include "support/Loopback.h"

#include "net/ThreadTimer.h"
#include "platform/ApplicationErrors.h"
#include "platform/Exception.h"

#include <gtest/gtest.h>

namespace {

// The countdown is observed through the time it has left: with a 10 s interval, a countdown that
// was restarted a moment ago has clearly more left than one that kept running for 100 ms.
constexpr uint32_t kLongInterval = 10000;
constexpr int kRestartedAtLeast = kLongInterval - 50;

TThreadTimer* RunningLongTimer(TComponent* owner)
{
    auto* timer = new TThreadTimer(owner);
    timer->SetInterval(kLongInterval);
    timer->SetOnTimer([](TComponent*) {});
    testsupport::PumpFor(100);
    return timer;
}

} // namespace

TEST(ThreadTimer, RunsOnlyWithAHandlerAndAnInterval)
{
    TThreadTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_FALSE(timer.Running()); // no handler yet
    int ticks = 0;
    timer.SetInterval(0);
    timer.SetOnTimer([&](TComponent*) { ++ticks; });
    EXPECT_FALSE(timer.Running());
    testsupport::PumpFor(50);
    EXPECT_EQ(ticks, 0);
}

TEST(ThreadTimer, OnlyEffectiveChangesRestartTheCountdown)
{
    TComponent owner(nullptr);
    TThreadTimer* timer = RunningLongTimer(&owner);
    timer->SetEnabled(true);
    timer->SetInterval(kLongInterval);
    EXPECT_LT(timer->RemainingMs(), kRestartedAtLeast);

    timer->SetEnabled(false);
    EXPECT_FALSE(timer->Running());
    timer->SetEnabled(true);
    EXPECT_GE(timer->RemainingMs(), kRestartedAtLeast);

    testsupport::PumpFor(100);
    timer->SetInterval(kLongInterval + 1000);
    EXPECT_GE(timer->RemainingMs(), kLongInterval + 1000 - 50);

    testsupport::PumpFor(100);
    timer->SetOnTimer(timer->OnTimer()); // the same handler again still restarts
    EXPECT_GE(timer->RemainingMs(), kLongInterval + 1000 - 50);
}

TEST(ThreadTimer, HandlerThatDisablesStopsFurtherTicks)
{
    TThreadTimer timer(nullptr);
    int ticks = 0;
    timer.SetInterval(5);
    timer.SetOnTimer([&](TComponent* sender) {
        ++ticks;
        EXPECT_EQ(sender, &timer);
        timer.SetEnabled(false);
    });
    ASSERT_TRUE(testsupport::PumpUntil([&] { return ticks > 0; }));
    testsupport::PumpFor(60);
    EXPECT_EQ(ticks, 1);
}

TEST(ThreadTimer, HandlerExceptionGoesToApplicationHandling)
{
    std::string shown;
    platform::SetApplicationExceptionHandler(
        [&](const std::exception& error) { shown = error.what(); });
    TThreadTimer timer(nullptr);
    timer.SetInterval(5);
    timer.SetOnTimer([&](TComponent*) {
        timer.SetEnabled(false);
        throw Exception("tick failed", ErrorReason::Unknown);
    });
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !shown.empty(); }));
    EXPECT_EQ(shown, "tick failed");
    platform::SetApplicationExceptionHandler(nullptr);
}
