#pragma once
// A connect target for the socket component's tests whose connection attempts never complete.
#include "support/EventLoop.h"
#include "support/Loopback.h"

namespace nettest {

// A listener whose queue is full: further connection attempts to it stay pending (the kernel drops
// their SYNs), so a connect wait only ends by cancellation or time-out.
class SilentListener {
public:
    SilentListener();
    int Port() const { return listener_.Port(); }

private:
    testsupport::LoopbackListener listener_{0};
    testsupport::UniqueFd fillers_[4];
};

} // namespace nettest
