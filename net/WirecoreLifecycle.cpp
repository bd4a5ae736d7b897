// Construction and destruction of the socket component, the start-up of the socket library with
// its process-wide reference count, the dispatch of notifications and status reporting.
#include "net/Wirecore.h"

#include "net/TlsEngine.h"
#include "platform/HostLookup.h"
#include "platform/SocketErrors.h"

int TWirecore::WinsockRefCount = 0;

namespace {
constexpr uint16_t kRequestedVersion = 257; // 1.1

std::string VersionText(uint16_t word)
{
    return std::to_string(word >> 8) + "." + std::to_string(word & 0xFF);
}
} // namespace

TWirecore::TWirecore(TComponent* owner) : TComponent(owner)
{
    if (owner && owner->Designing()) SetDesigning(true);
    ReportStatus(8, "Create");
    window_ = std::make_unique<platform::NotificationWindow>(
        [this](int message, uintptr_t wParam, intptr_t lParam) {
            return WindowProcedure(message, wParam, lParam);
        });
    Proxy.clear();
    lookupBuffer_ = std::make_unique<uint8_t[]>(kLookupBufferSize);
    // Owned here and registered with this component as its owner; it leaves the owner's list
    // when it goes, so the two never free it twice.
    TimeoutTimer = std::make_unique<TThreadTimer>(this);
    TimeoutTimer->SetEnabled(false);
    TimeoutTimer->SetOnTimer([this](TComponent* sender) { TimerTriggered(sender); });
    TimeOut = 0;
    WinsockInfo.clear();
    Canceled = false;
    ShuttingDown = false;
    Connected = false;
    // A failure here gives back the reference it took before the exception leaves, and the
    // destructor does not run for a half-built object, so the count stays balanced.
    InitializeWinsock();
}

void TWirecore::InitializeWinsock()
{
    ReportStatus(8, "Initializing Winsock");
    if (Designing()) return;
    try {
        ++WinsockRefCount;
        tookWinsockReference_ = true;
        if (WinsockRefCount == 1) {
            platform::StartupSockets(kRequestedVersion, &WinsockData);
            WinsockInfo.push_back("Version= " + VersionText(WinsockData.version));
            WinsockInfo.push_back("High Version= " + VersionText(WinsockData.highVersion));
            WinsockInfo.push_back(std::string("Description= ") + WinsockData.description);
            WinsockInfo.push_back(std::string("System= ") + WinsockData.systemStatus);
            WinsockInfo.push_back("Max Sockets= " + std::to_string(WinsockData.maxSockets));
            WinsockInfo.push_back("Max Udp pack size= " +
                                  std::to_string(WinsockData.maxUdpDatagram));
        }
        try {
            OpenSocket(true);
        } catch (...) {
            ReleaseWinsockReference();
            throw;
        }
    } catch (...) {
        throw ESockError("Initializaton of windows sockets failed", ErrorReason::SocketStartup);
    }
}

void TWirecore::OpenSocket(bool withLinger)
{
    SocketHandle = platform::CreateStreamSocket();
    if (SocketHandle == platform::kNoSocket) {
        CheckSocketError(kToleratedError);
        return;
    }
    // Only the first socket closes abortively: unsent data is dropped and the peer sees a reset.
    if (withLinger) platform::SetLinger(SocketHandle, true, 0);
    platform::AsyncSelect(SocketHandle, window_.get(), platform::kSocketMessage,
                          platform::kStreamEventMask);
}

void TWirecore::ReleaseWinsockReference()
{
    if (!tookWinsockReference_) return;
    tookWinsockReference_ = false;
    if (--WinsockRefCount == 0) platform::CleanupSockets();
}

TWirecore::~TWirecore()
{
    BeginDestroy();
    ReportStatus(8, "Destroy");
    try {
        // A virtual call from here reaches this class's version; a derived component aborts its
        // own work in its destructor first.
        Abort();
        Cancel();
    } catch (...) {
    }
    WinsockInfo.clear();
    if (lookupRequest_) platform::CancelAsyncRequest(lookupRequest_);
    TimeoutTimer.reset();
    lookupBuffer_.reset();
    window_.reset();
    ShuttingDown = true;
    if (!Designing()) {
        try {
            CloseSocket();
        } catch (...) {
        }
        ReleaseWinsockReference();
    }
}

intptr_t TWirecore::WindowProcedure(int message, uintptr_t wParam, intptr_t lParam)
{
    if (message >= platform::kSocketMessage) return HandleSocketMessage(message, wParam, lParam);
    return 0;
}

intptr_t TWirecore::HandleSocketMessage(int Msg, uintptr_t, intptr_t LParam)
{
    // Nothing raised while a notification is handled may reach the event loop.
    try {
        LastEventOk = platform::SelectError(LParam) == 0;
        if (Msg == platform::kSocketMessage) {
            switch (platform::SelectEvent(LParam)) {
            case platform::kEventRead:
                if (OnDataArrival) {
                    try {
                        OnDataArrival(this);
                    } catch (...) {
                    }
                }
                break;
            case platform::kEventAccept:
                Connected = true;
                if (OnAcceptReady) OnAcceptReady(this);
                break;
            case platform::kEventConnect:
                if (LastEventOk) {
                    Connected = true;
                    if (OnConnect) OnConnect(this);
                } else {
                    // Why the attempt failed (10061 refused, 10060 timed out, ...), for the
                    // exception Connect raises.
                    LastError = platform::SelectError(LParam);
                }
                break;
            case platform::kEventClose:
                if (!DataAvailable()) CloseSocket();
                break;
            default: break;
            }
        } else if (Msg == platform::kLookupMessage) {
            AsyncDone = true;
            // The accept notification of a socket listening in this mode. Nothing that listens
            // this way wants OnDisconnect, so none is fired here.
            if (platform::SelectEvent(LParam) == platform::kEventAccept) Connected = true;
        }
        // A lookup's answer comes by the same message as the accept of a socket listening that
        // way; only the socket's own events are passed on.
        const uint16_t event = platform::SelectEvent(LParam);
        const bool socketEvent = Msg == platform::kSocketMessage || event == platform::kEventAccept;
        if (socketEvent && OnSocketEvent) OnSocketEvent(event, platform::SelectError(LParam));
    } catch (...) {
    }
    return 0;
}

void TWirecore::ReportStatus(uint8_t Level, const std::string& Text)
{
    if (Level > ReportLevel) return;
    try {
        LastStatus = Text;
        if (!Destroying() && OnStatus) OnStatus(this, LastStatus);
    } catch (...) {
    }
}

void TWirecore::ReportAbort(const char* message)
{
    Canceled = false;
    throw EAbortError(message, TimedOut ? ErrorReason::TimedOut : ErrorReason::Canceled);
}
