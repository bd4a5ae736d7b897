#include "platform/SocketWatch.h"

#include "platform/ScopedGuards.h"
#include "platform/SocketErrors.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <memory>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

struct Watch {
    SocketHandle socket = kNoSocket;
    NotificationWindow* window = nullptr;
    int message = 0;
    bool listening = false;   // selected for accept alone
    bool established = false; // connected: reads and closes can be reported
    bool connecting = false;
    bool closeReported = false;
    bool wantWrite = false;
    bool markRaised = false; // the receive low-water mark is above 1
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;
    ~Watch();
};

std::unordered_map<SocketHandle, std::shared_ptr<Watch>>& Watches()
{
    static std::unordered_map<SocketHandle, std::shared_ptr<Watch>> watches;
    return watches;
}

std::vector<std::unique_ptr<QSocketNotifier>>& Retired()
{
    static std::vector<std::unique_ptr<QSocketNotifier>> retired;
    return retired;
}

int dispatchDepth = 0;

// A notifier may be deleted only when none of its signals is being delivered.
void Retire(std::unique_ptr<QSocketNotifier> notifier)
{
    if (!notifier) return;
    notifier->setEnabled(false);
    QObject::disconnect(notifier.get(), nullptr, nullptr, nullptr);
    Retired().push_back(std::move(notifier));
    if (dispatchDepth == 0) PurgeRetiredNotifiers();
}

Watch::~Watch()
{
    Retire(std::move(read));
    Retire(std::move(write));
}

std::shared_ptr<Watch> Find(SocketHandle socket)
{
    auto it = Watches().find(socket);
    return it == Watches().end() ? nullptr : it->second;
}

void Deliver(const std::shared_ptr<Watch>& w, uint16_t event, uint16_t error)
{
    if (!w->window) return;
    {
        ScopedDepth dispatch(dispatchDepth);
        w->window->Send(w->message, static_cast<uintptr_t>(w->socket),
                        MakeSelectParam(event, error));
    }
    if (dispatchDepth == 0) PurgeRetiredNotifiers();
}

bool IsCurrent(const std::shared_ptr<Watch>& w)
{
    auto found = Find(w->socket);
    return found == w;
}

void OnReadable(const std::weak_ptr<Watch>& weak)
{
    auto w = weak.lock();
    if (!w || !IsCurrent(w)) return;
    if (w->listening) {
        w->read->setEnabled(false);
        Deliver(w, kEventAccept, 0);
        return;
    }
    // Looked at without a receive: a receive, even a peek, takes a pending error (a reset) with
    // it, and the owner's own receive would then find a quiet end instead of the reset.
    pollfd state{w->socket, POLLIN | POLLRDHUP, 0};
    if (::poll(&state, 1, 0) <= 0 || state.revents == 0) return;
    w->read->setEnabled(false);
    int waiting = 0;
    const bool bytesWaiting = ::ioctl(w->socket, FIONREAD, &waiting) == 0 && waiting > 0;
    const bool ended = (state.revents & (POLLRDHUP | POLLHUP)) != 0;
    if (!bytesWaiting && ended && (state.revents & POLLERR) == 0) {
        w->closeReported = true;
        Deliver(w, kEventClose, 0);
    } else {
        // Bytes are waiting, or a receive would report an error: the owner's next receive
        // tells which.
        Deliver(w, kEventRead, 0);
    }
}

void EnableRead(Watch& w)
{
    if (w.read && !w.closeReported) w.read->setEnabled(true);
}

void OnWritable(const std::weak_ptr<Watch>& weak)
{
    auto w = weak.lock();
    if (!w || !IsCurrent(w)) return;
    w->write->setEnabled(false);
    if (w->connecting) {
        w->connecting = false;
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(w->socket, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) {
            w->established = true;
            EnableRead(*w);
        }
        Deliver(w, kEventConnect, static_cast<uint16_t>(TranslateErrno(error)));
        return;
    }
    if (w->wantWrite) {
        w->wantWrite = false;
        Deliver(w, kEventWrite, 0);
    }
}

void MakeNotifiers(const std::shared_ptr<Watch>& w)
{
    std::weak_ptr<Watch> weak = w;
    w->read = std::make_unique<QSocketNotifier>(w->socket, QSocketNotifier::Read);
    w->read->setEnabled(false);
    QObject::connect(w->read.get(), &QSocketNotifier::activated, [weak] { OnReadable(weak); });
    w->write = std::make_unique<QSocketNotifier>(w->socket, QSocketNotifier::Write);
    w->write->setEnabled(false);
    QObject::connect(w->write.get(), &QSocketNotifier::activated, [weak] { OnWritable(weak); });
}

} // namespace

void PurgeRetiredNotifiers()
{
    if (dispatchDepth == 0) Retired().clear();
}

void WatchSocket(SocketHandle socket, NotificationWindow* window, int message, long mask)
{
    if (mask == 0) {
        UnwatchSocket(socket);
        return;
    }
    auto w = Find(socket);
    if (!w) {
        w = std::make_shared<Watch>();
        w->socket = socket;
        MakeNotifiers(w);
        Watches()[socket] = w;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        w->established = ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
    }
    w->window = window;
    w->message = message;
    w->listening = (mask & kEventAccept) && !(mask & kEventRead);
    if (w->listening || !w->established) {
        w->read->setEnabled(false);
    } else {
        EnableRead(*w);
    }
}

bool IsWatched(SocketHandle socket) { return Find(socket) != nullptr; }

void BeginConnectWatch(SocketHandle socket, bool inProgress, int immediateError)
{
    auto w = Find(socket);
    if (!w) return;
    if (inProgress && immediateError == 0) {
        // Either still in progress or connected at once; the writable event tells which.
        w->connecting = true;
        w->write->setEnabled(true);
        return;
    }
    std::weak_ptr<Watch> weak = w;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weak, immediateError] {
            auto live = weak.lock();
            if (live && IsCurrent(live))
                Deliver(live, kEventConnect, static_cast<uint16_t>(immediateError));
        },
        Qt::QueuedConnection);
}

void RearmRead(SocketHandle socket)
{
    auto it = Watches().find(socket);
    if (it == Watches().end()) return;
    Watch& w = *it->second;
    if (w.markRaised) {
        w.markRaised = false;
        const int mark = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
    }
    if (w.listening) {
        w.read->setEnabled(true);
    } else if (w.established) {
        EnableRead(w);
    }
}

void NoteRaisedMark(SocketHandle socket)
{
    auto it = Watches().find(socket);
    if (it != Watches().end()) it->second->markRaised = true;
}

void ArmWrite(SocketHandle socket)
{
    auto w = Find(socket);
    if (!w || w->connecting) return;
    w->wantWrite = true;
    w->write->setEnabled(true);
}

void UnwatchSocket(SocketHandle socket) { Watches().erase(socket); }

void ForgetWindow(NotificationWindow* window)
{
    for (auto& [socket, w] : Watches())
        if (w->window == window) {
            w->window = nullptr;
            w->read->setEnabled(false);
            w->write->setEnabled(false);
        }
}

} // namespace platform
