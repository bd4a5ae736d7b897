// The orderly close that waits for the peer (CloseSocketAfterPeer in Sockets.h).
#include "platform/Sockets.h"

#include "platform/SocketWatch.h"

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// One socket whose side of the stream has ended, kept open until the peer has ended its side.
// The application owns it (as a child); it frees itself when done, and goes with the application
// at the latest.
class Closing : public QObject {
public:
    Closing(SocketHandle socket, QObject* owner)
        : QObject(owner), socket_(socket), readable_(socket, QSocketNotifier::Read)
    {
        connect(&readable_, &QSocketNotifier::activated, this, [this] { Drain(); });
        limit_.setSingleShot(true);
        connect(&limit_, &QTimer::timeout, this, [this] { Finish(); });
        limit_.start(kCloseAfterPeerLimitMs);
    }
    ~Closing() override { ::close(socket_); }

private:
    void Drain()
    {
        char scratch[16384];
        for (;;) {
            const ssize_t n = ::recv(socket_, scratch, sizeof scratch, MSG_DONTWAIT);
            if (n > 0) {
                dropped_ += static_cast<size_t>(n);
                if (dropped_ <= kDropLimit) continue;
                // A peer that goes on sending this much is not about to close: it is sending
                // something we gave up on (a download). A reset stops it.
                SetLinger(socket_, true, 0);
                break;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            break; // the peer has closed, or the connection is gone
        }
        Finish();
    }
    void Finish()
    {
        readable_.setEnabled(false);
        limit_.stop();
        deleteLater(); // not while its own notifier is delivering
    }

    static constexpr size_t kDropLimit = 256 * 1024;

    SocketHandle socket_;
    size_t dropped_ = 0;
    QSocketNotifier readable_;
    QTimer limit_;
};

} // namespace

int CloseSocketAfterPeer(SocketHandle socket)
{
    UnwatchSocket(socket);
    // Whatever the socket was set to, this close must not be an abortive one.
    SetLinger(socket, false, 0);
    ::shutdown(socket, SHUT_WR);
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) return CloseSocket(socket);
    new Closing(socket, application); // owned by the application from here on
    return 0;
}

} // namespace platform
