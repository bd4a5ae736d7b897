// TLS on the component's connection: the client handshake, what it found out about the server,
// closing with close_notify, and the byte transport under the stream operations, which goes
// through TLS when it is on and straight to the socket otherwise.
//
// The waiting loops of the stream operations block in the event loop only after a receive found
// nothing (the receive re-armed the read notification) or a send would block (they arm the write
// wake-up). Over TLS both still hold: "nothing" means OpenSSL had to ask the socket and the
// socket had nothing, and decrypted bytes OpenSSL or the engine holds are always handed out
// before that. So no loop waits for a notification while bytes are already here.
#include "net/Wirecore.h"

#include "net/TlsEngine.h"
#include "net/Wait.h"
#include "platform/LocalFile.h"
#include "platform/SocketErrors.h"

namespace {

const char* const kHandshakeCanceled = "TLS handshake canceled";
const char* const kHandshakeTimedOut = "TLS handshake timed out";
const char* const kClosedInHandshake = "TLS handshake failed: the server closed the connection";

// How long a close waits for room in the socket to send close_notify. The alert is a few dozen
// bytes; the socket is full only right after a large send, and a reading peer empties it in
// moments. A peer that stopped reading is not waited for.
constexpr int kCloseNotifyWaitMs = 250;

// The engine only once its handshake is done: before that, stream operations see the socket.
TlsEngine* Established(const std::unique_ptr<TlsEngine>& tls)
{
    return tls && tls->Established() ? tls.get() : nullptr;
}

} // namespace

bool TWirecore::TlsActive() const { return Established(tls_) != nullptr; }

TTlsSessionRef TWirecore::TlsSession() const
{
    const TlsEngine* engine = Established(tls_);
    return engine ? engine->Session() : nullptr;
}

bool TWirecore::TlsResumed() const
{
    const TlsEngine* engine = Established(tls_);
    return engine && engine->Resumed();
}

std::string TWirecore::TlsVersion() const
{
    const TlsEngine* engine = Established(tls_);
    return engine ? engine->Version() : std::string();
}

std::string TWirecore::TlsCipher() const
{
    const TlsEngine* engine = Established(tls_);
    return engine ? engine->Cipher() : std::string();
}

void TWirecore::StartTls(const TTlsSettings& settings)
{
    ReportStatus(8, "TLS Handshake");
    if (!Connected) throw ESockError("TLS needs a connection", ErrorReason::NotConnected);
    if (tls_) throw ESockError("TLS is already on", ErrorReason::TlsHandshakeFailed);
    TimerGuard timer(*this);
    tlsTruncated_ = false;
    peerCertificate_ = TCertificateInfo();
    const std::string& connectedTo = Proxy.empty() ? Host : Proxy;
    const std::string& serverName = settings.ServerName.empty() ? connectedTo : settings.ServerName;

    // Whatever ends the handshake early leaves a stream that is neither plain nor encrypted:
    // nothing more may be sent on it, least of all a password in clear.
    TlsEngine* engine = nullptr;
    auto closeConnection = [&] {
        if (engine != nullptr && tls_.get() == engine) CloseSocket();
    };
    try {
        tls_ = std::make_unique<TlsEngine>(SocketHandle, settings, serverName);
    } catch (...) {
        CloseSocket();
        throw;
    }
    engine = tls_.get();
    // The time-out ends the handshake by itself, not only through Abort: a component whose Abort
    // cancels something else (the FTP component's data connection) still ends a handshake that
    // gets no answer. The first look only asks whether a Cancel came before it began.
    WaitPass pass = WaitPass::None;
    for (;;) {
        const WaitEnd end = Wait(*this, {.pass = pass, .byTimer = true});
        if (end != WaitEnd::Ready) {
            closeConnection();
            ReportAbort(end == WaitEnd::TimedOut ? kHandshakeTimedOut : kHandshakeCanceled);
        }
        if (tls_.get() != engine)
            throw ESockError(kClosedInHandshake, ErrorReason::TlsHandshakeFailed);
        const TlsEngine::Step step = engine->Handshake();
        if (step == TlsEngine::Step::Done) break;
        if (step == TlsEngine::Step::Failed) {
            const int socketError = engine->FailureSocketError();
            std::string why = engine->FailureText();
            if (socketError != 0) {
                LastError = socketError;
                why = LookupErrorMessage(static_cast<uint16_t>(socketError));
                if (OnError) OnError(this, static_cast<uint16_t>(socketError), why);
            }
            closeConnection();
            throw ESockError("TLS handshake failed: " + why, ErrorReason::TlsHandshakeFailed,
                             socketError);
        }
        // The receive that found nothing re-armed the read notification; a send that would
        // block needs the write wake-up.
        if (step == TlsEngine::Step::WantWrite) platform::ArmWriteWakeup(SocketHandle);
        pass = WaitPass::Block;
    }
    peerCertificate_ = engine->Certificate();
    ReportStatus(8, "TLS established: " + engine->Version() + " " + engine->Cipher() +
                        (engine->Resumed() ? " (resumed)" : ""));
}

bool TWirecore::EndTls()
{
    if (!tls_) return false;
    if (tls_->PeerEnding() == TlsEngine::Ending::Truncated) tlsTruncated_ = true;
    const bool closeNotifySent = tls_->SendCloseNotify(kCloseNotifyWaitMs);
    tls_.reset();
    return closeNotifySent;
}

void TWirecore::CutConnection()
{
    // Whatever the engine was in the middle of (a send that would block must be offered the
    // same bytes again) is dropped with it: nothing more goes out on this stream.
    tls_.reset();
    if (Connected) CloseSocket();
}

// --- The byte transport -------------------------------------------------------------------------

long TWirecore::ReceiveBytes(void* buffer, size_t length, bool peek)
{
    TlsEngine* engine = Established(tls_);
    if (!engine) return platform::Receive(SocketHandle, buffer, length, peek);
    const long n = engine->Receive(buffer, length, peek);
    if (n == 0 && engine->PeerEnding() == TlsEngine::Ending::Truncated) tlsTruncated_ = true;
    return n;
}

long TWirecore::SendBytes(const void* data, size_t length, bool moreFollows)
{
    TlsEngine* engine = Established(tls_);
    if (!engine) return platform::Send(SocketHandle, data, length, moreFollows);
    return engine->Send(data, length, moreFollows);
}

long TWirecore::PendingInput()
{
    const long waiting = platform::PendingBytes(SocketHandle);
    const TlsEngine* engine = Established(tls_);
    return engine ? engine->Held() + waiting : waiting;
}

bool TWirecore::InputWaiting()
{
    TlsEngine* engine = Established(tls_);
    if (!engine) {
        char probe;
        return platform::Receive(SocketHandle, &probe, 1, true) >= 1;
    }
    const bool waiting = engine->InputWaiting();
    if (engine->PeerEnding() == TlsEngine::Ending::Truncated) tlsTruncated_ = true;
    return waiting;
}

long TWirecore::ReceiveChunkToFile(platform::LocalFile& file, const std::string& fileName)
{
    if (TlsEngine* engine = Established(tls_)) {
        // Decrypted bytes exist only in user memory, so they go through the working buffer.
        const long received = engine->Receive(IoBuffer(), kChunkSize, false);
        if (received > 0) {
            file.Write(IoBuffer(), static_cast<size_t>(received));
            if (OnFileBytes) OnFileBytes(IoBuffer(), static_cast<size_t>(received));
        }
        if (received == 0 && engine->PeerEnding() == TlsEngine::Ending::Truncated)
            tlsTruncated_ = true;
        return received;
    }
    if (OnFileBytes) {
        std::span<char> room = FileBytesRoom ? FileBytesRoom() : std::span<char>();
        if (room.empty()) room = {IoBuffer(), kChunkSize};
        const long received = platform::Receive(SocketHandle, room.data(), room.size());
        if (received > 0) {
            file.Write(room.data(), static_cast<size_t>(received));
            OnFileBytes(room.data(), static_cast<size_t>(received));
        }
        return received;
    }
    const long received =
        platform::ReceiveToFile(SocketHandle, file.Descriptor(), IoBuffer(), kChunkSize);
    if (received == platform::kFileWriteFailed) throw FileWriteError(fileName);
    return received;
}

void TWirecore::CheckTlsEnding()
{
    if (tls_ && tls_->PeerEnding() == TlsEngine::Ending::Truncated) tlsTruncated_ = true;
    // A file that ends without close_notify may have lost its tail to someone who cut the
    // connection: it must not pass for a complete one.
    if (tlsTruncated_)
        throw ESockError("TLS stream ended without close_notify: the file may be incomplete",
                         ErrorReason::TlsTruncated);
}
