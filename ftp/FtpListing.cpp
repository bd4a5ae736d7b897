// ListDirectory: "LIST" (or, for a parsed listing from a server that offers it, "MLSD") over a
// data connection, each line to OnListItem and, when asked, to the listing parser; the server's
// system type asked once per connection with "SYST".
#include "ftp/FtpDataConnection.h"
#include "ftp/TransferLoop.h"
#include "ftp/VaskFtp.h"

#include "net/Wait.h"
#include "platform/SocketErrors.h"

#include <algorithm>
#include <string>
#include <vector>

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
    } catch (const EAbortError&) {
        throw; // the user's Cancel, or the session's time-out, ends the listing too
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
    // A session may outlast the day, or the year, that dates without a year are placed against.
    ftp.ListParser->Today = TListDay::Today();
}

// One listing line as it came, line end included when it had one; without it, unless the line
// is one or two characters long, which are handed on as they came.
std::string WithoutLineEnd(std::string line, bool hasLineEnd)
{
    if (hasLineEnd && line.size() > 2)
        line.resize(line.size() - (line[line.size() - 2] == '\r' ? 2 : 1));
    return line;
}

// Where the lines of one pass of the listing go.
class ListingLines {
public:
    ListingLines(TVaskFTP& ftp, bool machine) : ftp_(ftp), machine_(machine) {}

    void Take(std::string line, bool hasLineEnd)
    {
        line = WithoutLineEnd(std::move(line), hasLineEnd);
        if (!machine_) return Deliver(line);
        // A machine listing is judged whole before its lines are handed on: if it cannot be
        // read, the listing is taken again with LIST, and only LIST's lines are handed on.
        if (broken_) return;
        auto* parser = dynamic_cast<TFTPUnixList*>(ftp_.ListParser.get());
        if (parser && !parser->ParseMachineLine(line)) {
            broken_ = true;
            held_.clear();
            return;
        }
        held_.push_back(std::move(line));
    }

    // The held lines of a machine listing, to OnListItem.
    void HandOn()
    {
        for (const std::string& line : held_) {
            if (!ftp_.Utf8()) ftp_.listingNames_.See(line);
            if (ftp_.OnListItem) ftp_.OnListItem(line);
        }
        held_.clear();
    }

    bool Broken() const { return broken_; }

private:
    void Deliver(const std::string& line)
    {
        // A handler may have disconnected meanwhile, which frees the parser.
        if (ftp_.ParseList && ftp_.ListParser) ftp_.ListParser->ParseLine(line);
        if (!ftp_.Utf8()) ftp_.listingNames_.See(line);
        if (ftp_.OnListItem) ftp_.OnListItem(line);
    }

    TVaskFTP& ftp_;
    bool machine_;
    bool broken_ = false;
    std::vector<std::string> held_;
};

// Reads the data connection until the server has closed it and every byte has been read.
// Bytes are taken as they arrive and cut into lines here, so a partial line never sits in the
// socket (where it would keep the read notification firing), and the last line is delivered
// even when the server did not end it. A line may be as long as a reply line; one that goes on
// past that is no listing, and holding it would let a server fill our memory.
void ReadListing(ListingLines& lines, TWirecore& data)
{
    std::string pending; // bytes received and not yet delivered as lines
    size_t searched = 0; // the start of `pending` known to hold no line feed
    // TimeOut bounds the time without progress.
    Deadline deadline = data.NoProgressDeadline();
    WaitBounds bounds{.pass = WaitPass::None, .deadline = &deadline};
    for (;;) {
        // Abort on the component, a Cancel, or the time-out. Handlers, a Cancel and the time-out
        // get their turn even while bytes keep coming; when nothing is waiting, the receive has
        // re-armed the data socket's notifications, so the pass sleeps until bytes, the close, a
        // timer or user input arrive.
        if (Wait(data, bounds) != WaitEnd::Ready) {
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
                lines.Take(pending.substr(start, end + 1 - start), true);
                start = end + 1;
            }
            pending.erase(0, start);
            searched = pending.size();
            if (pending.size() > TWirecore::kMaxLineLength)
                throw ESockError("Line longer than " + std::to_string(TWirecore::kMaxLineLength) +
                                     " bytes",
                                 ErrorReason::LineTooLong);
            deadline.Progress();
            bounds.pass = WaitPass::IfDue;
            continue;
        }
        // The end of the stream (its close notification may still be queued).
        if (received == 0) break;
        // Nothing waiting, or a broken connection, which must not leave us waiting on it (the
        // close notification has put a fresh socket in place of one that had ended).
        data.LastError = platform::LastSocketError();
        if (data.LastError == platform::kErrNotConnected) break;
        data.CheckSocketError(TWirecore::kToleratedError);
        bounds.pass = WaitPass::Block;
    }
    // A TLS stream that ended without close_notify may have been cut by someone on the way: the
    // listing is not known to be whole.
    if (data.TlsTruncated())
        throw ESockError("TLS stream ended without close_notify: the listing may be incomplete",
                         ErrorReason::TlsTruncated);
    if (!pending.empty()) lines.Take(pending, false);
}

enum class PassEnd { Done, TakeAgainWithList };

// The session's MLSD is not to be trusted: this listing and every later one use LIST.
PassEnd GiveUpMachineListings(TVaskFTP& ftp, const std::string& why)
{
    ftp.mlsdFailed_ = true;
    ftp.ReportStatus(1, why + "; listing with LIST for the rest of the session");
    return PassEnd::TakeAgainWithList;
}

// One listing over one data connection, with MLSD (`machine`) or LIST.
PassEnd ListPass(TVaskFTP& ftp, bool machine)
{
    TVaskFTP::ControlUse use(ftp);
    ftpdata::DataOperation op(ftp, ftpdata::kListing);
    op.Lock();
    op.Start();
    const std::string command = machine ? "MLSD" : "LIST";
    TransferOperation listing(
        ftpdata::TransferSettingsFor(ftp, TransferOperation::Kind::List, command));
    ListingLines lines(ftp, machine);
    PassEnd end = PassEnd::Done;

    ftpdata::TransferScript script;
    script.beforeChannel = [&] {
        op.CreateSocket();
        if (ftp.ParseList) PrepareParser(ftp);
        if (machine) ftp.AskMlstFacts();
        return true;
    };
    script.channelOpen = [&] { ftp.ReportStatus(1, command); };
    // A server that lists MLST but does not know MLSD ("500 Unknown command", "502 Not
    // implemented") still lists; a refusal of another kind (no such directory, no permission, no
    // data connection) would be LIST's as well.
    script.commandRefused = [&](int code) {
        if (!machine || code < 500 || code > 504) return false;
        end = GiveUpMachineListings(ftp, "MLSD refused");
        return true;
    };
    script.move = [&](TWirecore& data) {
        ftp.listingNames_.BeginListing();
        ReadListing(lines, data);
    };
    // Handed on where LIST's lines would have been: before the final reply.
    script.afterMove = [&] {
        if (!lines.Broken()) lines.HandOn();
    };
    script.conclude = [&] {
        if (lines.Broken()) {
            op.Discard();
            end = GiveUpMachineListings(ftp, "MLSD answer not readable");
            return true;
        }
        // Before OnSuccess, whose handler may already show names in the session's charset.
        ftp.listingNames_.EndListing();
        return true;
    };
    script.reportUnsupported = true;
    ftpdata::Drive(ftp, op, listing, script);
    op.Release();
    return end;
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

    // The window's listing (ParseList off) shows the server's own LIST lines.
    if (ParseList && UsesMachineListings() && ListPass(*this, true) == PassEnd::Done) return;
    ListPass(*this, false);
}
