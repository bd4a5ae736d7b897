#pragma once
// The client side of TLS on one of the socket component's non-blocking sockets (OpenSSL; none of
// its types show here). The encrypted bytes go through platform::Receive and platform::Send, so
// the socket's notifications and error numbers work as they do for plain bytes: a receive that
// finds nothing re-arms the read notification, and a failure leaves its error number in
// platform::LastSocketError().
//
// Nothing here waits. Every call does what it can at once and says "would block" (-1 with error
// 10035, or WantRead/WantWrite) when it cannot go on; the component waits in the event loop and
// calls again. A call that needs the socket to become writable arms the write wake-up itself.
//
// Used by TWirecore only; the layers above see TTlsSettings, TTlsSession and TCertificateInfo.
#include "net/Certificate.h"
#include "net/TlsSettings.h"
#include "platform/Sockets.h"

#include <memory>
#include <string>

class TlsEngine {
public:
    enum class Step { Done, WantRead, WantWrite, Failed };
    // How the peer's side of the stream ended: not yet, with close_notify, or cut without it.
    enum class Ending { Open, CloseNotify, Truncated };

    // Prepares a handshake with the server `serverName` (a host name, sent as SNI and checked
    // against the certificate, or an address, only checked). Raises ESockError
    // (TlsHandshakeFailed) when the settings cannot be used, e.g. an unreadable CA file.
    TlsEngine(platform::SocketHandle socket, const TTlsSettings& settings,
              const std::string& serverName);
    ~TlsEngine();
    TlsEngine(const TlsEngine&) = delete;
    TlsEngine& operator=(const TlsEngine&) = delete;

    // One step of the handshake. After Failed, FailureText() says why, and FailureSocketError()
    // gives the socket error number when the socket itself failed (0 otherwise).
    Step Handshake();
    bool Established() const;
    const std::string& FailureText() const;
    int FailureSocketError() const;

    // After the handshake: the server's certificate and the verdict on it, the session to resume
    // elsewhere (null until the server has sent one that can be resumed), what was negotiated.
    const TCertificateInfo& Certificate() const;
    TTlsSessionRef Session() const;
    bool Resumed() const;
    std::string Version() const;
    std::string Cipher() const;

    // Like platform::Receive: a count, 0 at the end of the stream (Ending() says how it ended),
    // -1 with platform::LastSocketError() (10035 when nothing can be had now). A peek can see up
    // to kPeekCapacity decrypted bytes, across records. Raises ESockError (TlsFailed) on a TLS
    // protocol error; the engine stays failed after that.
    long Receive(void* buffer, size_t length, bool peek);
    // Like platform::Send. After "would block" the same bytes must be offered again.
    long Send(const void* data, size_t length, bool moreFollows);
    // Decrypted bytes held here that no socket notification will announce.
    long Held() const;
    // Whether anything can be received now without waiting: held bytes, or a record that has
    // arrived. Never raises; a failed stream has nothing waiting.
    bool InputWaiting();
    Ending PeerEnding() const;
    // Sends close_notify, waiting at most `waitMs` for room in the socket; true when it went.
    bool SendCloseNotify(int waitMs);

    static constexpr size_t kPeekCapacity = 65536;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
