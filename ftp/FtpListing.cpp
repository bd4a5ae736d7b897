// ListDirectory: "LIST" over a data connection, each line to OnListItem and, when asked, to the
// listing parser; the server's system type asked once per connection with "SYST".
#include "ftp/FtpDataConnection.h"
#include "ftp/VaskFtp.h"

#include "platform/MessageLoop.h"
#include "platform/SocketErrors.h"

#include <algorithm>

namespace {

// Searched in this order: "VMS" before "VM", so a VMS system is never taken for VM.
struct SystemName {
    const char* text;
    int32_t vendor;
};
constexpr SystemName kSystemNames[] = {
    {"UNIX", vendorUnix},   {"NETWARE", vendorNetware}, {"DOS", vendorDos},
    {"VMS", vendorVms},     {"MVS", vendorMvs},         {"VM", vendorVm},
    {"MACOS", vendorMacOs}, {"OS/400", vendorOs400},
};

int32_t VendorFromSystemReply(const std::string& reply)
{
    for (const SystemName& name : kSystemNames)
        if (reply.find(name.text) != std::string::npos) return name.vendor;
    return vendorOther;
}

void DetectSystem(TVaskFTP& ftp)
{
    // A server that does not know SYST still lists; its refusal only leaves the type unknown.
    try {
        ftp.SendCommand("SYST");
    } catch (const std::exception&) {
    }
    ftp.Vendor = VendorFromSystemReply(ftp.LastReply);
}

void PrepareParser(TVaskFTP& ftp)
{
    if (!ftp.ListParser) {
        if (ftp.Vendor == vendorAutoDetect) DetectSystem(ftp);
        // Every system type, named in the table or not, gets the Unix reading: it is what
        // nearly every server writes, and a parsed listing needs some parser.
        ftp.ListParser = std::make_unique<TFTPUnixList>();
    }
    ftp.ListParser->Clear();
}

// One listing line as it came, line end included when it had one.
void DeliverLine(TVaskFTP& ftp, std::string line, bool hasLineEnd)
{
    // CR LF or a bare LF; a line of one or two characters is handed on as it came.
    if (hasLineEnd && line.size() > 2)
        line.resize(line.size() - (line[line.size() - 2] == '\r' ? 2 : 1));
    // A handler may have disconnected meanwhile, which frees the parser.
    if (ftp.ParseList && ftp.ListParser) ftp.ListParser->ParseLine(line);
    if (!ftp.Utf8()) ftp.listingNames_.See(line);
    if (ftp.OnListItem) ftp.OnListItem(line);
}

// Reads the data connection until the server has closed it and every byte has been read.
// Bytes are taken as they arrive and cut into lines here, so a partial line never sits in the
// socket (where it would keep the read notification firing), and the last line is delivered
// even when the server did not end it. A line may be as long as a reply line; one that goes on
// past that is no listing, and holding it would let a server fill our memory.
void ReadListing(TVaskFTP& ftp, TWirecore& data)
{
    std::string pending;    // bytes received and not yet delivered as lines
    size_t searched = 0;    // the start of `pending` known to hold no line feed
    TimerGuard timer(data); // TimeOut bounds the time without progress
    for (;;) {
        // Abort on the component, or the data socket's own time-out.
        if (data.Canceled) {
            data.Canceled = false;
            throw EAbortError("Socket readln aborted",
                              data.TimedOut ? ErrorReason::TimedOut : ErrorReason::Canceled);
        }
        // The close notification closes the socket only once every byte has been read.
        if (!data.Connected) break;
        // Received straight behind what is pending: one call and no copy for each block.
        const size_t kept = pending.size();
        pending.resize(kept + TWirecore::kChunkSize);
        const long received = data.Take(pending.data() + kept, TWirecore::kChunkSize);
        pending.resize(kept + static_cast<size_t>(std::max(received, 0L)));
        if (received > 0) {
            size_t start = 0;
            for (size_t end;
                 (end = pending.find('\n', std::max(start, searched))) != std::string::npos;) {
                DeliverLine(ftp, pending.substr(start, end + 1 - start), true);
                start = end + 1;
            }
            pending.erase(0, start);
            searched = pending.size();
            if (pending.size() > TWirecore::kMaxLineLength)
                throw ESockError("Line longer than " + std::to_string(TWirecore::kMaxLineLength) +
                                     " bytes",
                                 ErrorReason::LineTooLong);
            data.StopTimer();
            data.StartTimer();
            // Handlers, a Cancel and the time-out get their turn even while bytes keep coming.
            platform::ProcessMessagesWhileBusy();
            continue;
        }
        // The end of the stream (its close notification may still be queued).
        if (received == 0) break;
        // Nothing waiting, or a broken connection, which must not leave us waiting on it (the
        // close notification has put a fresh socket in place of one that had ended).
        data.LastError = platform::LastSocketError();
        if (data.LastError == platform::kErrNotConnected) break;
        data.CheckSocketError(TWirecore::kToleratedError);
        // The receive above re-armed the data socket's notifications, so this pass sleeps until
        // bytes, the close, a timer or user input arrive.
        platform::ProcessMessages();
    }
    // A TLS stream that ended without close_notify may have been cut by someone on the way: the
    // listing is not known to be whole.
    if (data.TlsTruncated())
        throw ESockError("TLS stream ended without close_notify: the listing may be incomplete",
                         ErrorReason::TlsTruncated);
    if (!pending.empty()) DeliverLine(ftp, pending, false);
}

} // namespace

void TVaskFTP::ListDirectory()
{
    if (ListInProgress)
        throw Exception("A list command is already being processed!", ErrorReason::ListInProgress);
    ListInProgress = true;
    // Cleared on every way out, after the release and its OnSuccess.
    struct ClearFlag {
        bool& flag;
        ~ClearFlag() { flag = false; }
    } clearFlag{ListInProgress};

    ControlUse use(*this);
    ftpdata::DataOperation op(*this, ftpdata::kListing);
    op.Lock();
    op.Start();
    TWirecore& data = op.CreateSocket();
    if (ParseList) PrepareParser(*this);
    if (!op.OpenChannel()) return op.Release();

    ReportStatus(1, "LIST");
    const std::string reply = Transaction("LIST");
    if (op.TransferReplyFails(reply)) {
        op.Fail(reply, true);
        return op.Release();
    }
    if (!op.AcceptIfActive() || !op.SecureData()) return op.Release();
    op.BeginDataPhase();
    listingNames_.BeginListing();
    op.RunDataPhase([&] { ReadListing(*this, data); });
    if (!op.EndDataPhase()) return op.Release();
    // Before OnSuccess, whose handler may already show names in the session's character set.
    listingNames_.EndListing();
    op.Release();
}
