#pragma once
// A TLS server for tests of the socket component without an FTP server: it listens on a loopback
// port and is driven from a test's own thread with blocking calls (each gives up after a few
// seconds, so a peer thread never outlives a failed test). It accepts and shakes hands, sends and
// receives, and ends a stream in each way a TLS stream can end.
//
//     testsupport::TlsServerPeer peer(certs.Server());
//     std::jthread server([&] { if (peer.Accept()) peer.Send("hello\r\n"); peer.CloseNotify(); });
//     socket.Host = "localhost"; socket.Port = peer.Port(); socket.Connect();
//     socket.StartTls(settings);
#include "support/Loopback.h"
#include "support/TestCertificates.h"

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>

namespace testsupport {

class TlsServerPeer {
public:
    enum class Newest { Tls11, Tls12, Tls13 }; // the newest protocol version the server speaks

    explicit TlsServerPeer(const TestCertificates::KeyPair& identity,
                           Newest newest = Newest::Tls13);
    ~TlsServerPeer();
    TlsServerPeer(const TlsServerPeer&) = delete;
    TlsServerPeer& operator=(const TlsServerPeer&) = delete;

    uint16_t Port() const { return listener_.Port(); }

    // Waits for the next connection and runs the server handshake on it; the connection before
    // is dropped. False when no client came or the handshake failed. Sessions of earlier
    // connections to this peer can be resumed.
    bool Accept(int timeoutMs = 5000);
    // Of the last handshake: the name the client asked for (empty when it sent none), whether it
    // resumed a session, the protocol version ("TLSv1.3").
    std::string ServerNameSeen() const;
    bool SessionReused() const;
    std::string Version() const;

    void Send(const std::string& data);
    // Exactly `count` bytes, or fewer when the stream ends first.
    std::string Receive(size_t count);
    std::string ReceiveLine();
    // Everything until the client ends the stream.
    std::string ReceiveToEnd();
    // The last receive ended because the client sent close_notify (not a bare end of TCP).
    bool ClientSentCloseNotify() const { return sawCloseNotify_; }

    // Sends close_notify and closes the connection.
    void CloseNotify();
    // Sends close_notify and keeps the connection, to see whether the client answers in kind.
    void SendCloseNotify();
    // Closes the connection without close_notify, as an attacker forging the end would.
    void Cut();
    // Closes so that the client sees the connection reset.
    void Reset();

private:
    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
        void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    };
    std::string Read(size_t count, bool toLineEnd);
    void Drop();

    LoopbackListener listener_;
    std::unique_ptr<SSL_CTX, SslFree> context_;
    UniqueFd fd_;
    std::unique_ptr<SSL, SslFree> ssl_;
    bool sawCloseNotify_ = false;
};

} // namespace testsupport
