#pragma once
// A connect target for the socket component's tests whose connection attempts never complete.
#include "support/EventLoop.h"
#include "support/Loopback.h"

namespace nettest {

// A listener whose queue is full: further connection attempts to it stay pending (the kernel drops
// their SYNs), so a connect wait only ends by cancellation or time-out.
class SilentListener {
public:
    // On the family's loopback address, at `port` (0: one the system chooses).
    explicit SilentListener(testsupport::IpFamily family = testsupport::IpFamily::V4,
                            uint16_t port = 0);
    int Port() const { return listener_.Port(); }

private:
    testsupport::LoopbackListener listener_;
    testsupport::UniqueFd fillers_[4];
};

} // namespace nettest
