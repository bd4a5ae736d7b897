#pragma once
// Plain POSIX sockets on the loopback interface for the tests' own peers: a descriptor owner, a
// listener on a system-chosen port, and a client connection, over IPv4 (127.0.0.1) or IPv6 (::1).
#include <cstdint>
#include <utility>

namespace testsupport {

enum class IpFamily { V4, V6 };
// "127.0.0.1" or "::1".
const char* LoopbackText(IpFamily family);

// Owns one descriptor and closes it when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes what it holds and takes `fd` instead.
    void Reset(int fd = -1);
    // Closes so that the peer sees a reset rather than the end of the stream.
    void ResetConnection();
    // Hands the descriptor over; this owner holds nothing afterwards.
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// A socket listening on the family's loopback address at `wanted` (0: a port the system
// chooses); the port goes to `port`. An empty owner when the system refused.
UniqueFd ListenOnLoopback(int backlog, bool nonBlocking, uint16_t* port,
                          IpFamily family = IpFamily::V4, uint16_t wanted = 0);

// A listening socket on the family's loopback address at `port` (0: a port the system chooses).
// Invalid when the system refused.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 8, bool nonBlocking = false,
                              IpFamily family = IpFamily::V4, uint16_t port = 0);
    uint16_t Port() const { return port_; }
    int Fd() const { return fd_.Get(); }
    bool Valid() const { return fd_.Valid(); }
    // One connection accepted within timeoutMs; an empty owner when none came.
    UniqueFd AcceptOne(int timeoutMs = 5000);

private:
    uint16_t port_ = 0; // before fd_: the constructor fills it while making fd_
    UniqueFd fd_;
};

// A listener whose queue is full: further connection attempts to it stay pending (the kernel drops
// their SYNs), so a connect to it only ends by cancellation or time-out.
class SilentListener {
public:
    // On the family's loopback address, at `port` (0: one the system chooses).
    explicit SilentListener(IpFamily family = IpFamily::V4, uint16_t port = 0);
    uint16_t Port() const { return listener_.Port(); }

private:
    LoopbackListener listener_;
    UniqueFd fillers_[4];
};

// A client connected to the family's loopback address and `port` within timeoutMs (non-blocking
// when asked); an empty owner when the connection was refused or did not complete in time.
UniqueFd ConnectLoopback(uint16_t port, int timeoutMs = 5000, bool nonBlocking = false,
                         IpFamily family = IpFamily::V4);

// The local port a socket is bound to; 0 when it is not.
uint16_t LocalPort(int fd);

} // namespace testsupport
