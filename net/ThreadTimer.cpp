#include "net/ThreadTimer.h"

#include "platform/ApplicationErrors.h"
#include "platform/Exception.h"
#include "platform/WindowTimer.h"

TThreadTimer::TThreadTimer(TComponent* owner)
    : TComponent(owner), window_(std::make_unique<platform::WindowTimer>([this] {
          // An exception from the handler goes to the application's own error handling, never
          // into the event loop.
          try {
              Tick();
          } catch (const std::exception& error) {
              platform::HandleApplicationException(error);
          }
      }))
{
}

TThreadTimer::~TThreadTimer()
{
    BeginDestroy();
    enabled_ = false;
    window_->Kill();
}

void TThreadTimer::SetEnabled(bool value)
{
    if (value == enabled_) return;
    enabled_ = value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(uint32_t value)
{
    if (value == interval_) return;
    interval_ = value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler)
{
    onTimer_ = std::move(handler);
    UpdateTimer();
}

bool TThreadTimer::Running() const { return window_->Active(); }

int TThreadTimer::RemainingMs() const { return window_->RemainingMs(); }

void TThreadTimer::Tick()
{
    if (onTimer_) onTimer_(this);
}

void TThreadTimer::UpdateTimer()
{
    window_->Kill();
    if (interval_ != 0 && enabled_ && onTimer_) {
        if (!window_->Set(interval_)) throw Exception("No Timer", ErrorReason::NoTimer);
    }
}
