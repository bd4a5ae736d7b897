// The component's operations that never wait: each does what the socket allows now and returns,
// for callers that go on when the socket's next notification comes (OnSocketEvent).
#include "net/Wirecore.h"

#include "net/TlsEngine.h"
#include "platform/LocalFile.h"
#include "platform/SocketErrors.h"

namespace {

const char* const kClosedInHandshake = "TLS handshake failed: the server closed the connection";

} // namespace

void TWirecore::BeginConnect(const platform::SocketAddress& address)
{
    ReportStatus(8, "Connecting");
    if (Connected) throw ESockError("Already connected", ErrorReason::AlreadyConnected);
    tlsTruncated_ = false;
    LastEventOk = true;
    LastError = 0;
    RemoteAddress = address;
    if (!SwapSocket(address.family)) {
        LastError = platform::LastSocketError();
        throw ESockError("Connection Failed", ErrorReason::ConnectFailed, LastError);
    }
    if (platform::Connect(SocketHandle, address) != 0 &&
        platform::LastSocketError() != platform::kErrWouldBlock) {
        LastError = platform::LastSocketError();
        throw ESockError("Connection Failed", ErrorReason::ConnectFailed, LastError);
    }
}

bool TWirecore::BeginTls(const TTlsSettings& settings)
{
    ReportStatus(8, "TLS Handshake");
    if (!Connected) throw ESockError("TLS needs a connection", ErrorReason::NotConnected);
    if (tls_) throw ESockError("TLS is already on", ErrorReason::TlsHandshakeFailed);
    tlsTruncated_ = false;
    peerCertificate_ = TCertificateInfo();
    const std::string& serverName = settings.ServerName.empty() ? Host : settings.ServerName;
    try {
        tls_ = std::make_unique<TlsEngine>(SocketHandle, settings, serverName);
    } catch (...) {
        CloseSocket();
        throw;
    }
    return ContinueTls();
}

bool TWirecore::ContinueTls()
{
    if (!tls_) throw ESockError(kClosedInHandshake, ErrorReason::TlsHandshakeFailed);
    if (tls_->Established()) return true;
    const TlsEngine::Step step = tls_->Handshake();
    if (step == TlsEngine::Step::Done) {
        peerCertificate_ = tls_->Certificate();
        ReportStatus(8, "TLS established: " + tls_->Version() + " " + tls_->Cipher() +
                            (tls_->Resumed() ? " (resumed)" : ""));
        return true;
    }
    if (step == TlsEngine::Step::Failed) {
        const int socketError = tls_->FailureSocketError();
        const std::string why = socketError != 0
                                    ? LookupErrorMessage(static_cast<uint16_t>(socketError))
                                    : tls_->FailureText();
        CutConnection();
        throw ESockError("TLS handshake failed: " + why, ErrorReason::TlsHandshakeFailed,
                         socketError);
    }
    // A receive that found nothing has asked for the read notification; a send that would block
    // asks for the write one.
    if (step == TlsEngine::Step::WantWrite) platform::ArmWriteWakeup(SocketHandle);
    return false;
}

long TWirecore::ReceiveSomeToFile(platform::LocalFile& file)
{
    const long received = ReceiveChunkToFile(file, file.Path());
    if (received > 0) {
        BytesReceived += received;
        if (OnPacketRecvd) OnPacketRecvd(this);
        return received;
    }
    if (received == 0) {
        if (tls_ && tls_->PeerEnding() == TlsEngine::Ending::Truncated) tlsTruncated_ = true;
        return 0;
    }
    CheckSocketError(kToleratedError);
    return -1;
}

long TWirecore::SendSomeFromFile(platform::LocalFile& file)
{
    long sent = 0;
    // Through the working buffer when TLS must see the bytes, or a checksum.
    if (TlsActive() || OnFileBytes) {
        // The engine must be offered the same bytes again after "would block", so a block is
        // read only once the last one has gone; what is left of it waits in the working buffer.
        if (pendingSend_ == 0) {
            pendingSend_ = file.Read(IoBuffer(), kChunkSize);
            pendingSendAt_ = 0;
            if (pendingSend_ == 0) return 0;
            if (OnFileBytes) OnFileBytes(IoBuffer(), pendingSend_);
        }
        sent = SendBytes(IoBuffer() + pendingSendAt_, pendingSend_, true);
        if (sent > 0) {
            pendingSendAt_ += static_cast<size_t>(sent);
            pendingSend_ -= static_cast<size_t>(sent);
        }
    } else {
        sent = platform::SendFromFile(SocketHandle, file.Descriptor(), kChunkSize);
        if (sent == 0) return 0;
        if (sent == platform::kFileReadFailed) throw FileReadError(file.Path());
    }
    if (sent > 0) {
        BytesSent += sent;
        if (OnPacketSent) OnPacketSent(this);
        return sent;
    }
    CheckSocketError(kToleratedError);
    platform::ArmWriteWakeup(SocketHandle);
    return -1;
}

bool TWirecore::AcceptWaiting(const platform::SocketAddress* from)
{
    platform::SocketAddress peer;
    platform::SocketHandle accepted = platform::kNoSocket;
    // A refused connection may have come together with the one awaited, and one notification
    // announced both: the next one is taken at once, until none is left waiting.
    while (accepted == platform::kNoSocket) {
        accepted = platform::Accept(SocketHandle, &peer);
        if (accepted == platform::kNoSocket) {
            // Still listening: the accept notification's "connected" did not come true.
            Connected = false;
            if (platform::LastSocketError() == platform::kErrWouldBlock) return false;
            LastError = platform::LastSocketError();
            throw ESockError(LookupErrorMessage(static_cast<uint16_t>(LastError)),
                             ErrorReason::AcceptFailed, LastError);
        }
        if (from && !platform::SameHost(peer, *from)) {
            ReportStatus(4, "Data connection from " + platform::AddressText(peer) + " refused");
            platform::CloseSocket(accepted);
            accepted = platform::kNoSocket;
        }
    }
    platform::AsyncSelect(accepted, WindowHandle(), platform::kSocketMessage,
                          platform::kStreamEventMask);
    platform::CloseSocket(SocketHandle);
    SocketHandle = accepted;
    RemoteAddress = peer;
    Connected = true;
    return true;
}
