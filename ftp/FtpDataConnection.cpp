// The data connection of a listing or transfer: set-up in passive or active mode, the reply
// checks with their failure protocol, the end of the data phase and the release.
#include "ftp/FtpDataConnection.h"

#include "net/TextFields.h"
#include "platform/Conversions.h"

namespace ftpdata {

int32_t PassivePort(const std::string& reply)
{
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." -- fields are counted from the start of
    // the line, so the text before the parenthesis belongs to the first one.
    const std::string high = ExtractField(reply, ',', 5);
    const std::string sixth = ExtractField(reply, ',', 6);
    const size_t close = sixth.find(')');
    const std::string low = close == std::string::npos ? std::string() : sixth.substr(0, close);
    const int64_t port = int64_t{platform::StrToInt(high)} * 256 + platform::StrToInt(low);
    // A port the numbers cannot name would be truncated into some other port by the connect.
    if (port < 0 || port > 65535) throw RangeError();
    return static_cast<int32_t>(port);
}

int LeadingReplyCode(const std::string& line)
{
    int code = 0;
    for (size_t i = 0; i < line.size() && i < 9 && line[i] >= '0' && line[i] <= '9'; ++i)
        code = code * 10 + (line[i] - '0');
    return code;
}

std::string FileNamePart(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

DataOperation::DataOperation(TVaskFTP& ftp, const DataOperationKind& kind)
    : ftp_(ftp), kind_(kind), lock_(ftp.TransferLock, std::defer_lock)
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
    if (kind_.takesLock && !lock_.owns_lock()) lock_.lock();
}

void DataOperation::Unlock()
{
    if (lock_.owns_lock()) lock_.unlock();
}

void DataOperation::Drain()
{
    if (ftp_.DataAvailable()) ftp_.Read(0);
}

void DataOperation::SelectBinaryType() { ftp_.Transaction("TYPE I"); }

TWirecore& DataOperation::CreateSocket()
{
    outerSocket_ = ftp_.DataSocket;
    socket_ = new TWirecore(&ftp_);
    ftp_.DataSocket = socket_;
    socket_->TimeOut = ftp_.TimeOut;
    if (kind_.isUpload) {
        if (ftp_.OnPacketSent) socket_->OnPacketSent = ftp_.OnPacketSent;
    } else {
        if (ftp_.OnPacketRecvd) socket_->OnPacketRecvd = ftp_.OnPacketRecvd;
    }
    return *socket_;
}

bool DataOperation::OpenChannel()
{
    if (ftp_.Passive) {
        const std::string reply = ftp_.Transaction("PASV");
        // A 4xx answer is not treated as a refusal here: its numbers, if any, are still tried.
        if (reply.empty() || ftp_.ReplyCode >= 500) {
            Fail(reply, false);
            return false;
        }
        const int32_t port = PassivePort(reply);
        // The address of the reply is ignored: the data connection goes where the control
        // connection went, which also keeps a server from pointing us at a third host.
        socket_->Host = ftp_.Host;
        socket_->Port = port;
        socket_->Connect();
        return true;
    }
    socket_->Port = 0;
    socket_->Listen(true);
    const std::string reply =
        ftp_.Transaction("PORT " + ftp_.LocalAddressText() + socket_->LocalPortText());
    if (TransferReplyFails(reply)) {
        Fail(reply, false);
        return false;
    }
    return true;
}

bool DataOperation::TransferReplyFails(const std::string& reply) const
{
    // No reply at all: the server hung up, and nothing it was asked will happen (in active mode
    // it would never connect, and the accept would wait for good).
    return reply.empty() || (ftp_.ReplyCode >= 301 && ftp_.ReplyCode <= 599);
}

void DataOperation::Fail(const std::string& reply, bool reportUnsupported)
{
    if (reportUnsupported && ftp_.OnUnSupportedFunction && ftp_.ReplyCode >= 500 &&
        ftp_.ReplyCode <= 502)
        ftp_.OnUnSupportedFunction(kind_.kind);
    const std::string message = reply.empty() ? TVaskFTP::kConnectionClosedText : reply;
    if (!ftp_.OnFailure) throw FTPException(message);
    bool handled = false;
    ftp_.OnFailure(handled, kind_.kind);
    if (!handled) throw FTPException(message);
}

void DataOperation::RequireSingleLine(const std::string& argument)
{
    if (argument.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw Exception("Invalid character in command");
}

void DataOperation::AcceptIfActive()
{
    if (ftp_.Passive) return;
    platform::SocketHandle accepted;
    {
        // The wait for the server's connection is bounded by TimeOut like every other wait of
        // the data connection (no time-out when it is 0).
        TimerGuard timer(*socket_);
        accepted = socket_->Accept();
    }
    // From here on the data socket reads and writes the accepted connection; Accept has already
    // routed that connection's notifications to the data socket's own window.
    platform::CloseSocket(socket_->SocketHandle);
    socket_->SocketHandle = accepted;
}

void DataOperation::BeginDataPhase()
{
    if (ftp_.OnTransactionStart) ftp_.OnTransactionStart(&ftp_);
}

bool DataOperation::Cancelled() const { return ftp_.Canceled || ftp_.TimedOut; }

bool DataOperation::EndDataPhase(int64_t announcedSize, int64_t restartOffset)
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
    std::string finalReply;
    const bool readFinalReply = !Cancelled();
    if (readFinalReply) finalReply = ftp_.ReadLn();
    ftp_.ReportStatus(1, finalReply);
    if (!Cancelled()) ftp_.ConsumeContinuationLines(finalReply);
    if (kind_.isDownload && ftp_.OnTransactionStop) ftp_.OnTransactionStop(&ftp_);

    // A server that gives up halfway ("426 Connection closed; transfer aborted") has sent only
    // part of the data: that is a failure, whatever arrived. So is a server that hung up
    // without confirming the transfer.
    const int code = LeadingReplyCode(finalReply);
    if ((code >= 400 && code <= 599) || (finalReply.empty() && readFinalReply)) {
        Fail(finalReply, false);
        return false;
    }
    // A connection that simply ended early: fewer bytes than the transfer reply announced. A
    // resumed download counts what it already had, since servers announce the whole file.
    if (kind_.isDownload && announcedSize > 0 && restartOffset + received < announcedSize) {
        Fail("Transfer incomplete: " + std::to_string(restartOffset + received) + " of " +
                 std::to_string(announcedSize) + " bytes received",
             false);
        return false;
    }
    success_ = true;
    return true;
}

void DataOperation::FreeSocket()
{
    if (!socket_) return;
    ftp_.lastReceivedBytes_ = socket_->BytesReceived;
    ftp_.lastSentBytes_ = socket_->BytesSent;
    if (ftp_.DataSocket == socket_) ftp_.DataSocket = outerSocket_;
    TWirecore* socket = socket_;
    socket_ = nullptr;
    delete socket;
}

void DataOperation::SendAbortIfCancelled()
{
    if (!kind_.abortOnCancel || !ftp_.Canceled) return;
    ftp_.Canceled = false;
    ftp_.Transaction("ABOR");
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

} // namespace ftpdata
