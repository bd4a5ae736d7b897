#pragma once
// Helpers for the socket component's TLS tests: settings that trust the test CA, and a component
// connected to an in-process TLS server whose side runs on a thread of its own.
#include "support/RealServers.h"
#include "support/TlsServerPeer.h"

#include "net/Wirecore.h"

#include <functional>
#include <string>
#include <thread>

namespace tlstest {

using testsupport::TestCertificates;
using testsupport::TlsServerPeer;

inline const TestCertificates& Certs() { return TestCertificates::Shared(); }

// Trusts the test CA besides the system's; the certificate must name `serverName`.
inline TTlsSettings TrustingTestCa(const std::string& serverName = "localhost")
{
    TTlsSettings settings;
    settings.ServerName = serverName;
    settings.CaFiles = {Certs().CaFile()};
    return settings;
}

// Connects `socket` to 127.0.0.1 and `peer`, and runs the client handshake with `settings` while
// the peer accepts; once its handshake is done the peer runs `serve` on its thread. Destroying
// the link waits for that thread.
class TlsLink {
public:
    TlsLink(TWirecore& socket, TlsServerPeer& peer,
            const std::function<void(TlsServerPeer&)>& serve,
            const TTlsSettings& settings = TrustingTestCa())
        : server_([&peer, serve] {
              if (peer.Accept()) serve(peer);
          })
    {
        socket.Host = "127.0.0.1";
        socket.Port = peer.Port();
        socket.Connect();
        socket.StartTls(settings);
    }
    void Join() { server_.join(); }

private:
    std::jthread server_;
};

#define TAVOLEN_REQUIRE_OPENSSL()                                                                  \
    TAVOLEN_REQUIRE(::testsupport::TestCertificates::Available(), "the openssl command")

} // namespace tlstest
