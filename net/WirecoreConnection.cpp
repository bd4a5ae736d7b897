// From an unconnected socket to an established connection and back: host resolution, the
// non-blocking connect and its wait, time-outs, cancellation, the connection check and closing.
#include "net/Wirecore.h"

#include "net/Wait.h"
#include "platform/HostLookup.h"
#include "platform/SocketErrors.h"

#include <algorithm>
#include <cstring>
#include <optional>

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
        if (!RemoteAddress.IsNull()) break;
        if (retry > 0 || !OnInvalidHost)
            throw ESockError("Null Remote Address", ErrorReason::NullRemoteAddress);
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled) throw ESockError("Null Remote Address", ErrorReason::NullRemoteAddress);
    }

    // A name with several addresses (IPv6 and IPv4, say) is tried in the resolver's order until
    // one connects: a host may not answer on every one of them. Each attempt has the whole
    // TimeOut; a Cancel ends them all.
    const int32_t port = Proxy.empty() ? Port : ProxyPort;
    const std::vector<platform::SocketAddress> targets = resolvedAddresses_;
    for (size_t i = 0; i < targets.size(); ++i) {
        RemoteAddress = targets[i];
        RemoteAddress.port = platform::HostToNetwork16(static_cast<uint16_t>(port & 0xFFFF));
        if (ConnectAttempt(i > 0)) return;
        const bool canceledByUser = Canceled && !TimedOut;
        if (canceledByUser || i + 1 == targets.size()) break;
        // The time-out's Abort cancels too; the next address starts afresh.
        Canceled = false;
        TimedOut = false;
    }

    // The attempt is abandoned: a connection that completes later must not appear on its own.
    ReplaceSocket();
    // The system said why (10061, say): reported as every other socket error is, with its text,
    // even though the exception keeps its own message.
    if (!TimedOut && !Canceled && LastError > 10000 && OnError)
        OnError(this, static_cast<uint16_t>(LastError),
                LookupErrorMessage(static_cast<uint16_t>(LastError)));
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (TimedOut) throw ESockError("Connection Timed out", ErrorReason::ConnectTimedOut);
    if (Canceled) throw ESockError("Connection Canceled", ErrorReason::ConnectCanceled);
    throw ESockError("Connection Failed", ErrorReason::ConnectFailed, LastError);
}

bool TWirecore::ConnectAttempt(bool freshSocket)
{
    AsyncDone = false;
    LastEventOk = true;
    // A socket connects only to its own family; one that has failed an attempt is spent.
    if ((freshSocket || SocketFamily() != RemoteAddress.family) &&
        !SwapSocket(RemoteAddress.family)) {
        // No socket of that family here (a system without IPv6): this address cannot be reached.
        LastError = platform::LastSocketError();
        LastEventOk = false;
        return false;
    }
    if (platform::Connect(SocketHandle, RemoteAddress) != 0) CheckSocketError(kToleratedError);

    StartTimer();
    // The connect notification sets Connected, or clears LastEventOk with the reason.
    const WaitEnd end =
        Wait(*this, {.byTimer = true}, [this] { return Connected || !LastEventOk; });
    StopTimer();
    return end == WaitEnd::Ready && LastEventOk;
}

namespace {

// The host of `from` in `to`, whose port stays.
void SetHostPart(platform::SocketAddress& to, const platform::SocketAddress& from)
{
    const uint16_t port = to.port;
    to = from;
    to.port = port;
}

// A text with a colon or a bracket is an IPv6 address gone wrong ("[::1", "::1]"), never a host
// name: no resolver is asked about it.
bool CanBeAHostName(const std::string& text) { return text.find_first_of(":[]") == text.npos; }

} // namespace

void TWirecore::ResolveHost()
{
    ReportStatus(8, "Resolve Host");
    resolvedAddresses_.clear();
    const std::string& name = Proxy.empty() ? Host : Proxy;
    // The name is handled as zero-terminated text in the working buffer: one that does not fit
    // is treated like a name that does not resolve.
    if (name.size() > kChunkSize) {
        SetHostPart(RemoteAddress, {});
        throw ESockError(kLookupFailed, ErrorReason::LookupFailed);
    }
    const std::string text(name.c_str());
    std::memcpy(IoBuffer(), text.c_str(), text.size() + 1);
    if (const std::optional<platform::SocketAddress> literal =
            platform::ParseAddressLiteral(IoBuffer())) {
        // An address of either family needs no lookup (and "0.0.0.0" stays the null address).
        SetHostPart(RemoteAddress, *literal);
        resolvedAddresses_.push_back(*literal);
        return;
    }

    SetHostPart(RemoteAddress, {});
    if (!CanBeAHostName(text)) throw ESockError(kLookupFailed, ErrorReason::LookupFailed);
    StartTimer();
    AsyncDone = false;
    lookupRequest_ = platform::AsyncGetHostByName(window_.get(), platform::kLookupMessage, text,
                                                  lookupBuffer_.get(), kLookupBufferSize);
    // The lookup's answer sets AsyncDone; the flags below say how the wait ended.
    Wait(*this, {.byTimer = true}, [this] { return AsyncDone; });
    StopTimer();
    platform::CancelAsyncRequest(lookupRequest_);
    lookupRequest_ = 0;

    if (TimedOut) throw ESockError(kLookupTimedOut, ErrorReason::LookupTimedOut);
    if (Canceled) throw ESockError(kLookupCanceled, ErrorReason::LookupCanceled);
    if (!LastEventOk) throw ESockError(kLookupFailed, ErrorReason::LookupFailed);
    static_assert(sizeof(platform::HostEntry) <= kLookupBufferSize);
    platform::HostEntry entry;
    std::memcpy(&entry, lookupBuffer_.get(), sizeof entry);
    // The any-address names no host to connect to, whoever answers it.
    for (uint32_t i = 0; i < entry.addressCount && i < platform::HostEntry::kMaxAddresses; ++i)
        if (!entry.addresses[i].IsNull()) resolvedAddresses_.push_back(entry.addresses[i]);
    if (resolvedAddresses_.empty()) throw ESockError(kLookupFailed, ErrorReason::LookupFailed);
    SetHostPart(RemoteAddress, resolvedAddresses_.front());
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

bool TWirecore::SwapSocket(uint16_t family)
{
    bool linger = false;
    int seconds = 0;
    const bool abortive = SocketHandle != platform::kNoSocket &&
                          platform::GetLinger(SocketHandle, &linger, &seconds) == 0 && linger &&
                          seconds == 0;
    const platform::SocketHandle fresh = platform::CreateStreamSocket(family);
    if (fresh == platform::kNoSocket) return false;
    if (SocketHandle != platform::kNoSocket) platform::CloseSocket(SocketHandle);
    SocketHandle = fresh;
    Connected = false;
    if (abortive) platform::SetLinger(SocketHandle, true, 0);
    platform::AsyncSelect(SocketHandle, window_.get(), platform::kSocketMessage,
                          platform::kStreamEventMask);
    return true;
}

uint16_t TWirecore::SocketFamily() const { return platform::SocketFamily(SocketHandle); }

void TWirecore::UseSocketFamily(uint16_t family)
{
    if (SocketFamily() == family) return;
    if (Connected) throw ESockError("Already connected", ErrorReason::AlreadyConnected);
    if (!SwapSocket(family)) CheckSocketError(kToleratedError);
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
    NoteProgress();
    if (!TimeoutTimer) return;
    TimeoutTimer->SetInterval(static_cast<uint32_t>(TimeOut));
    TimeoutTimer->SetEnabled(true);
}

Deadline TWirecore::NoProgressDeadline()
{
    TimedOut = false;
    if (TimeOut < 0) throw RangeError();
    return Deadline::NoProgressFor(TimeOut);
}

void TWirecore::StopTimer()
{
    ReportStatus(8, "Timer Off");
    if (TimeoutTimer) TimeoutTimer->SetEnabled(false);
}

void TWirecore::TimerTriggered(TComponent*)
{
    // Progress since the timer was set moves the deadline: the timer is set again for what is
    // left of TimeOut after the last progress.
    const auto idle = std::chrono::steady_clock::now() - lastProgress_;
    const std::chrono::milliseconds limit(TimeOut);
    if (TimeoutTimer && idle < limit) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - idle).count();
        TimeoutTimer->SetEnabled(false);
        TimeoutTimer->SetInterval(static_cast<uint32_t>(std::max<int64_t>(left, 1)));
        TimeoutTimer->SetEnabled(true);
        return;
    }
    ReportStatus(8, "Timer Triggered");
    StopTimer();
    TimedOut = true;
    AsyncDone = true;
    Abort();
}
