#pragma once
// TWirecore: the socket component. It owns one non-blocking TCP socket, a notification window
// through which the socket's events arrive, a time-out timer and a 64 KiB working buffer. Its
// blocking operations wait by running the message-processing step until a notification, data, a
// time-out or a cancellation ends the wait, so the GUI stays responsive meanwhile.
//
// The implementation is split by concern: WirecoreLifecycle.cpp (construction, notifications,
// status), WirecoreConnection.cpp (connect, lookup, close, time-out), WirecoreStream.cpp (buffers,
// lines, files), WirecoreListen.cpp (listen and accept), SocketErrorTable.cpp (errors),
// WirecoreTls.cpp (TLS on the connection, and the byte transport the stream operations use).
#include "net/Certificate.h"
#include "net/Events.h"
#include "net/SockErrors.h"
#include "net/ThreadTimer.h"
#include "net/TlsSettings.h"
#include "net/Wait.h"
#include "platform/Component.h"
#include "platform/SocketLibrary.h"
#include "platform/Sockets.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class TlsEngine;
namespace platform {
class LocalFile;
}

class TWirecore : public TComponent {
public:
    static constexpr size_t kChunkSize = 65536;
    // The longest line ReadLn returns. A longer one is refused, and the connection closed with it,
    // so memory stays bounded and no rest of it is ever taken for a line of its own.
    static constexpr size_t kMaxLineLength = 1024 * 1024;
    static constexpr int kLookupBufferSize = 1024;
    static constexpr int kToleratedError = 10035;

    // A component whose owner is being designed starts nothing and opens no socket.
    explicit TWirecore(TComponent* owner);
    ~TWirecore() override;

    // --- Settings -------------------------------------------------------------------------
    std::string Host;
    int32_t Port = 0;
    int32_t TimeOut = 0;     // milliseconds; 0 = no time-out
    int32_t ReportLevel = 0; // status texts up to this level are reported
    std::string Proxy;
    int32_t ProxyPort = 0;

    // --- Events ---------------------------------------------------------------------------
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TOnErrorEvent OnError;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    THandlerEvent OnConnectionRequired;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;
    // Unpublished hooks: a read notification, and an accept notification by socket message.
    TNotifyEvent OnDataArrival;
    TNotifyEvent OnAcceptReady;
    // Unpublished hook: runs after every pass of the event loop that a wait of this component
    // takes (net/Wait.h), for whoever must look at something else while it waits.
    std::function<void()> OnWaitPass;
    // Unpublished hook: sees every byte of a file as CaptureFile or AppendFile write it, or as
    // SendFile sends it, so that a checksum is computed on the way instead of by reading the file
    // again. While it is set, files move through the working buffer instead of inside the kernel,
    // where no byte would pass this program.
    std::function<void(const char* bytes, size_t length)> OnFileBytes;
    // Unpublished hook, beside OnFileBytes: where the next bytes of a file received may be put,
    // so that they reach OnFileBytes where it keeps them instead of being copied there. An empty
    // room, or none: the working buffer.
    std::function<std::span<char>()> FileBytesRoom;
    // A wait of this component also ends when this other component is cancelled, as if it had
    // been cancelled itself: a data connection ends with its control connection's Cancel.
    TWirecore* CanceledWith = nullptr;
    // While set, a bound on every wait of this component besides the wait's own (net/Wait.h):
    // when it passes, the wait ends timed out. Whoever sets it owns the Deadline.
    const Deadline* OuterDeadline = nullptr;

    // --- State ----------------------------------------------------------------------------
    std::vector<std::string> WinsockInfo;
    int64_t BytesSent = 0;
    int64_t BytesReceived = 0;
    bool Canceled = false;
    bool ShuttingDown = false;
    int LastError = 0;
    std::string LastStatus;
    std::unique_ptr<TThreadTimer> TimeoutTimer;
    // When the running wait last saw progress (StartTimer, NoteProgress).
    std::chrono::steady_clock::time_point lastProgress_;
    bool LastEventOk = false;
    bool TimedOut = false;
    // Expected size of a transfer; kept here for the FTP component, never used by this one.
    int64_t TransferSize = 0;
    bool AsyncDone = false;
    platform::SocketLibraryData WinsockData;
    // The peer: the address Connect dials (or reached), the peer Accept took, the any-address
    // Listen bound. Either family.
    platform::SocketAddress RemoteAddress;
    std::string LastReply;
    int16_t ReplyCode = 0;
    platform::SocketHandle SocketHandle = platform::kNoSocket;
    bool Connected = false;

    // Live components that took part in the socket library's start-up.
    static int WinsockRefCount;

    // --- Status and notifications ---------------------------------------------------------
    void ReportStatus(uint8_t Level, const std::string& Text);
    intptr_t HandleSocketMessage(int Msg, uintptr_t WParam, intptr_t LParam);
    platform::NotificationWindow* WindowHandle() const { return window_.get(); }

    // --- Connection life cycle ------------------------------------------------------------
    virtual void Connect();
    virtual void Disconnect();
    virtual void Abort();
    // Fills RemoteAddress with the host's (first) address: a literal of either family at once, a
    // name through the lookup service, which may give several; Connect tries them all in order.
    void ResolveHost();
    // Unless the component is going away, a fresh unconnected IPv4 socket takes the closed one's
    // place, as at construction; Connect and UseSocketFamily change the family when they must.
    void CloseSocket();
    void CheckConnection();
    void Cancel();
    void StartTimer();
    void StopTimer();
    // The bound of a wait that moves data or waits on a peer that owes it progress: no progress
    // for TimeOut milliseconds (none for 0). Clears TimedOut, as StartTimer does; a negative
    // TimeOut is a RangeError, as there.
    Deadline NoProgressDeadline();
    // The countdown of the running timer counts from now: a transfer that keeps moving never
    // times out, one that stops for TimeOut milliseconds does. Only a time is noted; the timer
    // itself is moved when it fires, so a block costs no timer calls.
    void NoteProgress() { lastProgress_ = std::chrono::steady_clock::now(); }
    void TimerTriggered(TComponent* Sender);
    // The family of the component's socket (platform::kFamilyInet or kFamilyInet6; 0 for none).
    uint16_t SocketFamily() const;
    // Makes the component's socket one of `family`, so that a Listen that follows waits on that
    // family's any-address (a data connection the server is told of must be reachable the way
    // the control connection is). A socket of another family is replaced by a fresh unconnected
    // one, without events; "Already connected" on a connected component.
    void UseSocketFamily(uint16_t family);

    // --- Stream input and output ----------------------------------------------------------
    // length 0 sends `data` as zero-terminated text; more than 65,535 bytes is a RangeError.
    // A send started while another one on this component waits for the socket to drain (from a
    // handler that runs during that wait) is refused with SendInProgress: its bytes would land in
    // the middle of the first one's.
    void SendBuffer(const char* data, uint32_t length);
    void Write(const std::string& text);
    void Writeln(const std::string& text);
    // count 0: whatever is waiting (at most one chunk); otherwise exactly count bytes.
    std::string Read(uint32_t count);
    std::string ReadLn();
    virtual std::string Transaction(const std::string& command);
    bool DataAvailable();
    void ClearInput();
    void SendFile(const std::string& fileName);
    void AppendFile(const std::string& fileName);
    void CaptureFile(const std::string& fileName);
    // The same into a file the caller opened (and keeps).
    void AppendFile(platform::LocalFile& file);
    void CaptureFile(platform::LocalFile& file);

    // --- TLS ------------------------------------------------------------------------------
    // Runs a client TLS handshake on the connected socket, waiting in the event loop like every
    // other operation (under TimeOut and Cancel). From then on the stream operations above
    // encrypt and decrypt; their callers see no difference. The handshake completes whatever
    // the certificate check finds: PeerCertificate() holds the verdict for the caller to act on.
    // A handshake that fails, is cancelled or times out closes the connection and raises
    // ESockError (TlsHandshakeFailed, with OpenSSL's reason in the text) or EAbortError
    // (Canceled, TimedOut).
    void StartTls(const TTlsSettings& settings);
    bool TlsActive() const;
    // The server's certificate and the verdict on it, from the last handshake (kept after the
    // connection closes, until the next one).
    const TCertificateInfo& PeerCertificate() const { return peerCertificate_; }
    // The session to resume on another connection to the same server: null before the server
    // has sent one that can be resumed (in TLS 1.3 that comes with the first reply after the
    // handshake), so ask for it when the other connection is opened.
    TTlsSessionRef TlsSession() const;
    bool TlsResumed() const;
    std::string TlsVersion() const; // "TLSv1.3"; empty without TLS
    std::string TlsCipher() const;
    // The peer ended its TLS stream without close_notify: the last bytes may be missing. Read and
    // ReadLn end as at the end of the stream; CaptureFile and AppendFile raise TlsTruncated.
    bool TlsTruncated() const { return tlsTruncated_; }
    // Closes the connection without close_notify, so that the peer sees its stream cut rather
    // than ended: what an interrupted upload must tell a server, which would otherwise take
    // the part it got for the whole file. Without TLS, the same as CloseSocket.
    void CutConnection();
    // A look at what is waiting, without taking it (decrypted when TLS is on): a count, 0 at
    // the end of the stream, -1 (with the socket error) when nothing can be had now.
    long Peek(void* buffer, size_t length) { return ReceiveBytes(buffer, length, true); }
    // Takes what is waiting, up to `length` bytes, without waiting: a count, 0 at the end of the
    // stream, -1 (with the socket error) when nothing can be had now.
    long Take(void* buffer, size_t length) { return ReceiveBytes(buffer, length, false); }

    // --- Without waiting --------------------------------------------------------------------
    // For callers driven by the socket's notifications rather than by a wait: each call does
    // what it can at once and returns; OnSocketEvent tells when to call again.
    // Every notification of the socket (its event and error word), after the component's own
    // handling of it: a connect that ended, bytes or room that came, a peer that connects or
    // closes.
    std::function<void(uint16_t event, uint16_t error)> OnSocketEvent;
    // Starts a connect to `address` on a fresh socket of its family; the connect notification
    // says how it ended (Connected, or LastError). Raises ESockError when it cannot even start.
    void BeginConnect(const platform::SocketAddress& address);
    // A client TLS handshake taken one step per call: BeginTls makes the engine and takes the
    // first step, ContinueTls the next ones on the socket's notifications. True once it is done
    // (PeerCertificate() holds the verdict); false while it waits for the peer. A handshake that
    // fails closes the connection and raises ESockError, as StartTls does.
    bool BeginTls(const TTlsSettings& settings);
    bool ContinueTls();
    // One receive into `file`: the count, 0 at the end of the stream (TlsTruncated() says
    // whether a TLS stream was cut), -1 when nothing is there now (the read notification comes
    // when something is). Raises FileWriteError, or ESockError for a connection that failed.
    long ReceiveSomeToFile(platform::LocalFile& file);
    // One send from `file`: the count, 0 at the end of the file, -1 when the socket takes
    // nothing now (the write notification comes when it does). Raises FileReadError, or
    // ESockError for a connection that failed.
    long SendSomeFromFile(platform::LocalFile& file);
    // A listening socket's waiting connection, taken and made this component's own connection
    // (the listening socket is closed): true when `from` is empty or the peer is on that host.
    // One from any other host is closed unseen and false returned, as when nobody waits; the
    // socket then goes on listening, not Connected, for the connection awaited.
    bool AcceptWaiting(const platform::SocketAddress* from);

    // --- Listening and accepting ----------------------------------------------------------
    void Listen(bool useLookupMessage);
    virtual platform::SocketHandle Accept();
    // The local address as the PORT argument's first four numbers ("127,0,0,1") and the local
    // port as its last two (",19,137"). PORT carries IPv4 only: LocalAddressText on an IPv6 socket
    // raises the socket error 10047.
    std::string LocalAddressText();
    std::string LocalPortText();
    // Either end of the component's socket, of either family (what an EPRT or an address check
    // needs). Both raise the socket error when the system cannot say.
    platform::SocketAddress LocalAddress();
    platform::SocketAddress PeerAddress();

    // --- Errors ---------------------------------------------------------------------------
    // After a failed socket call: fires OnError and raises ESockError unless the error is the
    // tolerated one or not above 10000. Returns the message (empty when nothing was raised).
    std::string CheckSocketError(int tolerated);
    std::string LookupErrorMessage(uint16_t Errno);
    // The table lookup alone, without status text.
    static std::string ErrorMessageFor(uint16_t Errno);
    // Only the table's text for Errno ("Connection refused"), empty when the table has no row for
    // it: for callers that name the reason in a sentence of their own.
    static std::string ErrorTextFor(uint16_t Errno);

protected:
    // Closes the socket and opens a fresh one without any event (an abandoned connect attempt).
    void ReplaceSocket();
    // Puts a fresh unconnected socket of `family`, closing as abortively as the old one did, in
    // place of the current one, without any event. False, with the old socket kept, when the
    // system gives no socket of that family (LastSocketError() says why).
    bool SwapSocket(uint16_t family);
    // Raises EAbortError after clearing Canceled.
    [[noreturn]] void ReportAbort(const char* message);
    // Waits in the message loop until the socket can take more bytes (or something else happens).
    WaitEnd WaitWritable(const WaitBounds& bounds);
    // Refuses a send while another one of this component is still under way.
    void RequireNoSendUnderWay() const;

    char* IoBuffer() { return ioBuffer_.data(); }

    // The byte transport under the stream operations: through TLS when it is on, straight to
    // the socket otherwise. Same results as platform::Receive/Send.
    long ReceiveBytes(void* buffer, size_t length, bool peek = false);
    long SendBytes(const void* data, size_t length, bool moreFollows = false);
    // What a receive would find now without waiting (decrypted bytes included).
    long PendingInput();
    // DataAvailable's test: at least one byte can be received now. Never raises.
    bool InputWaiting();
    // One receive of at most a chunk into `file`; FileWriteError when the file refuses it.
    long ReceiveChunkToFile(platform::LocalFile& file, const std::string& fileName);
    // After a file was received to its end: raises TlsTruncated when the TLS stream was cut.
    void CheckTlsEnding();
    // Part of closing: close_notify (a short, bounded attempt), then the engine goes. True when
    // close_notify went out: then the socket must close only after the peer (see CloseSocket).
    bool EndTls();

private:
    // SendFile's two ways: from the file to the socket inside the kernel on a plain connection,
    // through the working buffer over TLS (whose records are made in user memory).
    WaitEnd SendFileFromKernel(platform::LocalFile& file, Deadline& deadline);
    WaitEnd SendFileThroughBuffer(platform::LocalFile& file, Deadline& deadline);
    void InitializeWinsock();
    void OpenSocket(bool withLinger);
    void ReleaseWinsockReference();
    intptr_t WindowProcedure(int message, uintptr_t wParam, intptr_t lParam);
    // One connect attempt to RemoteAddress on a socket of its family: the connect and its wait.
    // True when connected; otherwise TimedOut, Canceled or LastEventOk (with LastError) say why.
    bool ConnectAttempt(bool freshSocket);

    std::array<char, kChunkSize + 1> ioBuffer_{};
    std::unique_ptr<platform::NotificationWindow> window_;
    std::unique_ptr<uint8_t[]> lookupBuffer_;
    // Every address ResolveHost found for the host, in the order Connect tries them.
    std::vector<platform::SocketAddress> resolvedAddresses_;
    int lookupRequest_ = 0;
    bool tookWinsockReference_ = false;
    // Set while SendBuffer or SendFile runs; they wait in the event loop, where handlers may try
    // to send as well.
    bool sending_ = false;
    friend class SendUnderWay;
    std::unique_ptr<TlsEngine> tls_;
    TCertificateInfo peerCertificate_;
    bool tlsTruncated_ = false;
    // What SendSomeFromFile read and TLS has not taken yet: its length and where it starts.
    size_t pendingSend_ = 0;
    size_t pendingSendAt_ = 0;
};

// Stops a component's timer when a timed operation ends, however it ends.
class TimerGuard {
public:
    explicit TimerGuard(TWirecore& socket) : socket_(socket) { socket_.StartTimer(); }
    ~TimerGuard() { socket_.StopTimer(); }
    TimerGuard(const TimerGuard&) = delete;
    TimerGuard& operator=(const TimerGuard&) = delete;

private:
    TWirecore& socket_;
};
