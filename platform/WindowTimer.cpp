#include "platform/WindowTimer.h"

#include <QCoreApplication>
#include <QTimer>

namespace platform {

WindowTimer::WindowTimer(std::function<void()> onTick) : timer_(std::make_unique<QTimer>())
{
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_.get(), &QTimer::timeout, [tick = std::move(onTick)] { tick(); });
}

WindowTimer::~WindowTimer() = default;

bool WindowTimer::Set(unsigned intervalMs)
{
    if (!QCoreApplication::instance()) return false;
    timer_->start(static_cast<int>(std::min<unsigned>(intervalMs, 0x7FFFFFFF)));
    return timer_->isActive();
}

void WindowTimer::Kill() { timer_->stop(); }

bool WindowTimer::Active() const { return timer_->isActive(); }

int WindowTimer::RemainingMs() const { return timer_->remainingTime(); }

} // namespace platform
