#include "net/TlsEngine.h"

#include "net/CertificateReader.h"
#include "net/SockErrors.h"
#include "net/TlsContext.h"
#include "platform/SocketErrors.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>

// The session handle the layers above pass around without seeing inside.
class TTlsSession {
public:
    TTlsSession(SSL_SESSION* session, TCertificateInfo certificate)
        : session_(session), certificate_(std::move(certificate))
    {
    }
    ~TTlsSession() { SSL_SESSION_free(session_); }
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    SSL_SESSION* Get() const { return session_; }
    // The verdict of the full handshake that made the session. A resumed handshake sees no
    // certificate; it proves that the server is the one that passed (or failed) this check.
    const TCertificateInfo& Certificate() const { return certificate_; }

private:
    SSL_SESSION* session_;
    TCertificateInfo certificate_;
};

namespace {

bool IsAddressLiteral(const std::string& name)
{
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

int EngineIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

} // namespace

struct TlsEngine::Impl {
    SocketTransport transport;
    std::unique_ptr<SSL, SslFree> ssl;
    TTlsSessionRef resume;
    std::vector<std::string> pinned;
    std::vector<int> verifyErrors; // what the chain check found, in the order it found it
    bool established = false;
    bool failed = false; // a fatal error: nothing more may be read or written
    Ending ending = Ending::Open;
    std::string failureText;
    int failureSocketError = 0;
    TCertificateInfo certificate;
    // Decrypted bytes taken from OpenSSL by a peek and not yet received.
    std::unique_ptr<char[]> held = std::make_unique<char[]>(kPeekCapacity);
    size_t heldStart = 0;
    size_t heldCount = 0;

    static int RecordVerifyError(int ok, X509_STORE_CTX* store);
    void DescribePeer();
    long ReadRecords(char* buffer, size_t length);
    long ReadOnce(char* buffer, size_t length);
    long Failure(const std::string& what);
};

// The handshake goes on whatever the chain check finds; the verdict is kept for the caller, who
// decides (a person may accept a self-signed certificate).
int TlsEngine::Impl::RecordVerifyError(int ok, X509_STORE_CTX* store)
{
    if (!ok) {
        auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* self = static_cast<Impl*>(SSL_get_ex_data(ssl, EngineIndex()));
        if (self) self->verifyErrors.push_back(X509_STORE_CTX_get_error(store));
    }
    return 1;
}

TlsEngine::TlsEngine(platform::SocketHandle socket, const TTlsSettings& settings,
                     const std::string& serverName)
    : impl_(std::make_unique<Impl>())
{
    ERR_clear_error();
    SSL_CTX* context = ClientContext(settings);
    impl_->transport.socket = socket;
    impl_->ssl.reset(SSL_new(context));
    BIO* bio = impl_->ssl ? NewSocketBio(&impl_->transport) : nullptr;
    if (!bio)
        throw ESockError(OpenSslErrorText("cannot create a TLS connection"),
                         ErrorReason::TlsHandshakeFailed);
    SSL* ssl = impl_->ssl.get();
    SSL_set_bio(ssl, bio, bio);
    SSL_set_connect_state(ssl);
    SSL_set_ex_data(ssl, EngineIndex(), impl_.get());
    SSL_set_verify(ssl, SSL_VERIFY_PEER, &Impl::RecordVerifyError);

    X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
    if (IsAddressLiteral(serverName)) {
        // Servers choose a certificate by name only; an address is checked, never sent.
        X509_VERIFY_PARAM_set1_ip_asc(check, serverName.c_str());
    } else if (!serverName.empty()) {
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(check, serverName.c_str(), 0);
        SSL_set_tlsext_host_name(ssl, serverName.c_str());
    }
    if (settings.Resume) {
        impl_->resume = settings.Resume;
        SSL_set_session(ssl, settings.Resume->Get());
    }
    for (const std::string& text : settings.PinnedFingerprints)
        if (auto fingerprint = CanonicalFingerprint(text)) impl_->pinned.push_back(*fingerprint);
}

TlsEngine::~TlsEngine() = default;

TlsEngine::Step TlsEngine::Handshake()
{
    Impl& d = *impl_;
    if (d.established) return Step::Done;
    if (d.failed) return Step::Failed;
    ERR_clear_error();
    const int result = SSL_do_handshake(d.ssl.get());
    if (result == 1) {
        d.established = true;
        d.DescribePeer();
        return Step::Done;
    }
    const int error = SSL_get_error(d.ssl.get(), result);
    if (error == SSL_ERROR_WANT_READ) return Step::WantRead;
    if (error == SSL_ERROR_WANT_WRITE) return Step::WantWrite;
    d.failed = true;
    if (d.transport.socketError != 0) {
        d.failureSocketError = d.transport.socketError;
        ERR_clear_error();
    } else if (d.transport.endOfStream) {
        d.failureText = "the server closed the connection";
        ERR_clear_error();
    } else {
        d.failureText = OpenSslErrorText("no reason given");
    }
    return Step::Failed;
}

void TlsEngine::Impl::DescribePeer()
{
    SSL* s = ssl.get();
    if (resume && SSL_session_reused(s)) {
        certificate = resume->Certificate();
    } else {
        X509* peer = SSL_get0_peer_certificate(s);
        certificate = DescribeCertificate(peer);
        if (peer == nullptr) {
            certificate.Problems = {TCertificateProblem::NoCertificate};
            certificate.Problem = ProblemText(TCertificateProblem::NoCertificate);
        }
        for (const int error : verifyErrors) AddVerifyProblem(certificate, error);
        // The chain check reports through the callback; should it ever fail without doing so,
        // its final word still counts.
        const long verdict = SSL_get_verify_result(s);
        if (peer != nullptr && verifyErrors.empty() && verdict != X509_V_OK)
            AddVerifyProblem(certificate, static_cast<int>(verdict));
    }
    certificate.Pinned =
        !certificate.Fingerprint.empty() &&
        std::find(pinned.begin(), pinned.end(), certificate.Fingerprint) != pinned.end();
}

bool TlsEngine::Established() const { return impl_->established; }
const std::string& TlsEngine::FailureText() const { return impl_->failureText; }
int TlsEngine::FailureSocketError() const { return impl_->failureSocketError; }
const TCertificateInfo& TlsEngine::Certificate() const { return impl_->certificate; }
bool TlsEngine::Resumed() const
{
    return impl_->established && SSL_session_reused(impl_->ssl.get());
}
std::string TlsEngine::Version() const { return SSL_get_version(impl_->ssl.get()); }

std::string TlsEngine::Cipher() const
{
    const SSL_CIPHER* cipher = SSL_get_current_cipher(impl_->ssl.get());
    return cipher ? SSL_CIPHER_get_name(cipher) : "";
}

TTlsSessionRef TlsEngine::Session() const
{
    if (!impl_->established) return nullptr;
    // In TLS 1.3 the server sends what can be resumed after the handshake, with the first
    // records that follow it; until then the session cannot be resumed and there is none to give.
    SSL_SESSION* session = SSL_get1_session(impl_->ssl.get());
    if (session == nullptr) return nullptr;
    if (SSL_SESSION_is_resumable(session) != 1) {
        SSL_SESSION_free(session);
        return nullptr;
    }
    // A copy of its own: OpenSSL marks a connection's session as not to be resumed when the
    // connection ends without its close_notify having gone out (a peer that cut it first, say),
    // which would take the memory away from connections still to come.
    SSL_SESSION* copy = SSL_SESSION_dup(session);
    SSL_SESSION_free(session);
    if (copy == nullptr) return nullptr;
    return std::make_shared<const TTlsSession>(copy, impl_->certificate);
}

// --- Reading ------------------------------------------------------------------------------------

long TlsEngine::Impl::Failure(const std::string& what)
{
    failed = true;
    failureText = what;
    throw ESockError("TLS error: " + what, ErrorReason::TlsFailed);
}

// One SSL_read: what one record (or what is left of it) yields.
long TlsEngine::Impl::ReadOnce(char* buffer, size_t length)
{
    if (ending != Ending::Open) return 0;
    if (failed) {
        if (failureSocketError == 0)
            throw ESockError("TLS error: " + failureText, ErrorReason::TlsFailed);
        platform::SetLastSocketError(failureSocketError);
        return -1;
    }
    ERR_clear_error();
    size_t done = 0;
    if (SSL_read_ex(ssl.get(), buffer, length, &done) == 1) return static_cast<long>(done);
    switch (SSL_get_error(ssl.get(), 0)) {
    case SSL_ERROR_ZERO_RETURN:
        ending = Ending::CloseNotify;
        // Answered at once, as TLS 1.2 requires: some servers (vsftpd) wait for our close_notify
        // before they report a download complete on the control connection, and our side only
        // closes after that report. Should the socket be full, the close tries again.
        ERR_clear_error();
        SSL_shutdown(ssl.get());
        ERR_clear_error();
        return 0;
    case SSL_ERROR_WANT_WRITE:
        // A write the read cannot finish without (a key update answered): wake the waiting loop
        // when the socket takes bytes again.
        platform::ArmWriteWakeup(transport.socket);
        [[fallthrough]];
    case SSL_ERROR_WANT_READ: platform::SetLastSocketError(platform::kErrWouldBlock); return -1;
    default: break;
    }
    if (transport.socketError != 0) {
        failed = true;
        failureSocketError = transport.socketError;
        ERR_clear_error();
        platform::SetLastSocketError(failureSocketError);
        return -1;
    }
    if (transport.endOfStream) {
        // The peer ended the stream without close_notify: whatever it sent last may be missing.
        ending = Ending::Truncated;
        ERR_clear_error();
        return 0;
    }
    return Failure(OpenSslErrorText("no reason given"));
}

// Fills `buffer` from as many records as are there: a record holds at most 16 KiB, a caller's
// chunk up to 64 KiB. The end, a failure or "would block" after some bytes shows on the next call.
long TlsEngine::Impl::ReadRecords(char* buffer, size_t length)
{
    size_t total = 0;
    while (total < length) {
        const long n = ReadOnce(buffer + total, length - total);
        if (n <= 0) return total > 0 ? static_cast<long>(total) : n;
        total += static_cast<size_t>(n);
    }
    return static_cast<long>(total);
}

long TlsEngine::Receive(void* buffer, size_t length, bool peek)
{
    Impl& d = *impl_;
    auto* out = static_cast<char*>(buffer);
    if (!peek) {
        if (d.heldCount == 0) return d.ReadRecords(out, length);
        const size_t n = std::min(length, d.heldCount);
        std::memcpy(out, d.held.get() + d.heldStart, n);
        d.heldStart += n;
        d.heldCount -= n;
        if (d.heldCount == 0) d.heldStart = 0;
        return static_cast<long>(n);
    }
    // A peek shows what is waiting without taking it: decrypted bytes are kept here until a
    // receive takes them.
    const size_t wanted = std::min(length, kPeekCapacity);
    if (d.heldCount < wanted) {
        if (d.heldStart > 0) {
            std::memmove(d.held.get(), d.held.get() + d.heldStart, d.heldCount);
            d.heldStart = 0;
        }
        const long n = d.ReadRecords(d.held.get() + d.heldCount, wanted - d.heldCount);
        if (n > 0) d.heldCount += static_cast<size_t>(n);
        if (n <= 0 && d.heldCount == 0) return n;
    }
    const size_t shown = std::min(wanted, d.heldCount);
    std::memcpy(out, d.held.get() + d.heldStart, shown);
    return static_cast<long>(shown);
}

long TlsEngine::Held() const
{
    return static_cast<long>(impl_->heldCount) + SSL_pending(impl_->ssl.get());
}

bool TlsEngine::InputWaiting()
{
    if (Held() > 0) return true;
    if (!impl_->established || impl_->failed) return false;
    try {
        char probe;
        return Receive(&probe, 1, true) > 0;
    } catch (const ESockError&) {
        return false;
    }
}

TlsEngine::Ending TlsEngine::PeerEnding() const { return impl_->ending; }

// --- Writing ------------------------------------------------------------------------------------

long TlsEngine::Send(const void* data, size_t length, bool moreFollows)
{
    Impl& d = *impl_;
    if (d.failed) {
        if (d.failureSocketError == 0)
            throw ESockError("TLS error: " + d.failureText, ErrorReason::TlsFailed);
        platform::SetLastSocketError(d.failureSocketError);
        return -1;
    }
    if (length == 0) return 0;
    ERR_clear_error();
    d.transport.moreFollows = moreFollows;
    size_t done = 0;
    const int result = SSL_write_ex(d.ssl.get(), data, length, &done);
    d.transport.moreFollows = false;
    if (result == 1) return static_cast<long>(done);
    const int error = SSL_get_error(d.ssl.get(), 0);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        platform::SetLastSocketError(platform::kErrWouldBlock);
        return -1;
    }
    if (d.transport.socketError != 0) {
        d.failed = true;
        d.failureSocketError = d.transport.socketError;
        ERR_clear_error();
        platform::SetLastSocketError(d.failureSocketError);
        return -1;
    }
    return d.Failure(OpenSslErrorText("no reason given"));
}

bool TlsEngine::SendCloseNotify(int waitMs)
{
    Impl& d = *impl_;
    // After a fatal error, or a stream the peer cut, OpenSSL must not be asked to shut down.
    if (!d.established || d.failed || d.ending == Ending::Truncated) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    bool sent = false;
    for (;;) {
        ERR_clear_error();
        const int result = SSL_shutdown(d.ssl.get());
        if (result >= 0) {
            sent = true; // ours went out; the peer's is not waited for
            break;
        }
        if (SSL_get_error(d.ssl.get(), result) != SSL_ERROR_WANT_WRITE) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        // The socket's buffer is full (the tail of an upload); the alert is tiny and goes as soon
        // as the peer has read a little.
        if (!platform::WaitUntilWritable(d.transport.socket, static_cast<int>(left.count()))) break;
    }
    ERR_clear_error();
    return sent;
}
