#include "support/LoopbackPeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

LoopbackListener::LoopbackListener(int backlog)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, backlog);
    socklen_t length = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() { ::close(fd_); }

int LoopbackListener::AcceptOne(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

int ClosedLoopbackPort()
{
    LoopbackListener probe;
    return probe.Port(); // closed again when `probe` goes
}

SilentListener::SilentListener()
{
    // With a queue of length 0 the kernel still takes one connection; fill it with
    // non-blocking attempts so that later ones are left hanging.
    for (int& fd : fillers_) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(listener_.Port()));
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ::usleep(50 * 1000);
}

SilentListener::~SilentListener()
{
    for (int fd : fillers_) ::close(fd);
}

} // namespace testsupport
