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
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
    const std::optional<SocketAddress> literal = ParseAddressLiteral(text);
    return literal && !literal->IsInet6() ? literal->address : kAddressNone;
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

int SystemFamily(uint16_t family) { return family == kFamilyInet6 ? AF_INET6 : AF_INET; }

// The system's form of an address for a socket of `socketFamily`; 0 when it has none. An IPv4
// address given to an IPv6 socket goes as its IPv4-mapped IPv6 form, which a dual-stack socket
// connects to and binds like the IPv4 one.
socklen_t ToSockaddr(const SocketAddress& a, int socketFamily, sockaddr_storage* s)
{
    *s = sockaddr_storage{};
    if (socketFamily == AF_INET6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(s);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = a.port;
        if (a.IsInet6()) {
            std::memcpy(&s6->sin6_addr, a.address6.data(), sizeof s6->sin6_addr);
            s6->sin6_scope_id = a.scopeId;
        } else {
            s6->sin6_addr.s6_addr[10] = 0xFF;
            s6->sin6_addr.s6_addr[11] = 0xFF;
            std::memcpy(&s6->sin6_addr.s6_addr[12], &a.address, sizeof a.address);
        }
        return sizeof(sockaddr_in6);
    }
    // An IPv4 socket reaches an IPv6 address only when that is an IPv4-mapped one.
    const std::optional<uint32_t> word = a.Inet4Word();
    if (!word) return 0;
    auto* s4 = reinterpret_cast<sockaddr_in*>(s);
    s4->sin_family = AF_INET;
    s4->sin_port = a.port;
    s4->sin_addr.s_addr = *word;
    return sizeof(sockaddr_in);
}

// An address the socket's family cannot carry.
int FailFamily()
{
    SetLastSocketError(kErrAddressFamily);
    return -1;
}

bool FromSockaddr(const sockaddr_storage& s, SocketAddress* a)
{
    *a = SocketAddress{};
    if (s.ss_family == AF_INET6) {
        const auto& s6 = reinterpret_cast<const sockaddr_in6&>(s);
        a->family = kFamilyInet6;
        a->port = s6.sin6_port;
        std::memcpy(a->address6.data(), &s6.sin6_addr, sizeof s6.sin6_addr);
        a->scopeId = s6.sin6_scope_id;
        return true;
    }
    if (s.ss_family != AF_INET) return false;
    const auto& s4 = reinterpret_cast<const sockaddr_in&>(s);
    a->family = kFamilyInet;
    a->port = s4.sin_port;
    a->address = s4.sin_addr.s_addr;
    return true;
}

// getsockname or getpeername into a SocketAddress.
int QueryAddress(int (*query)(int, sockaddr*, socklen_t*), SocketHandle socket,
                 SocketAddress* address)
{
    sockaddr_storage s{};
    socklen_t length = sizeof s;
    if (query(socket, reinterpret_cast<sockaddr*>(&s), &length) != 0) return Fail();
    return FromSockaddr(s, address) ? 0 : FailFamily();
}

// Everything written goes out at once. Commands are whole lines written in one call, and a
// transfer writes whole chunks; Nagle's algorithm would only hold back the tail of a chunk (or a
// command) until the peer acknowledges what went before.
void SendWithoutDelay(int socket)
{
    int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace

SocketHandle CreateStreamSocket(uint16_t family)
{
    int s = ::socket(SystemFamily(family), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        Fail();
        return kNoSocket;
    }
    SendWithoutDelay(s);
    return s;
}

int SetLinger(SocketHandle socket, bool on, int seconds)
{
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : Fail();
}

uint16_t SocketFamily(SocketHandle socket)
{
    int domain = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return 0;
    return domain == AF_INET6 ? kFamilyInet6 : domain == AF_INET ? kFamilyInet : 0;
}

int GetLinger(SocketHandle socket, bool* on, int* seconds)
{
    linger l{};
    socklen_t length = sizeof l;
    if (::getsockopt(socket, SOL_SOCKET, SO_LINGER, &l, &length) != 0) return Fail();
    *on = l.l_onoff != 0;
    *seconds = l.l_linger;
    return 0;
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
    sockaddr_storage s{};
    const socklen_t length = ToSockaddr(address, SystemFamily(SocketFamily(socket)), &s);
    if (length == 0) return FailFamily();
    int rc = ::connect(socket, reinterpret_cast<sockaddr*>(&s), length);
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
    sockaddr_storage s{};
    const socklen_t length = ToSockaddr(address, SystemFamily(SocketFamily(socket)), &s);
    if (length == 0) return FailFamily();
    return ::bind(socket, reinterpret_cast<sockaddr*>(&s), length) == 0 ? 0 : Fail();
}

int Listen(SocketHandle socket, int backlog)
{
    if (::listen(socket, backlog) != 0) return Fail();
    RearmRead(socket);
    return 0;
}

SocketHandle Accept(SocketHandle socket, SocketAddress* peer)
{
    sockaddr_storage s{};
    socklen_t length = sizeof s;
    int accepted =
        ::accept4(socket, reinterpret_cast<sockaddr*>(&s), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int error = errno;
    RearmRead(socket);
    if (accepted < 0) {
        SetLastSocketError(TranslateErrno(error));
        return kNoSocket;
    }
    if (peer) FromSockaddr(s, peer);
    SendWithoutDelay(accepted);
    return accepted;
}

long Send(SocketHandle socket, const void* data, size_t length, bool moreFollows)
{
    ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL | (moreFollows ? MSG_MORE : 0));
    if (n >= 0) return static_cast<long>(n);
    // The system answers a send on a socket that has no connection (never had one, or a fresh
    // one put in place of a closed connection) as it answers one on a broken pipe.
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    if (errno == EPIPE &&
        ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 &&
        errno == ENOTCONN) {
        SetLastSocketError(kErrNotConnected);
        return -1;
    }
    return Fail();
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

namespace {

// The pipe that carries spliced bytes from a socket to a file. It is empty between calls, and one
// serves every component of the thread.
class SplicePipe {
public:
    SplicePipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        read_ = fds[0];
        write_ = fds[1];
        // Room for a whole chunk even when it arrived in small segments, each of which takes a
        // slot of the pipe; where the system refuses, a splice simply moves fewer bytes.
        ::fcntl(write_, F_SETPIPE_SZ, kCapacity);
    }
    ~SplicePipe()
    {
        if (read_ >= 0) ::close(read_);
        if (write_ >= 0) ::close(write_);
    }
    SplicePipe(const SplicePipe&) = delete;
    SplicePipe& operator=(const SplicePipe&) = delete;

    bool Usable() const { return read_ >= 0 && usable_; }
    void GiveUp() { usable_ = false; }
    int ReadEnd() const { return read_; }
    int WriteEnd() const { return write_; }

private:
    static constexpr int kCapacity = 1 << 20;
    int read_ = -1;
    int write_ = -1;
    bool usable_ = true;
};

SplicePipe& ThreadPipe()
{
    thread_local SplicePipe pipe;
    return pipe;
}

bool WriteAll(int file, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(file, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Moves `length` bytes that sit in the pipe into the file; on a failure the rest is taken out of
// the pipe all the same, so that it is empty for the next call. errno is kept for the caller.
bool DrainPipeToFile(const SplicePipe& pipe, int file, char* buffer, size_t bufferSize,
                     size_t length)
{
    bool spliceable = true;
    bool written = true;
    while (length > 0) {
        ssize_t n = -1;
        if (spliceable && written) {
            n = ::splice(pipe.ReadEnd(), nullptr, file, nullptr, length, SPLICE_F_MOVE);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EINVAL) {
                spliceable = false; // a file that takes no splice: copy through the buffer
                continue;
            }
            if (n <= 0) {
                const int error = n < 0 ? errno : EIO;
                written = false;
                errno = error;
                continue;
            }
        } else {
            n = ::read(pipe.ReadEnd(), buffer, std::min(length, bufferSize));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false; // cannot happen: the bytes are in the pipe
            if (written) {
                written = WriteAll(file, buffer, static_cast<size_t>(n));
            }
        }
        length -= static_cast<size_t>(n);
    }
    return written;
}

} // namespace

long SendFromFile(SocketHandle socket, int file, size_t length)
{
    for (;;) {
        const ssize_t n = ::sendfile(socket, file, nullptr, length);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        // Errors of the file's side: the socket is not to blame.
        if (errno == EIO || errno == ENOMEM || errno == EOVERFLOW || errno == ESPIPE)
            return kFileReadFailed;
        return Fail();
    }
}

int SetUnsentLimit(SocketHandle socket, int bytes)
{
    int previous = 0;
    socklen_t size = sizeof previous;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &previous, &size) != 0) return -1;
    if (::setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) != 0) return -1;
    return previous;
}

long ReceiveToFile(SocketHandle socket, int file, void* buffer, size_t length)
{
    SplicePipe& pipe = ThreadPipe();
    if (pipe.Usable()) {
        const ssize_t n = ::splice(socket, nullptr, pipe.WriteEnd(), nullptr, length,
                                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        const int error = errno;
        if (n >= 0 || error != EINVAL) {
            RearmRead(socket);
            if (n < 0) {
                SetLastSocketError(TranslateErrno(error));
                return -1;
            }
            if (n > 0 && !DrainPipeToFile(pipe, file, static_cast<char*>(buffer), length,
                                          static_cast<size_t>(n)))
                return kFileWriteFailed;
            return static_cast<long>(n);
        }
        // Not a socket the system splices from: from now on the bytes go through user memory.
        pipe.GiveUp();
    }
    const long n = Receive(socket, buffer, length);
    if (n > 0 && !WriteAll(file, static_cast<const char*>(buffer), static_cast<size_t>(n)))
        return kFileWriteFailed;
    return n;
}

int GetLocalAddress(SocketHandle socket, SocketAddress* address)
{
    return QueryAddress(::getsockname, socket, address);
}

int GetPeerAddress(SocketHandle socket, SocketAddress* address)
{
    return QueryAddress(::getpeername, socket, address);
}

int CloseSocket(SocketHandle socket)
{
    UnwatchSocket(socket);
    return ::close(socket) == 0 ? 0 : Fail();
}

void ArmWriteWakeup(SocketHandle socket) { ArmWrite(socket); }

bool WaitUntilWritable(SocketHandle socket, int timeoutMs)
{
    pollfd writable{socket, POLLOUT, 0};
    int ready = 0;
    do {
        ready = ::poll(&writable, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready == 1 && (writable.revents & POLLOUT) != 0;
}

long PendingBytes(SocketHandle socket)
{
    int count = 0;
    if (::ioctl(socket, FIONREAD, &count) != 0) return 0;
    return count;
}

bool PeerHasClosed(SocketHandle socket)
{
    pollfd entry{};
    entry.fd = socket;
    entry.events = POLLRDHUP;
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLRDHUP | POLLHUP)) != 0;
}

WakeOnMoreThan::WakeOnMoreThan(SocketHandle socket, long waiting) : socket_(socket)
{
    // The receive low-water mark: readiness is reported only from this many bytes on.
    const int mark = static_cast<int>(std::min<long>(waiting + 1, 1 << 30));
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
    if (mark > 1) NoteRaisedMark(socket_);
}

WakeOnMoreThan::~WakeOnMoreThan()
{
    const int mark = 1;
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
}

} // namespace platform
