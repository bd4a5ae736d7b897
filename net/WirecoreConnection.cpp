// From an unconnected socket to an established connection and back: host resolution, the
// non-blocking connect and its wait, time-outs, cancellation, the connection check and closing.
#include "net/Wirecore.h"

#include "platform/HostLookup.h"
#include "platform/MessageLoop.h"

#include <cstring>

namespace {
const char* const kLookupTimedOut = "Host Lookup Timed Out";
const char* const kLookupCanceled = "Host Lookup Canceled";
const char* const kLookupFailed = "Host Lookup Failed";
} // namespace

void TWirecore::Connect()
{
    ReportStatus(8, "Connecting");
    Canceled = false;
    if (Connected) throw ESockError("Already connected", ErrorReason::AlreadyConnected);
    // How an earlier connection's TLS stream ended says nothing about this one.
    tlsTruncated_ = false;

    // The OnInvalidHost handler gets one chance per Connect to name another host.
    for (int retry = 0;; ++retry) {
        try {
            ResolveHost();
        } catch (const ESockError& error) {
            // A name that does not resolve gets the OnInvalidHost chance; a lookup the user or
            // the time-out ended is over.
            if (error.Reason() != ErrorReason::LookupFailed) throw;
        }
        if (RemoteAddress.address != 0) break;
        if (retry > 0 || !OnInvalidHost)
            throw ESockError("Null Remote Address", ErrorReason::NullRemoteAddress);
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled) throw ESockError("Null Remote Address", ErrorReason::NullRemoteAddress);
    }

    const int32_t port = Proxy.empty() ? Port : ProxyPort;
    RemoteAddress.family = platform::kFamilyInet;
    RemoteAddress.port = platform::HostToNetwork16(static_cast<uint16_t>(port & 0xFFFF));
    AsyncDone = false;
    LastEventOk = true;
    if (platform::Connect(SocketHandle, RemoteAddress) != 0) CheckSocketError(kToleratedError);

    StartTimer();
    while (!(Connected || TimedOut || Canceled || !LastEventOk)) platform::ProcessMessages();
    StopTimer();
    if (!TimedOut && !Canceled && LastEventOk) return;

    // The attempt is abandoned: a connection that completes later must not appear on its own.
    ReplaceSocket();
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (TimedOut) throw ESockError("Connection Timed out", ErrorReason::ConnectTimedOut);
    if (Canceled) throw ESockError("Connection Canceled", ErrorReason::ConnectCanceled);
    throw ESockError("Connection Failed", ErrorReason::ConnectFailed, LastError);
}

void TWirecore::ResolveHost()
{
    ReportStatus(8, "Resolve Host");
    const std::string& name = Proxy.empty() ? Host : Proxy;
    // The name is handled as zero-terminated text in the working buffer: one that does not fit
    // is treated like a name that does not resolve.
    if (name.size() > kChunkSize) {
        RemoteAddress.address = 0;
        throw ESockError(kLookupFailed, ErrorReason::LookupFailed);
    }
    const std::string text(name.c_str());
    std::memcpy(IoBuffer(), text.c_str(), text.size() + 1);
    const uint32_t address = platform::ParseDottedAddress(IoBuffer());
    if (address != platform::kAddressNone) {
        RemoteAddress.address = address;
        return;
    }

    RemoteAddress.address = 0;
    StartTimer();
    AsyncDone = false;
    lookupRequest_ = platform::AsyncGetHostByName(window_.get(), platform::kLookupMessage, text,
                                                  lookupBuffer_.get(), kLookupBufferSize);
    while (!(AsyncDone || TimedOut || Canceled)) platform::ProcessMessages();
    StopTimer();
    platform::CancelAsyncRequest(lookupRequest_);
    lookupRequest_ = 0;

    if (TimedOut) throw ESockError(kLookupTimedOut, ErrorReason::LookupTimedOut);
    if (Canceled) throw ESockError(kLookupCanceled, ErrorReason::LookupCanceled);
    if (!LastEventOk) throw ESockError(kLookupFailed, ErrorReason::LookupFailed);
    platform::HostEntry entry;
    std::memcpy(&entry, lookupBuffer_.get(), sizeof entry);
    if (entry.addressCount == 0) throw ESockError(kLookupFailed, ErrorReason::LookupFailed);
    RemoteAddress.address = entry.addresses[0];
    if (OnHostResolved) OnHostResolved(this);
}

void TWirecore::Disconnect()
{
    ReportStatus(8, "Disconnecting");
    CloseSocket();
}

void TWirecore::CloseSocket()
{
    ReportStatus(4, "Request Close Socket");
    Connected = false;
    if (SocketHandle == platform::kNoSocket) return;
    // A TLS server sends bytes unasked (session tickets after the handshake). Should they arrive
    // after the close, the system answers with a reset, which throws away whatever it has not
    // yet delivered: the tail of an upload and the close_notify behind it. So after close_notify
    // the socket ends its side of the stream and closes only once the peer has closed too.
    const bool afterPeer = EndTls();
    const int result = afterPeer ? platform::CloseSocketAfterPeer(SocketHandle)
                                 : platform::CloseSocket(SocketHandle);
    // The descriptor is gone either way; keeping its number could close someone else's later.
    SocketHandle = platform::kNoSocket;
    if (result != 0) {
        CheckSocketError(kToleratedError);
        return;
    }
    // The fresh socket exists before OnDisconnect runs, so a handler may connect again at once.
    if (!ShuttingDown) OpenSocket(false);
    if (!Destroying() && OnDisconnect) OnDisconnect(this);
}

void TWirecore::ReplaceSocket()
{
    if (SocketHandle != platform::kNoSocket) platform::CloseSocket(SocketHandle);
    SocketHandle = platform::kNoSocket;
    Connected = false;
    if (!ShuttingDown) OpenSocket(false);
}

void TWirecore::CheckConnection()
{
    ReportStatus(8, "Checking Connection");
    for (int tries = 0; !Connected; ++tries) {
        if (tries > 0 || !OnConnectionRequired)
            throw Exception("Not Connected", ErrorReason::NotConnected);
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled) throw Exception("Not Connected", ErrorReason::NotConnected);
    }
}

void TWirecore::Cancel()
{
    ReportStatus(8, "Canceling");
    Canceled = true;
}

void TWirecore::Abort()
{
    ReportStatus(8, "Abort");
    Cancel();
}

void TWirecore::StartTimer()
{
    ReportStatus(8, "Timer On");
    TimedOut = false;
    if (TimeOut < 0) throw RangeError();
    if (!TimeoutTimer) return;
    TimeoutTimer->SetInterval(static_cast<uint32_t>(TimeOut));
    TimeoutTimer->SetEnabled(true);
}

void TWirecore::StopTimer()
{
    ReportStatus(8, "Timer Off");
    if (TimeoutTimer) TimeoutTimer->SetEnabled(false);
}

void TWirecore::TimerTriggered(TComponent*)
{
    ReportStatus(8, "Timer Triggered");
    StopTimer();
    TimedOut = true;
    AsyncDone = true;
    Abort();
}
