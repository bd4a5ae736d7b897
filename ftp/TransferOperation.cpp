// A listing or file transfer as a state machine: see TransferOperation.h.
#include "ftp/TransferOperation.h"

#include "ftp/FtpDataConnection.h"
#include "ftp/ListEntry.h"
#include "ftp/ReplyFit.h"

namespace {

bool Preliminary(int code) { return code >= 100 && code <= 199; }
bool Refused(const FtpReply& reply)
{
    return reply.closed || (reply.code >= 400 && reply.code <= 599);
}

// The refusal `reply`; "425 Can't open data connection" says the data connection failed.
FtpFailure RefusalOf(const FtpReply& reply)
{
    FtpFailure failure = FtpFailure::Refusal(reply);
    if (!reply.closed && reply.code == 425) failure.reason = ErrorReason::DataConnectionFailed;
    return failure;
}

using Step = TransferOperation::Step;

Step Closing()
{
    Step step;
    step.closeData = true;
    return step;
}

Step Sending(std::string command)
{
    Step step;
    step.send = std::move(command);
    return step;
}

std::string Bytes(int64_t count) { return std::to_string(count) + " bytes"; }

// "213 1234": the size; unknown for anything else.
int64_t SizeOf(const FtpReply& reply)
{
    if (reply.code != 213 || reply.first.size() < 5) return -1;
    std::string digits = reply.first.substr(4);
    while (!digits.empty() &&
           (digits.back() == '\n' || digits.back() == '\r' || digits.back() == ' '))
        digits.pop_back();
    const std::optional<uint64_t> size = DecimalSize(digits);
    if (!size || *size > static_cast<uint64_t>(INT64_MAX)) return -1;
    return static_cast<int64_t>(*size);
}

} // namespace

TransferOperation::TransferOperation(Settings settings) : settings_(std::move(settings)) {}

bool TransferOperation::Ended() const
{
    return state_ == State::Succeeded || state_ == State::Failed || state_ == State::Canceled;
}

bool TransferOperation::Pipelining() const
{
    return settings_.pipelined && settings_.passive &&
           !(settings_.kind == Kind::Get && settings_.restart);
}

std::string TransferOperation::Asked() const
{
    switch (state_) {
    case State::Type: return "TYPE I";
    case State::Size: return "SIZE " + settings_.sizeOf;
    case State::Channel:
        if (!settings_.passive) return portCommand_;
        return settings_.extended ? "EPSV" : "PASV";
    case State::Restart: return "REST " + std::to_string(settings_.offset);
    default: return settings_.command;
    }
}

TransferOperation::Step TransferOperation::Pipelined(Step step)
{
    step.sendNext = settings_.command;
    commandSent_ = true;
    return step;
}

TransferOperation::Step TransferOperation::Enter(State next, Step step)
{
    state_ = next;
    if (Ended()) step.done = true;
    return step;
}

TransferOperation::Step TransferOperation::Enter(State next) { return Enter(next, Step{}); }

TransferOperation::Step TransferOperation::Fail(FtpFailure failure)
{
    failure_ = std::move(failure);
    failedIn_ = state_;
    return Enter(State::Failed, Closing());
}

TransferOperation::Step TransferOperation::Start()
{
    if (state_ != State::Idle) return {};
    // A listing goes in whatever type the session is in; files go byte for byte.
    if (settings_.kind == Kind::List) return OpenChannel();
    if (settings_.binary) return settings_.sizeOf.empty() ? OpenChannel() : AskSize();
    return Enter(State::Type, Sending("TYPE I"));
}

TransferOperation::Step TransferOperation::AskSize()
{
    return Enter(State::Size, Sending("SIZE " + settings_.sizeOf));
}

TransferOperation::Step TransferOperation::OpenChannel()
{
    if (!settings_.passive) {
        Step step;
        step.listen = true;
        return Enter(State::Channel, step);
    }
    Step step = Sending(settings_.extended ? "EPSV" : "PASV");
    if (Pipelining()) step = Pipelined(step);
    return Enter(State::Channel, step);
}

TransferOperation::Step TransferOperation::Listening(const std::string& portCommand)
{
    if (state_ != State::Channel) return {};
    portCommand_ = portCommand;
    return Sending(portCommand);
}

TransferOperation::Step TransferOperation::AfterSize()
{
    if (settings_.kind == Kind::Get && settings_.compareWithLocal && total_ >= 0) {
        // Nothing left to fetch costs no data connection at all.
        if (settings_.offset == total_) {
            dataBytes_ = 0;
            return Enter(State::Succeeded);
        }
        // Longer than the server's file: not a part of it, and nothing a resume can mend.
        if (settings_.offset > total_)
            return Fail({"Local file is longer than the server's: " +
                             std::to_string(settings_.offset) + " of " + Bytes(total_),
                         ErrorReason::TransferIncomplete});
    }
    return OpenChannel();
}

TransferOperation::Step TransferOperation::SendCommand()
{
    return Enter(State::Command, Sending(settings_.command));
}

TransferOperation::Step TransferOperation::Reply(const FtpReply& reply)
{
    if (state_ == State::Idle || Ended()) return {};
    if (ftpreply::FitOf(Asked(), reply) == ftpreply::Fit::OutOfStep)
        return Fail(ftpreply::OutOfStepFailure(Asked(), reply));
    switch (state_) {
    case State::Type:
        if (reply.closed) return Fail(RefusalOf(reply));
        if (settings_.sizeOf.empty()) return OpenChannel();
        return AskSize();
    case State::Size:
        if (reply.closed) return Fail(RefusalOf(reply));
        total_ = SizeOf(reply);
        return AfterSize();
    case State::Channel: {
        Step step;
        if (settings_.passive) {
            // A 4xx answer is no refusal here: its numbers, if any, are still tried.
            if (reply.closed || reply.code >= 500) return Fail(RefusalOf(reply));
            // PASV numbers that are no numbers at all raise the conversion's error.
            step.connectTo = settings_.extended ? ftpdata::ExtendedPassivePort(reply.first)
                                                : ftpdata::PassivePort(reply.first);
            if (!step.connectTo) return Fail({reply.first, ErrorReason::BadReply});
        } else if (reply.closed || (reply.code >= 301 && reply.code <= 599)) {
            // The server will not connect to the address offered.
            FtpFailure failure = RefusalOf(reply);
            if (!reply.closed) failure.reason = ErrorReason::DataConnectionFailed;
            return Fail(failure);
        }
        if (commandSent_) {
            step.moveData = true;
            return Enter(State::Command, step);
        }
        if (settings_.kind == Kind::Get && settings_.restart) {
            step.send = "REST " + std::to_string(settings_.offset);
            return Enter(State::Restart, step);
        }
        step.send = settings_.command;
        return Enter(State::Command, step);
    }
    case State::Restart:
        // Without the restart the server would send the whole file, to be appended after the
        // bytes already here: a spliced file.
        if (reply.closed || reply.code != 350) return Fail(RefusalOf(reply));
        return SendCommand();
    case State::Command:
        if (reply.closed || (reply.code >= 301 && reply.code <= 599)) return Refusal(reply);
        if (Preliminary(reply.code)) {
            if (total_ < 0 && settings_.kind == Kind::Get) {
                const int64_t announced = ParseTransferSize(reply.first);
                if (announced > 0) total_ = announced;
            }
        } else {
            closing_ = reply; // the command's reply was its last word
        }
        if (dataBytes_ && closing_) return Decide();
        {
            Step step;
            step.moveData = true;
            return Enter(State::DataPhase, step);
        }
    case State::DataPhase:
        if (!reply.closed && Preliminary(reply.code)) return {};
        closing_ = reply;
        // A server that gives up halfway has sent only part of the data, whatever arrived.
        if (Refused(reply)) return Refusal(reply);
        if (dataBytes_) return Decide();
        return {};
    default: return {};
    }
}

void TransferOperation::SizeAnnounced(int64_t size)
{
    if (total_ < 0 && size > 0 && settings_.kind == Kind::Get) total_ = size;
}

TransferOperation::Step TransferOperation::DataEnded(int64_t bytes)
{
    if (Ended()) return {};
    dataBytes_ = bytes;
    if (state_ == State::DataPhase && closing_) return Decide();
    return {};
}

TransferOperation::Step TransferOperation::DataFailed(const FtpFailure& failure)
{
    if (Ended()) return {};
    if (state_ == State::Command && commandSent_ && !closing_) {
        // A pipelined command is judged by its reply, as in the data phase; a server that still
        // waits for the connection that could not be made is told ABOR, so that the reply comes.
        Step step = Closing();
        if (failure.reason == ErrorReason::DataConnectionFailed) step.send = "ABOR";
        failure_ = failure;
        dataBytes_ = -1;
        return step;
    }
    // A data connection the server cut off is followed by its closing reply, which says why
    // ("426 Connection closed; transfer aborted"); that is what the user is told.
    if (state_ == State::DataPhase && !closing_) {
        failure_ = failure;
        dataBytes_ = -1;
        return Closing();
    }
    return Fail(failure);
}

TransferOperation::Step TransferOperation::Refusal(const FtpReply& reply)
{
    // A failure on this side (a local file that cannot be written, a data connection refused
    // for its TLS) is why the server's reply is a refusal: that failure is the one told.
    if (dataBytes_ && *dataBytes_ < 0 && OwnFailure(failure_.reason)) return Fail(failure_);
    return Fail(RefusalOf(reply));
}

bool TransferOperation::OwnFailure(ErrorReason reason)
{
    switch (reason) {
    case ErrorReason::FileOpen:
    case ErrorReason::FileCreate:
    case ErrorReason::FileRead:
    case ErrorReason::FileWrite:
    case ErrorReason::CertificateRejected:
    case ErrorReason::TlsDataNotResumed:
    case ErrorReason::LineTooLong: return true;
    default: return false;
    }
}

TransferOperation::Step TransferOperation::Decide()
{
    if (closing_ && Refused(*closing_)) return Refusal(*closing_);
    if (*dataBytes_ < 0) return Fail(failure_);
    if (settings_.kind == Kind::Put && settings_.sendSize >= 0 && *dataBytes_ < settings_.sendSize)
        return Fail({"Transfer incomplete: " + Bytes(*dataBytes_) + " sent of a file of " +
                         Bytes(settings_.sendSize),
                     ErrorReason::TransferIncomplete});
    if (settings_.kind == Kind::Get && total_ >= 0 && settings_.offset + *dataBytes_ != total_)
        return Fail({"Transfer incomplete: " + Bytes(settings_.offset + *dataBytes_) +
                         " received for a file of " + Bytes(total_),
                     ErrorReason::TransferIncomplete});
    return Enter(State::Succeeded, Closing());
}

TransferOperation::Step TransferOperation::Cancel(bool timedOut, std::string why)
{
    if (Ended()) return {};
    Step step = Closing();
    // A download or listing the server has begun is told to stop; an upload's cut connection
    // tells the server by itself.
    const bool begun = state_ == State::Command || state_ == State::DataPhase || commandSent_;
    if (begun && settings_.kind != Kind::Put) step.send = "ABOR";
    failure_ = {settings_.kind == Kind::List ? "Socket readln aborted" : "Socket send aborted",
                timedOut ? ErrorReason::TimedOut : ErrorReason::Canceled};
    if (!why.empty()) failure_.message = std::move(why);
    return Enter(State::Canceled, step);
}
