#include "support/TlsServerPeer.h"

#include <openssl/err.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <stdexcept>

namespace testsupport {

namespace {

// The listener is the test's own; sessions of one peer resume on its later connections.
constexpr unsigned char kSessionContext[] = "tavolen-test-peer";

} // namespace

TlsServerPeer::TlsServerPeer(const TestCertificates::KeyPair& identity, Newest newest)
    : context_(SSL_CTX_new(TLS_server_method()))
{
    SSL_CTX* c = context_.get();
    if (c == nullptr ||
        SSL_CTX_use_certificate_file(c, identity.certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(c, identity.key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("cannot load " + identity.certificate);
    SSL_CTX_set_session_id_context(c, kSessionContext, sizeof kSessionContext - 1);
    if (newest == Newest::Tls12) SSL_CTX_set_max_proto_version(c, TLS1_2_VERSION);
    if (newest == Newest::Tls11) {
        // Old protocol versions need the lowest security level to be spoken at all.
        SSL_CTX_set_security_level(c, 0);
        SSL_CTX_set_min_proto_version(c, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(c, TLS1_1_VERSION);
    }
}

TlsServerPeer::~TlsServerPeer() = default;

void TlsServerPeer::Drop()
{
    ssl_.reset();
    fd_.Reset();
    sawCloseNotify_ = false;
}

bool TlsServerPeer::Accept(int timeoutMs)
{
    Drop();
    fd_ = listener_.AcceptOne(timeoutMs);
    if (!fd_.Valid()) return false;
    timeval limit{10, 0};
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ssl_.reset(SSL_new(context_.get()));
    SSL_set_fd(ssl_.get(), fd_.Get());
    ERR_clear_error();
    return SSL_accept(ssl_.get()) == 1;
}

std::string TlsServerPeer::ServerNameSeen() const
{
    const char* name = ssl_ ? SSL_get_servername(ssl_.get(), TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? name : "";
}

bool TlsServerPeer::SessionReused() const { return ssl_ && SSL_session_reused(ssl_.get()) == 1; }

std::string TlsServerPeer::Version() const { return ssl_ ? SSL_get_version(ssl_.get()) : ""; }

void TlsServerPeer::Send(const std::string& data)
{
    size_t done = 0;
    while (ssl_ && done < data.size()) {
        size_t n = 0;
        if (SSL_write_ex(ssl_.get(), data.data() + done, data.size() - done, &n) != 1) return;
        done += n;
    }
}

std::string TlsServerPeer::Read(size_t count, bool toLineEnd)
{
    std::string data;
    char buffer[16384];
    while (ssl_ && data.size() < count) {
        const size_t want = toLineEnd ? 1 : std::min(sizeof buffer, count - data.size());
        size_t n = 0;
        if (SSL_read_ex(ssl_.get(), buffer, want, &n) != 1) {
            sawCloseNotify_ = SSL_get_error(ssl_.get(), 0) == SSL_ERROR_ZERO_RETURN;
            break;
        }
        data.append(buffer, n);

        if (toLineEnd && buffer[0] == '\n') break;
    }
    return data;
}

std::string TlsServerPeer::Receive(size_t count) { return Read(count, false); }

std::string TlsServerPeer::ReceiveLine() { return Read(std::string::npos, true); }

std::string TlsServerPeer::ReceiveToEnd() { return Read(std::string::npos, false); }

void TlsServerPeer::CloseNotify()
{
    if (ssl_) SSL_shutdown(ssl_.get());
    Drop();
}

void TlsServerPeer::SendCloseNotify()
{
    if (ssl_) SSL_shutdown(ssl_.get());
}

void TlsServerPeer::Cut() { Drop(); }

void TlsServerPeer::Reset()
{
    ssl_.reset();
    fd_.ResetConnection();
}

} // namespace testsupport
