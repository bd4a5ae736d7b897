#pragma once
// Plain loopback peers for tests that need a port with a given behaviour: one that listens, one
// that nobody listens on, one that never completes a connection.
namespace testsupport {

// A plain listening socket on 127.0.0.1 with a system-chosen port.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 8);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    int Port() const { return port_; }
    // Accepts one connection (waits up to timeoutMs); returns its descriptor or -1.
    int AcceptOne(int timeoutMs = 5000);

private:
    int fd_ = -1;
    int port_ = 0;
};

// A port on 127.0.0.1 that nobody listens on (bound and closed again).
int ClosedLoopbackPort();

// A listener whose queue is full: further connection attempts to it stay pending (the kernel drops
// their SYNs), so a connect wait only ends by cancellation or time-out.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int Port() const { return listener_.Port(); }

private:
    LoopbackListener listener_{0};
    int fillers_[4] = {-1, -1, -1, -1};
};

} // namespace testsupport
