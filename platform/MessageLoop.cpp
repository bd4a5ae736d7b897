#include "platform/MessageLoop.h"

#include "platform/ScopedGuards.h"
#include "platform/SocketWatch.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>

namespace platform {

namespace {

int waitDepth = 0;

using Clock = std::chrono::steady_clock;
Clock::time_point lastPassEnd;

QTimer& WakeTimer()
{
    static QTimer* timer = [] {
        auto* t = new QTimer(QCoreApplication::instance());
        t->setSingleShot(true);
        return t;
    }();
    return *timer;
}

// The wake-up of a blocked pass whose wait has a deadline. Nothing else wakes a pass but an
// event: every wait changes its condition only through one (a notification, a timer, user input,
// a posted call), so a pass with nothing to wait for sleeps for good and costs nothing. A nested
// pass (a handler that waits in turn) arms it for its own deadline; the outer pass returns once
// that handler is done and arms it again for its own. The outermost stops it, however it ends.
class DeadlineWake {
public:
    explicit DeadlineWake(int wakeAfterMs) : depth_(waitDepth)
    {
        if (wakeAfterMs >= 0)
            WakeTimer().start(wakeAfterMs);
        else if (depth_.Outermost())
            WakeTimer().stop();
    }
    ~DeadlineWake()
    {
        if (depth_.Outermost()) WakeTimer().stop();
    }
    DeadlineWake(const DeadlineWake&) = delete;
    DeadlineWake& operator=(const DeadlineWake&) = delete;

private:
    ScopedDepth depth_;
};

} // namespace

void ProcessMessages(int wakeAfterMs)
{
    if (!QCoreApplication::instance()) return;
    {
        DeadlineWake wake(wakeAfterMs);
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
