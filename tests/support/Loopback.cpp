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

sockaddr_in LoopbackAddress(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

int StreamSocket(bool nonBlocking)
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}

} // namespace

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

UniqueFd ListenOnLoopback(int backlog, bool nonBlocking, uint16_t* port)
{
    UniqueFd fd(StreamSocket(nonBlocking));
    sockaddr_in address = LoopbackAddress(0);
    if (!fd.Valid() ||
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), backlog) != 0)
        return UniqueFd();
    *port = LocalPort(fd.Get());
    return fd;
}

LoopbackListener::LoopbackListener(int backlog, bool nonBlocking)
    : fd_(ListenOnLoopback(backlog, nonBlocking, &port_))
{
}

UniqueFd LoopbackListener::AcceptOne(int timeoutMs)
{
    pollfd ready{fd_.Get(), POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) != 1) return UniqueFd();
    return UniqueFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

UniqueFd ConnectLoopback(uint16_t port, int timeoutMs, bool nonBlocking)
{
    // Always made non-blocking first, so that the wait for the handshake is bounded.
    UniqueFd fd(StreamSocket(true));
    if (!fd.Valid()) return fd;
    sockaddr_in address = LoopbackAddress(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
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

SilentListener::SilentListener()
{
    // With a queue of length 0 the kernel still takes one connection; fill it with non-blocking
    // attempts so that later ones are left hanging.
    for (UniqueFd& fd : fillers_) fd = ConnectLoopback(listener_.Port(), 0, true);
    ::usleep(50 * 1000);
}

uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

} // namespace testsupport
