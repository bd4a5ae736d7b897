#pragma once
// Someone in the middle of the control connection, for tests of what a client does when some of
// its sessions are downgraded: it listens on 127.0.0.1 and relays each session to the real
// server byte for byte, except the sessions it was told to strip (counted from 1, in the order
// the client connects). Those it answers itself, as a server without TLS would ("220", then
// "500" to AUTH) or, given a stand-in certificate, as a server with TLS and that certificate
// ("234" to AUTH, then the handshake), and records every line the client sends there: a
// password among them is a password the man in the middle has. Stripped sessions never reach
// the server.
//
// Data connections do not pass through it: a passive reply names the server's own port.
#include "support/Loopback.h"
#include "support/TestCertificates.h"

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class StrippingRelay {
public:
    StrippingRelay(uint16_t serverPort, std::set<int> stripped,
                   const std::optional<TestCertificates::KeyPair>& standIn = std::nullopt);
    ~StrippingRelay(); // stops the thread and closes every connection
    StrippingRelay(const StrippingRelay&) = delete;
    StrippingRelay& operator=(const StrippingRelay&) = delete;

    uint16_t Port() const { return listener_.Port(); }
    void Start();

    // Thread-safe. The lines clients sent on stripped sessions, each as "N: LINE" where N is the
    // session's number.
    std::vector<std::string> StrippedLines() const;
    // How many sessions connected so far.
    int Sessions() const;

private:
    struct Link;
    void Run();
    void Accept(std::vector<Link>& links);
    // False once the link is over.
    bool Relay(Link& link, int from);
    bool Answer(Link& link);
    // The handshake of a stripped session, as the server with the stand-in certificate.
    bool StandIn(Link& link);

    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
        void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    };

    const uint16_t serverPort_;
    const std::set<int> stripped_;
    std::unique_ptr<SSL_CTX, SslFree> standIn_;
    LoopbackListener listener_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    int sessions_ = 0;
};

} // namespace testsupport
