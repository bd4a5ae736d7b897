#pragma once
// Internal to the FTP component: the blocking steps that a listing and the four transfers take
// around their data connection, in the order their machine (TransferOperation, driven by
// TransferLoop) asks for them. One DataOperation object is one pass: it starts the operation,
// takes the transfer lock where the operation holds one, creates the operation's own data socket,
// connects it or lets it listen (FtpDataChannel.cpp), accepts the server's connection in active
// mode, runs and closes the data phase and releases everything again.
//
// Release runs on every way out. On the normal way (including a failure the OnFailure handler
// took care of) the operation calls Release() itself, so that what the release does -- "ABOR" on
// the control connection, the OnSuccess handler -- may still raise to the caller. When an
// exception leaves the operation instead, the destructor releases, and then nothing it does may
// raise over the exception already on its way.
#include "ftp/TransferOperation.h"
#include "ftp/VaskFtp.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ftpdata {

// The port of a PASV reply: the line is cut at every comma, the fifth field is the high byte and
// the sixth, up to its first ")", the low byte. A sixth field without ")" is empty. Both go
// through the run-time library's conversion, so a reply without the numbers raises its
// "'...' is not a valid integer value". Empty when a number lies outside 0..255 or the port is 0:
// such a reply names no port at all. The four address numbers are not used.
std::optional<int32_t> PassivePort(const std::string& reply);

// The port of an EPSV reply, "229 Entering Extended Passive Mode (|||6446|)": the first "(" that
// is followed by a delimiter (printable, no digit) three times, the port's digits, the delimiter
// and ")". Empty when there is none, and for a port of 0 or above 65535.
std::optional<int32_t> ExtendedPassivePort(const std::string& reply);

// The settings of a listing's or transfer's machine that the session decides: passive or active
// mode, and over IPv6 the extended commands (EPSV, EPRT), PASV and PORT carrying IPv4 only.
TransferOperation::Settings TransferSettingsFor(TVaskFTP& ftp, TransferOperation::Kind kind,
                                                std::string command);

// Makes `data` listen for the server's connection the way the control connection came, and
// returns the PORT or EPRT command that names it.
std::string ListenForServer(TVaskFTP& ftp, TWirecore& data);

// The file-name part of a local path: the text after its last path separator or drive colon.
std::string FileNamePart(const std::string& path);

struct DataOperationKind {
    TCmdType kind;
    bool takesLock;     // listing, Upload and Download hold TransferLock
    bool abortOnCancel; // listing and downloads send "ABOR" when Cancel is still pending
    bool isDownload;    // the "Received" report and the second OnTransactionStop
    bool isUpload;      // lingering off before the close
};

inline constexpr DataOperationKind kListing{ctList, true, true, false, false};
inline constexpr DataOperationKind kDownload{ctDownload, true, true, true, false};
inline constexpr DataOperationKind kResume{ctDownload, false, true, true, false};
inline constexpr DataOperationKind kUpload{ctUpload, true, false, false, true};
inline constexpr DataOperationKind kAppend{ctAppend, false, false, false, true};

class DataOperation {
public:
    DataOperation(TVaskFTP& ftp, const DataOperationKind& kind);
    ~DataOperation();
    DataOperation(const DataOperation&) = delete;
    DataOperation& operator=(const DataOperation&) = delete;

    // Clears the success flag and the component's Canceled flag, checks the connection
    // ("Not Connected" after OnConnectionRequired).
    void Start();
    // Takes TransferLock when this kind of operation holds it; released by the release.
    void Lock();
    // Creates this operation's data socket, owned by this operation, and makes it the
    // component's DataSocket. It takes TimeOut and the one packet event the operation reports, when
    // that is assigned: OnPacketRecvd for the listing and the downloads, OnPacketSent for the
    // uploads.
    TWirecore& CreateSocket();
    // Opening the data channel, whose commands the operation's machine sends: the data socket
    // listens and the PORT or EPRT command that names it is returned (active mode); or it
    // connects to the server's `port` (PASV, EPSV), where the control connection went.
    std::string ListenForServer() { return ftpdata::ListenForServer(ftp_, *socket_); }
    void ConnectTo(int32_t port);
    // The failure protocol for a failing reply (reply line as the message; an empty reply means
    // the server closed the connection; a 425 carries the reason DataConnectionFailed). Returns
    // only when the OnFailure handler set Handled; raises FTPException otherwise.
    void Fail(const std::string& reply, bool reportUnsupported);
    // The same protocol for a failure that is not the server's reply line.
    void Fail(const FTPException& failure, bool reportUnsupported);
    // Active mode only: waits for the server's connection and makes the data socket use it.
    // Connections from any other address than the server's are closed unseen (unless a proxy
    // stands between). False when the server answered with a failure instead of connecting and
    // the OnFailure handler set Handled. A server that does not connect within AcceptTimeOut
    // fails it with the reason DataConnectionFailed, as does one that answers 425.
    [[nodiscard]] bool AcceptIfActive();
    // When the session protects its data (PROT P): the TLS handshake on the data connection, we
    // the client whichever side connected, resuming the control connection's session. A
    // handshake that fails (ESockError) or a certificate that is not the control connection's
    // and does not verify (CertificateRejectedError) fails the operation; a Cancel ends it like
    // every wait of the data connection. False when the server answered with a failure instead
    // ("522 SSL connection failed") and the OnFailure handler set Handled.
    [[nodiscard]] bool SecureData();
    // OnTransactionStart.
    void BeginDataPhase();
    // The data phase proper: `move` moves the data. A failure reply that the server sends
    // meanwhile while the data connection stays silent ends it, and so does a Cancel on the
    // component; the former then goes on to the closing reply, which says why. An operation
    // cancelled before its data phase fails here (EAbortError), having moved nothing.
    void RunDataPhase(const std::function<void()>& move);

    // The first part of the data phase's end: OnTransactionStop, close, a download's
    // "Received" report; EAbortError when the operation was cancelled meanwhile (the final
    // reply stays owed). Returns the bytes moved.
    int64_t CloseDataPhase();
    // A data connection the server cut off ended the data phase (see RunDataPhase).
    bool CutOff() const { return cutOff_.has_value(); }
    [[noreturn]] void RaiseCutOff() const { throw *cutOff_; }

    // Frees the data socket, sends "ABOR" when a Cancel is still pending (listing and downloads;
    // its reply is owed, and read before the next command), leaves the lock and fires OnSuccess
    // when the operation succeeded.
    void Release();
    // Ends the operation as a success (also one without a data phase: a resumed download that
    // had nothing left to fetch).
    void Succeed() { success_ = true; }
    // Ends a pass whose result is not used (a machine listing that is then taken again with
    // LIST) without its OnSuccess.
    void Discard() { success_ = false; }
    // The failure of a cancelled operation: EAbortError, for the time-out or the Cancel.
    [[noreturn]] void FailCancelled() const;

    // Whether the component was cancelled (Cancel, or its own time-out).
    bool Cancelled() const;
    TWirecore& Socket() const { return *socket_; }
    const DataOperationKind& Kind() const { return kind_; }
    bool Succeeded() const { return success_; }

private:
    void FreeSocket();
    void SendAbortIfCancelled();
    void Unlock();
    // The failure reply that ended a wait on the data connection: read and dispatched.
    void FailWithServerReply();

    TVaskFTP& ftp_;
    DataOperationKind kind_;
    bool success_ = false;
    bool released_ = false;
    bool locked_ = false;
    std::unique_ptr<TWirecore> socket_;
    // The DataSocket of an enclosing operation, named again once this one has ended.
    TWirecore* outerSocket_ = nullptr;
    // The reset that ended the data phase, raised unless the closing reply fails the operation.
    std::optional<ESockError> cutOff_;
};

// Watches the control connection while an operation waits on its data connection (the server's
// connection in active mode, the TLS handshake, the data phase). The wait itself only knows the
// data socket; without the watch, a server that answers "425 Can't open data connection" and
// leaves the data connection silent, or never connects back, would keep it waiting for good.
// (A Cancel on the component reaches the wait without it: the data socket is CanceledWith the
// component.)
//
// The look is taken after every pass of the event loop the data socket's waits take, and peeks
// only when the number of bytes waiting on the control connection has changed, so a reply that
// is not a failure, or not yet complete, costs nothing until more arrives. Meanwhile the control
// connection's read notification is asked for only once more bytes than those seen are there, so
// a blocked wait sleeps until something new arrives and is woken by it. The reply is left in place
// for the operation to read.
class DataWaitWatch {
public:
    DataWaitWatch(TVaskFTP& ftp, TWirecore& data);
    ~DataWaitWatch();
    DataWaitWatch(const DataWaitWatch&) = delete;
    DataWaitWatch& operator=(const DataWaitWatch&) = delete;

    void Check();
    // The server's failure reply is waiting on the control connection and the wait was cancelled
    // for it.
    bool EndedByServer() const { return endedByServer_; }

private:
    bool FailureReplyWaiting();

    TVaskFTP& ftp_;
    TWirecore& data_;
    std::function<void()> outerPass_; // the data socket's hook before this watch took it
    std::optional<platform::WakeOnMoreThan> wake_;
    long seenPending_ = -1; // bytes waiting on the control connection when last looked at
    bool failureSeen_ = false;
    bool endedByServer_ = false;
};

} // namespace ftpdata
