#pragma once
// A periodic timer on the GUI thread, ticking from the same event processing the waits use.
#include <functional>
#include <memory>

class QTimer;

namespace platform {

class WindowTimer {
public:
    explicit WindowTimer(std::function<void()> onTick);
    ~WindowTimer();
    WindowTimer(const WindowTimer&) = delete;
    WindowTimer& operator=(const WindowTimer&) = delete;

    // (Re)starts the period from now. False when no timer can be had.
    bool Set(unsigned intervalMs);
    void Kill();
    bool Active() const;
    // Milliseconds until the next tick; -1 when stopped.
    int RemainingMs() const;

private:
    std::unique_ptr<QTimer> timer_;
};

} // namespace platform
