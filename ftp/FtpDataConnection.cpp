// The data connection of a listing or transfer: set-up in passive or active mode, the reply
// checks with their failure protocol, the end of the data phase and the release.
#include "ftp/FtpDataConnection.h"

#include "platform/LocalFile.h"
#include "platform/ScopedGuards.h"
#include "platform/SocketErrors.h"

#include <algorithm>

namespace ftpdata {

namespace {

// A reply line longer than this is no reply the watch needs to recognise early.
constexpr long kWatchPeekLength = 512;

bool IsFailureCode(int code) { return code >= 400 && code <= 599; }

} // namespace

std::string FileNamePart(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

DataOperation::DataOperation(TVaskFTP& ftp, const DataOperationKind& kind) : ftp_(ftp), kind_(kind)
{
}

DataOperation::~DataOperation()
{
    if (released_) return;
    // An exception is leaving the operation: release quietly, it has the last word.
    released_ = true;
    FreeSocket();
    try {
        SendAbortIfCancelled();
    } catch (...) {
    }
    Unlock();
}

void DataOperation::Start()
{
    success_ = false;
    ftp_.Canceled = false;
    ftp_.lastReceivedBytes_ = 0;
    ftp_.lastSentBytes_ = 0;
    ftp_.CheckConnection();
}

void DataOperation::Lock()
{
    if (!kind_.takesLock || locked_) return;
    locked_ = true;
    ++ftp_.TransferLock.holders_;
}

void DataOperation::Unlock()
{
    if (!locked_) return;
    locked_ = false;
    --ftp_.TransferLock.holders_;
}

TWirecore& DataOperation::CreateSocket()
{
    outerSocket_ = ftp_.DataSocket;
    socket_ = std::make_unique<TWirecore>(nullptr);
    ftp_.DataSocket = socket_.get();
    // The user's Cancel on the component ends every wait of its data connection.
    socket_->CanceledWith = &ftp_;
    socket_->TimeOut = ftp_.TimeOut;
    if (kind_.isUpload) {
        if (ftp_.OnPacketSent) socket_->OnPacketSent = ftp_.OnPacketSent;
    } else {
        if (ftp_.OnPacketRecvd) socket_->OnPacketRecvd = ftp_.OnPacketRecvd;
    }
    return *socket_;
}

void DataOperation::Fail(const std::string& reply, bool reportUnsupported)
{
    // "425 Can't open data connection": the server could not reach us, or we it.
    if (LeadingReplyCode(reply) == 425)
        return Fail(FTPException(reply, ErrorReason::DataConnectionFailed), reportUnsupported);
    Fail(FTPException::Refusal(reply), reportUnsupported);
}

void DataOperation::Fail(const FTPException& failure, bool reportUnsupported)
{
    ftp_.ReportFailure(kind_.kind, failure,
                       reportUnsupported && ftp_.ReplyCode >= 500 && ftp_.ReplyCode <= 502);
}

bool DataOperation::AcceptIfActive()
{
    if (ftp_.Passive) return true;
    // Anyone who can reach the listening port may connect to it, and whoever comes first would
    // receive the upload or write into the download. Only the server may. Behind a proxy the
    // data comes from the server itself, whose address we do not know, so the check is left out.
    const bool fromServerOnly = ftp_.Proxy.empty();
    // The address the control connection is connected to, of either family.
    const platform::SocketAddress server =
        fromServerOnly ? ftp_.PeerAddress() : platform::SocketAddress{};
    std::optional<platform::SocketHandle> accepted;
    {
        DataWaitWatch watch(ftp_, *socket_);
        // The wait for the server's connection is bounded by AcceptTimeOut when that is set,
        // otherwise by TimeOut like every other wait of the data connection (none when it is 0).
        const Deadline bound =
            Deadline::NoProgressFor(ftp_.AcceptTimeOut > 0 ? ftp_.AcceptTimeOut : socket_->TimeOut);
        socket_->TimedOut = false;
        const platform::ScopedValue<const Deadline*> bounded(socket_->OuterDeadline, &bound);
        try {
            for (;;) {
                const platform::SocketHandle handle = socket_->Accept();
                if (!fromServerOnly || platform::SameHost(socket_->RemoteAddress, server)) {
                    accepted = handle;
                    break;
                }
                ftp_.ReportStatus(4, "Data connection from " +
                                         platform::AddressText(socket_->RemoteAddress) +
                                         " refused");
                platform::CloseSocket(handle);
                // Accept waits for the next accept notification again.
                socket_->AsyncDone = false;
            }
        } catch (const std::exception&) {
            // The server never came: a router between us may drop its attempts, which it may
            // take a minute to give up on and say so, or it may never say.
            if (!watch.EndedByServer() && socket_->TimedOut && !Cancelled())
                throw ESockError("Accepting Canceled", ErrorReason::DataConnectionFailed);
            if (!watch.EndedByServer()) throw;
        }
    }
    if (!accepted) {
        // The server answered instead of connecting ("425 Can't open data connection").
        FailWithServerReply();
        return false;
    }
    // From here on the data socket reads and writes the accepted connection; Accept has already
    // routed that connection's notifications to the data socket's own window.
    platform::CloseSocket(socket_->SocketHandle);
    socket_->SocketHandle = *accepted;
    return true;
}

bool DataOperation::SecureData()
{
    if (!ftp_.DataProtected()) return true;
    const TTlsSettings settings = ftp_.DataTlsSettings();
    bool endedByServer = false;
    {
        DataWaitWatch watch(ftp_, *socket_);
        try {
            socket_->StartTls(settings);
        } catch (const EAbortError&) {
            if (!watch.EndedByServer()) throw;
            endedByServer = true;
        }
    }
    if (endedByServer) {
        FailWithServerReply();
        return false;
    }
    const TCertificateInfo& certificate = socket_->PeerCertificate();
    if (!certificate.Trusted())
        throw CertificateRejectedError(
            "Certificate of the data connection not trusted (" + certificate.Problem +
                "), and not the control connection's; SHA-256 fingerprint " +
                certificate.Fingerprint,
            certificate);
    ftp_.CheckDataSessionResumed(*socket_);
    return true;
}

void DataOperation::FailWithServerReply() { Fail(ftp_.Replies().ReadFinalReply(), false); }

void DataOperation::BeginDataPhase()
{
    if (ftp_.OnTransactionStart) ftp_.OnTransactionStart(&ftp_);
}

bool DataOperation::Cancelled() const { return ftp_.Canceled || ftp_.TimedOut; }

void DataOperation::FailCancelled() const
{
    // The listing's data phase reads lines, the transfers' move files.
    throw EAbortError(kind_.kind == ctList ? "Socket readln aborted" : "Socket send aborted",
                      ftp_.TimedOut ? ErrorReason::TimedOut : ErrorReason::Canceled);
}

void DataOperation::RunDataPhase(const std::function<void()>& move)
{
    // Nothing was moved, so nothing can have succeeded; the release tells the server (ABOR) and
    // the transfer's closing reply stays owed.
    if (Cancelled()) FailCancelled();
    // The floor under the speed bounds every wait of the data phase beside its own time-out.
    const bool floored = ftp_.SpeedLimit > 0 && ftp_.SpeedTime > 0;
    const Deadline floor =
        floored ? Deadline::SlowerThan(kind_.isUpload ? socket_->BytesSent : socket_->BytesReceived,
                                       ftp_.SpeedLimit * ftp_.SpeedTime,
                                       static_cast<int32_t>(std::min<int64_t>(
                                           int64_t{ftp_.SpeedTime} * 1000, INT32_MAX)))
                : Deadline();
    const platform::ScopedValue<const Deadline*> bounded(socket_->OuterDeadline,
                                                         floored ? &floor : socket_->OuterDeadline);
    DataWaitWatch watch(ftp_, *socket_);
    try {
        move();
    } catch (const EAbortError&) {
        if (floored && floor.Passed() && !watch.EndedByServer())
            throw EAbortError(ftp_.SlowTransferText(), ErrorReason::TimedOut);
        // The server's failure reply ended the wait; the closing reply read next says why.
        if (!watch.EndedByServer()) throw;
        socket_->Canceled = false;
    } catch (const ESockError& error) {
        // A data connection the server cut off (a reset) ends the data phase as its close does:
        // the server's closing reply comes next and says why ("426 Connection closed; transfer
        // aborted"), which is what the user is told. The operation fails either way.
        const bool cutOff = error.Reason() == ErrorReason::SocketError &&
                            (error.ErrorNumber() == platform::kErrConnectionReset ||
                             error.ErrorNumber() == platform::kErrConnectionAborted);
        if (!cutOff || !ftp_.Connected || ftp_.Replies().Owed() == 0) throw;
        cutOff_.emplace(error);
    }
}

int64_t DataOperation::CloseDataPhase()
{
    if (ftp_.OnTransactionStop) ftp_.OnTransactionStop(&ftp_);
    // Closing must not wait for the last bytes to be delivered; the system finishes sending
    // them in the background.
    if (kind_.isUpload) platform::SetLinger(socket_->SocketHandle, false, 0);
    socket_->CloseSocket();
    const int64_t received = socket_->BytesReceived;
    if (kind_.isDownload) {
        ftp_.TransferSize = received;
        ftp_.ReportStatus(1, "Received " + std::to_string(received) + " Bytes");
    }
    // A Cancel (or the component's time-out) that came after the data moved still ends the
    // operation: what the server says about the transfer is not waited for, so it is not known
    // to have succeeded.
    if (Cancelled()) FailCancelled();
    return kind_.isUpload ? socket_->BytesSent : received;
}

} // namespace ftpdata

std::string TVaskFTP::SlowTransferText() const
{
    return "Transfer slower than " + std::to_string(SpeedLimit) + " bytes/s for " +
           std::to_string(SpeedTime) + " s";
}

namespace ftpdata {

void DataOperation::FreeSocket()
{
    if (!socket_) return;
    // A data phase that did not end the ordinary way: the server must not take what it got for
    // the whole file, which close_notify would tell it.
    if (socket_->TlsActive()) socket_->CutConnection();
    ftp_.lastReceivedBytes_ = socket_->BytesReceived;
    ftp_.lastSentBytes_ = socket_->BytesSent;
    if (ftp_.DataSocket == socket_.get()) ftp_.DataSocket = outerSocket_;
    socket_.reset();
}

void DataOperation::SendAbortIfCancelled()
{
    if (!kind_.abortOnCancel || !ftp_.Canceled) return;
    ftp_.Canceled = false;
    // A session that has ended meanwhile has no transfer left to abort.
    if (!ftp_.Connected) return;
    // Its replies (the transfer's own closing reply, then ABOR's) are read before the next
    // command; waiting for them here would hold up the cancel the user asked for.
    ftp_.Replies().Send("ABOR");
}

void DataOperation::Release()
{
    if (released_) return;
    released_ = true;
    FreeSocket();
    SendAbortIfCancelled();
    Unlock();
    if (success_ && ftp_.OnSuccess) ftp_.OnSuccess(kind_.kind);
}

DataWaitWatch::DataWaitWatch(TVaskFTP& ftp, TWirecore& data)
    : ftp_(ftp), data_(data), outerPass_(std::move(data.OnWaitPass))
{
    data_.OnWaitPass = [this] { Check(); };
    // The server's answer may be there before the wait begins.
    Check();
}

DataWaitWatch::~DataWaitWatch()
{
    data_.OnWaitPass = std::move(outerPass_);
    // The control connection's read notification comes for every byte again; the operation's
    // next read of it asks for the notification once more.
    wake_.reset();
}

void DataWaitWatch::Check()
{
    if (data_.Canceled) return;
    if (!failureSeen_) failureSeen_ = FailureReplyWaiting();
    // Bytes still waiting on the data connection are read first: a server that sends what it has
    // and then reports failure leaves them for the local file, which keeps a true prefix either
    // way. The data wait's next pass looks again.
    if (failureSeen_ && platform::PendingBytes(data_.SocketHandle) == 0) {
        endedByServer_ = true;
        data_.Cancel();
    }
}

bool DataWaitWatch::FailureReplyWaiting()
{
    // A server that has hung up will neither connect nor answer: the wait is over.
    if (!ftp_.Connected) return true;
    // A peek asks for the read notification again, so it is taken only when something changed;
    // otherwise the notification would come back at once, over and over.
    const long pending = ftp_.ControlPending();
    if (pending == seenPending_) return false;
    seenPending_ = pending;
    // With nothing waiting, a look of one byte finds out whether the control connection has
    // reached its end. Over TLS what is waiting may be records that hold no reply at all.
    char head[kWatchPeekLength];
    long peeked = -1;
    try {
        peeked = ftp_.Peek(head, static_cast<size_t>(std::clamp(pending, 1L, kWatchPeekLength)));
    } catch (const ESockError&) {
        return true; // a TLS stream that fails carries no more replies
    }
    // The peek asked for the notification again: from now on it comes only for bytes beyond
    // those on the socket now, or the server's close. A handler that reads the control
    // connection meanwhile ends that mark with its first receive.
    wake_.reset();
    wake_.emplace(ftp_.SocketHandle, platform::PendingBytes(ftp_.SocketHandle));
    if (peeked == 0) return true;
    if (peeked < 0) return false;
    const std::string text(head, static_cast<size_t>(peeked));
    const size_t end = text.find('\n');
    // A reply line not yet whole is looked at again once more of it has come.
    if (end == std::string::npos) return false;
    return IsFailureCode(LeadingReplyCode(text.substr(0, end)));
}

} // namespace ftpdata
