#include "platform/MessageLoop.h"

#include "platform/ScopedGuards.h"
#include "platform/SocketWatch.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>

namespace platform {

namespace {

// Wakes a blocked pass at the latest after this long, so that a wait whose condition changed
// without an event still notices. It is armed only while some loop waits.
constexpr int kSafetyIntervalMs = 100;
int waitDepth = 0;

using Clock = std::chrono::steady_clock;
Clock::time_point lastPassEnd;

QTimer& SafetyTimer()
{
    static QTimer* timer = [] {
        auto* t = new QTimer(QCoreApplication::instance());
        t->setSingleShot(true);
        return t;
    }();
    return *timer;
}

// The wake-up runs while a waiting pass blocks, due at the earlier of the safety interval and the
// wait's own deadline. Every pass arms it for itself (a nested one, in a handler that waits in
// turn, for its own deadline); the outermost stops it again, however the pass ends.
class SafetyWake {
public:
    explicit SafetyWake(int wakeAfterMs) : depth_(waitDepth)
    {
        const int interval =
            wakeAfterMs >= 0 && wakeAfterMs < kSafetyIntervalMs ? wakeAfterMs : kSafetyIntervalMs;
        SafetyTimer().start(interval);
    }
    ~SafetyWake()
    {
        if (depth_.Outermost()) SafetyTimer().stop();
    }
    SafetyWake(const SafetyWake&) = delete;
    SafetyWake& operator=(const SafetyWake&) = delete;

private:
    ScopedDepth depth_;
};

} // namespace

void ProcessMessages(int wakeAfterMs)
{
    if (!QCoreApplication::instance()) return;
    {
        SafetyWake wake(wakeAfterMs);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    PurgeRetiredNotifiers();
    lastPassEnd = Clock::now();
}

void ProcessPendingMessages()
{
    if (!QCoreApplication::instance()) return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    PurgeRetiredNotifiers();
    lastPassEnd = Clock::now();
}

bool ProcessMessagesWhileBusy()
{
    if (Clock::now() - lastPassEnd < std::chrono::milliseconds(kBusyPassIntervalMs)) return false;
    ProcessPendingMessages();
    return true;
}

} // namespace platform
