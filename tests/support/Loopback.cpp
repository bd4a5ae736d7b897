#include "support/Loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

// The loopback address of the family with `port`, and its length.
socklen_t LoopbackAddress(uint16_t port, IpFamily family, sockaddr_storage* address)
{
    *address = sockaddr_storage{};
    if (family == IpFamily::V6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(address);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        return sizeof *a;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(address);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port);
    return sizeof *a;
}

int StreamSocket(bool nonBlocking, IpFamily family)
{
    return ::socket(family == IpFamily::V6 ? AF_INET6 : AF_INET,
                    SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}

} // namespace

const char* LoopbackText(IpFamily family) { return family == IpFamily::V6 ? "::1" : "127.0.0.1"; }

void UniqueFd::Reset(int fd)
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void UniqueFd::ResetConnection()
{
    if (fd_ >= 0) {
        linger abortive{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    Reset();
}

UniqueFd ListenOnLoopback(int backlog, bool nonBlocking, uint16_t* port, IpFamily family,
                          uint16_t wanted)
{
    UniqueFd fd(StreamSocket(nonBlocking, family));
    sockaddr_storage address{};
    const socklen_t length = LoopbackAddress(wanted, family, &address);
    if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd.Get(), backlog) != 0)
        return UniqueFd();
    *port = LocalPort(fd.Get());
    return fd;
}

LoopbackListener::LoopbackListener(int backlog, bool nonBlocking, IpFamily family, uint16_t port)
    : fd_(ListenOnLoopback(backlog, nonBlocking, &port_, family, port))
{
}

UniqueFd LoopbackListener::AcceptOne(int timeoutMs)
{
    pollfd ready{fd_.Get(), POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) != 1) return UniqueFd();
    return UniqueFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

UniqueFd ConnectLoopback(uint16_t port, int timeoutMs, bool nonBlocking, IpFamily family)
{
    // Always made non-blocking first, so that the wait for the handshake is bounded.
    UniqueFd fd(StreamSocket(true, family));
    if (!fd.Valid()) return fd;
    sockaddr_storage address{};
    const socklen_t length = LoopbackAddress(port, family, &address);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        if (errno != EINPROGRESS) return UniqueFd();
        pollfd ready{fd.Get(), POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (::poll(&ready, 1, timeoutMs) != 1 ||
            ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return UniqueFd();
    }
    if (!nonBlocking) {
        const int flags = ::fcntl(fd.Get(), F_GETFL);
        ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    return fd;
}

SilentListener::SilentListener(IpFamily family, uint16_t port) : listener_(0, false, family, port)
{
    // With a queue of length 0 the kernel still takes one connection; fill it with non-blocking
    // attempts so that later ones are left hanging.
    for (UniqueFd& fd : fillers_) fd = ConnectLoopback(listener_.Port(), 0, true, family);
    ::usleep(50 * 1000);
}

uint16_t LocalPort(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    // The port sits at the same place in both families' addresses.
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

} // namespace testsupport
