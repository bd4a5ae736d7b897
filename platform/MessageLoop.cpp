#include "platform/MessageLoop.h"

#include "platform/ScopedGuards.h"
#include "platform/SocketWatch.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>

namespace platform {

namespace {

// Wakes a blocked pass now and then, so that a wait whose condition changed without an event
// still notices. Runs only while some loop waits.
constexpr int kSafetyIntervalMs = 100;
int waitDepth = 0;

using Clock = std::chrono::steady_clock;
Clock::time_point lastPassEnd;

QTimer& SafetyTimer()
{
    static QTimer* timer = [] {
        auto* t = new QTimer(QCoreApplication::instance());
        t->setInterval(kSafetyIntervalMs);
        return t;
    }();
    return *timer;
}

// The safety wake-up runs while a waiting pass blocks: the outermost one starts it and stops it
// again, however the pass ends.
class SafetyWake {
public:
    SafetyWake() : depth_(waitDepth)
    {
        if (depth_.Outermost()) SafetyTimer().start();
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

void ProcessMessages()
{
    if (!QCoreApplication::instance()) return;
    {
        SafetyWake wake;
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

void ProcessMessagesWhileBusy()
{
    if (Clock::now() - lastPassEnd < std::chrono::milliseconds(kBusyPassIntervalMs)) return;
    ProcessPendingMessages();
}

} // namespace platform
