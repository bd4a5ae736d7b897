#pragma once
// A small periodic timer that fires OnTimer on the GUI thread. The socket component uses one,
// disabled between operations, for its time-outs.
#include "net/Events.h"
#include "platform/Component.h"

#include <memory>

namespace platform {
class WindowTimer;
}

class TThreadTimer : public TComponent {
public:
    explicit TThreadTimer(TComponent* owner);
    ~TThreadTimer() override;

    bool Enabled() const { return enabled_; }
    uint32_t Interval() const { return interval_; }
    const TNotifyEvent& OnTimer() const { return onTimer_; }

    // Each effective change restarts the countdown from the full interval; assigning the value a
    // setting already has leaves a running countdown alone. Assigning OnTimer always restarts.
    void SetEnabled(bool value);
    void SetInterval(uint32_t value);
    void SetOnTimer(TNotifyEvent handler);

    // True while a countdown runs.
    bool Running() const;
    // Milliseconds left of the running countdown; -1 when stopped.
    int RemainingMs() const;

protected:
    virtual void Tick();

private:
    void UpdateTimer();

    uint32_t interval_ = 1000;
    std::unique_ptr<platform::WindowTimer> window_;
    TNotifyEvent onTimer_;
    bool enabled_ = true;
};
