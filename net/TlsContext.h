#pragma once
// Internal to net/: the OpenSSL pieces a client connection is made from. A context per set of
// trust anchors, kept for the life of the process (loading the system's trust store takes
// milliseconds, and every data connection of a session needs the same one), and the BIO that
// carries a connection's encrypted bytes over the platform layer's socket calls.
#include "net/TlsSettings.h"
#include "platform/Sockets.h"

#include <openssl/ssl.h>

// The client context for these trust anchors. Raises ESockError (TlsHandshakeFailed) when a CA
// file cannot be read.
SSL_CTX* ClientContext(const TTlsSettings& settings);

// What the socket said while OpenSSL read and wrote through it.
struct SocketTransport {
    platform::SocketHandle socket = platform::kNoSocket;
    bool moreFollows = false; // the caller sends more right after: let the system fill segments
    bool endOfStream = false; // a receive found the peer's end of the stream
    int socketError = 0;      // a receive or send failed with this error number
};

// A BIO over platform::Receive/Send on transport->socket. It refers to `transport`, which must
// outlive it.
BIO* NewSocketBio(SocketTransport* transport);

// The reason OpenSSL gives for the oldest error queued on this thread ("wrong version number",
// ...), or `fallback` when there is none. Empties the queue.
std::string OpenSslErrorText(const std::string& fallback);
