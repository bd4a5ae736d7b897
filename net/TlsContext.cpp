#include "net/TlsContext.h"

#include "net/SockErrors.h"
#include "platform/SocketErrors.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Records of up to 16 KiB each: reading ahead this much takes several from the socket at once,
// so a transfer costs one receive per few records instead of two per record.
constexpr int kReadAheadBytes = 256 * 1024;

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using ContextKey = std::pair<bool, std::vector<std::string>>;

SSL_CTX* MakeContext(const TTlsSettings& settings)
{
    std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_client_method()));
    if (!context)
        throw ESockError(OpenSslErrorText("cannot create a TLS context"),
                         ErrorReason::TlsHandshakeFailed);
    SSL_CTX* c = context.get();
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    // A server asking to renegotiate in the middle of a transfer would need reads inside writes;
    // nothing we talk to needs it, and refusing it keeps each direction simple.
    SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION);
    // A write that would block is offered again by the stream loops, from the same place in
    // their buffer but not always the same address (a line copied again).
    SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(c, 1);
    SSL_CTX_set_default_read_buffer_len(c, kReadAheadBytes);
    if (settings.SystemTrust) SSL_CTX_set_default_verify_paths(c);
    for (const std::string& file : settings.CaFiles) {
        if (SSL_CTX_load_verify_locations(c, file.c_str(), nullptr) != 1)
            throw ESockError("Cannot read the trust anchors in " + file + ": " +
                                 OpenSslErrorText("no certificate found"),
                             ErrorReason::TlsHandshakeFailed);
    }
    return context.release();
}

// --- The socket BIO -------------------------------------------------------------------------

SocketTransport* TransportOf(BIO* bio) { return static_cast<SocketTransport*>(BIO_get_data(bio)); }

int SocketRead(BIO* bio, char* buffer, size_t length, size_t* done)
{
    SocketTransport* transport = TransportOf(bio);
    BIO_clear_retry_flags(bio);
    const long n = platform::Receive(transport->socket, buffer, length);
    if (n > 0) {
        *done = static_cast<size_t>(n);
        return 1;
    }
    if (n == 0) {
        transport->endOfStream = true;
    } else if (platform::LastSocketError() == platform::kErrWouldBlock) {
        BIO_set_retry_read(bio);
    } else {
        transport->socketError = platform::LastSocketError();
    }
    return 0;
}

int SocketWrite(BIO* bio, const char* data, size_t length, size_t* done)
{
    SocketTransport* transport = TransportOf(bio);
    BIO_clear_retry_flags(bio);
    const long n = platform::Send(transport->socket, data, length, transport->moreFollows);
    if (n > 0) {
        *done = static_cast<size_t>(n);
        return 1;
    }
    if (n == 0 || platform::LastSocketError() == platform::kErrWouldBlock) {
        BIO_set_retry_write(bio);
    } else {
        transport->socketError = platform::LastSocketError();
    }
    return 0;
}

long SocketControl(BIO* bio, int command, long, void*)
{
    switch (command) {
    case BIO_CTRL_FLUSH: return 1; // every write goes straight to the socket
    case BIO_CTRL_EOF: return TransportOf(bio)->endOfStream ? 1 : 0;
    default: return 0;
    }
}

int SocketCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "wirecore");
        BIO_meth_set_read_ex(m, SocketRead);
        BIO_meth_set_write_ex(m, SocketWrite);
        BIO_meth_set_ctrl(m, SocketControl);
        BIO_meth_set_create(m, SocketCreate);
        return m;
    }();
    return method;
}

} // namespace

SSL_CTX* ClientContext(const TTlsSettings& settings)
{
    static std::map<ContextKey, std::unique_ptr<SSL_CTX, ContextFree>> contexts;
    ContextKey key{settings.SystemTrust, settings.CaFiles};
    auto found = contexts.find(key);
    if (found != contexts.end()) return found->second.get();
    SSL_CTX* context = MakeContext(settings);
    contexts.emplace(std::move(key), context);
    return context;
}

BIO* NewSocketBio(SocketTransport* transport)
{
    BIO* bio = BIO_new(SocketMethod());
    if (bio != nullptr) BIO_set_data(bio, transport);
    return bio;
}

namespace {

// What the library's terse reasons mean for someone who connected to an FTP server; empty for
// a reason with nothing to add.
std::string ReasonInWords(int reason)
{
    switch (reason) {
    // The bytes that came back are no TLS record: "220 ..." or "500 ..." in clear, from a server
    // (or something in between) that agreed to TLS and then did not speak it.
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
        return "the server answered in plain text after agreeing to TLS";
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE: return "the server accepts only TLS versions older than 1.2";
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_NO_SHARED_CIPHER: return "the server and this program have no cipher in common";
    default: return {};
    }
}

} // namespace

std::string OpenSslErrorText(const std::string& fallback)
{
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0) return fallback;
    std::string raw;
    if (const char* reason = ERR_reason_error_string(error)) {
        raw = reason;
    } else {
        char text[256];
        ERR_error_string_n(error, text, sizeof text);
        raw = text;
    }
    // The library's own words stay beside ours, for whoever looks the problem up.
    const std::string words = ReasonInWords(ERR_GET_REASON(error));
    return words.empty() ? raw : words + " (" + raw + ")";
}
