#include "platform/Sockets.h"

#include "platform/HostLookup.h"
#include "platform/SocketErrors.h"
#include "platform/SocketWatch.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace platform {

struct NotificationWindow::Impl {
    Procedure procedure;
    QObject context; // queued deliveries die with it
};

NotificationWindow::NotificationWindow(Procedure procedure) : impl_(std::make_unique<Impl>())
{
    impl_->procedure = std::move(procedure);
}

NotificationWindow::~NotificationWindow()
{
    ForgetWindow(this);
    ForgetLookupsOf(this);
}

intptr_t NotificationWindow::Send(int message, uintptr_t wParam, intptr_t lParam)
{
    if (!impl_->procedure) return 0;
    try {
        return impl_->procedure(message, wParam, lParam);
    } catch (...) {
        return 0; // nothing raised while a notification is handled may reach the event loop
    }
}

void NotificationWindow::Post(int message, uintptr_t wParam, intptr_t lParam)
{
    QMetaObject::invokeMethod(
        &impl_->context, [this, message, wParam, lParam] { Send(message, wParam, lParam); },
        Qt::QueuedConnection);
}

uint16_t HostToNetwork16(uint16_t value) { return htons(value); }
uint16_t NetworkToHost16(uint16_t value) { return ntohs(value); }

uint32_t ParseDottedAddress(const char* text)
{
    in_addr address{};
    // Accept only the plain four-number form; anything else is a name to look up.
    if (inet_pton(AF_INET, text, &address) != 1) return kAddressNone;
    return address.s_addr;
}

std::string DottedAddressText(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

namespace {

int Fail()
{
    SetLastSocketError(TranslateErrno(errno));
    return -1;
}

sockaddr_in ToSockaddr(const SocketAddress& a)
{
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = a.port;
    s.sin_addr.s_addr = a.address;
    return s;
}

void FromSockaddr(const sockaddr_in& s, SocketAddress* a)
{
    *a = SocketAddress{};
    a->family = kFamilyInet;
    a->port = s.sin_port;
    a->address = s.sin_addr.s_addr;
}

} // namespace

SocketHandle CreateStreamSocket()
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        Fail();
        return kNoSocket;
    }
    return s;
}

int SetLinger(SocketHandle socket, bool on, int seconds)
{
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : Fail();
}

int AsyncSelect(SocketHandle socket, NotificationWindow* window, int message, long mask)
{
    if (socket == kNoSocket) {
        SetLastSocketError(kErrNotSocket);
        return -1;
    }
    WatchSocket(socket, window, message, mask);
    return 0;
}

int Connect(SocketHandle socket, const SocketAddress& address)
{
    sockaddr_in s = ToSockaddr(address);
    int rc = ::connect(socket, reinterpret_cast<sockaddr*>(&s), sizeof s);
    int error = rc == 0 ? 0 : errno;
    if (rc != 0 && error != EINPROGRESS) {
        if (!IsWatched(socket)) return Fail();
        // Decided at once (a refusal on loopback, say): still reported by notification.
        if (error == EALREADY || error == EISCONN || error == EBADF || error == ENOTSOCK)
            return Fail();
    }
    if (!IsWatched(socket)) return rc == 0 ? 0 : Fail();
    bool started = rc == 0 || error == EINPROGRESS;
    BeginConnectWatch(socket, started, started ? 0 : TranslateErrno(error));
    SetLastSocketError(kErrWouldBlock);
    return -1;
}

int Bind(SocketHandle socket, const SocketAddress& address)
{
    sockaddr_in s = ToSockaddr(address);
    return ::bind(socket, reinterpret_cast<sockaddr*>(&s), sizeof s) == 0 ? 0 : Fail();
}

int Listen(SocketHandle socket, int backlog)
{
    if (::listen(socket, backlog) != 0) return Fail();
    RearmRead(socket);
    return 0;
}

SocketHandle Accept(SocketHandle socket, SocketAddress* peer)
{
    sockaddr_in s{};
    socklen_t length = sizeof s;
    int accepted = ::accept4(socket, reinterpret_cast<sockaddr*>(&s), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    int error = errno;
    RearmRead(socket);
    if (accepted < 0) {
        SetLastSocketError(TranslateErrno(error));
        return kNoSocket;
    }
    if (peer) FromSockaddr(s, peer);
    return accepted;
}

long Send(SocketHandle socket, const void* data, size_t length)
{
    ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL);
    return n >= 0 ? static_cast<long>(n) : Fail();
}

long Receive(SocketHandle socket, void* buffer, size_t length, bool peek)
{
    ssize_t n = ::recv(socket, buffer, length, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
    int error = errno;
    RearmRead(socket);
    if (n >= 0) return static_cast<long>(n);
    SetLastSocketError(TranslateErrno(error));
    return -1;
}

int GetLocalAddress(SocketHandle socket, SocketAddress* address)
{
    sockaddr_in s{};
    socklen_t length = sizeof s;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&s), &length) != 0) return Fail();
    if (s.sin_family != AF_INET) {
        SetLastSocketError(kErrInvalid);
        return -1;
    }
    FromSockaddr(s, address);
    return 0;
}

int GetPeerAddress(SocketHandle socket, SocketAddress* address)
{
    sockaddr_in s{};
    socklen_t length = sizeof s;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&s), &length) != 0) return Fail();
    FromSockaddr(s, address);
    return 0;
}

int CloseSocket(SocketHandle socket)
{
    UnwatchSocket(socket);
    return ::close(socket) == 0 ? 0 : Fail();
}

void ArmWriteWakeup(SocketHandle socket) { ArmWrite(socket); }

long PendingBytes(SocketHandle socket)
{
    int count = 0;
    if (::ioctl(socket, FIONREAD, &count) != 0) return 0;
    return count;
}

} // namespace platform
