#include "NetTestUtil.h"

#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace nettest {

bool PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    // A timer guarantees the blocking pass wakes up even when nothing else happens.
    QTimer tick;
    tick.start(20);
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        platform::ProcessMessages();
    }
    return true;
}

void PumpFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    PumpUntil([&] { return clock.elapsed() >= ms; }, ms + 1000);
}

} // namespace nettest
