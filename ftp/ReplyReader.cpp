// The control connection's reply reader: framing, the replies owed, the bounded waits.
#include "ftp/ReplyReader.h"

#include "ftp/FtpDataConnection.h"
#include "ftp/FtpReply.h"
#include "ftp/VaskFtp.h"
#include "net/Wait.h"

#include <utility>

namespace {

// A reply of many lines that are all waiting already is read without a single wait, so the
// message loop gets a turn every so many lines: a Cancel, a time-out and the window's painting
// still come through while a server floods us with them.
constexpr int kLinesBetweenMessagePasses = 256;
// Of a line the event loop reads only its code and a readable start matter.
constexpr size_t kIdleLineKept = 512;
// Of a reply, at most this many lines are kept for LastFailure().
constexpr size_t kFailureLinesKept = 64;

const char* const kReadLnAborted = "Socket readln aborted";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "220-Welcome": the first line of a reply that goes on.
bool OpensMultiLine(const std::string& line)
{
    return line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
           line[3] == '-';
}

// "220 Ready." closes the reply "220-" opened; so does the bare code at the end of a line.
bool ClosesMultiLine(const std::string& line, const std::string& opener)
{
    if (line.compare(0, 3, opener) != 0) return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '\r' || line[3] == '\n';
}

bool IsPreliminary(int code) { return code >= 100 && code <= 199; }

} // namespace

// Bounds the reading it encloses: once no line has come for the time allowed, the read under way
// ends as a timed-out read does (the one wait sees the control connection's OuterDeadline pass),
// and so does every later one until it goes out of scope. Nested ones leave the outer bound in
// force.
class ReplyReader::Patience {
public:
    // `capMs`, when set, bounds the wait below TimeOut.
    explicit Patience(ReplyReader& reader, int32_t capMs = 0) : reader_(reader)
    {
        if (reader_.patience_) return;
        owner_ = true;
        const int32_t timeOut = reader_.control_.TimeOut;
        int32_t allowed = timeOut > 0 ? timeOut : kPatienceMs;
        if (capMs > 0 && capMs < allowed) allowed = capMs;
        deadline_ = Deadline::NoProgressFor(allowed);
        reader_.patience_ = &deadline_;
        outer_ = reader_.control_.OuterDeadline;
        reader_.control_.OuterDeadline = &deadline_;
    }
    ~Patience()
    {
        if (!owner_) return;
        reader_.control_.OuterDeadline = outer_;
        reader_.patience_ = nullptr;
    }
    Patience(const Patience&) = delete;
    Patience& operator=(const Patience&) = delete;

private:
    ReplyReader& reader_;
    bool owner_ = false;
    Deadline deadline_;
    const Deadline* outer_ = nullptr;
};

ReplyReader::ReplyReader(TVaskFTP& control) : control_(control) {}

ReplyReader::~ReplyReader() = default;

void ReplyReader::Restart()
{
    Forget();
    owed_ = 1;
}

void ReplyReader::Forget()
{
    owed_ = 0;
    inReply_ = false;
    opener_.clear();
    idleLine_.clear();
}

// A socket error leaves the session out of step with the server for good (a reset, a line past
// the limit), and so does a read that timed out: the connection is closed before the error goes
// on. A read the user cancelled leaves its reply owed; the session goes on.
template <class Io> auto ReplyReader::Guarded(Io io) -> decltype(io())
{
    try {
        if (patience_ && patience_->Passed())
            throw EAbortError(kReadLnAborted, ErrorReason::TimedOut);
        return io();
    } catch (const EAbortError& error) {
        if (error.Reason() == ErrorReason::TimedOut) control_.DropSession();
        throw;
    } catch (const ESockError&) {
        control_.DropSession();
        throw;
    }
}

std::string ReplyReader::NextLine()
{
    std::string rest = Guarded([this] { return control_.ReadLn(); });
    if (rest.empty()) {
        // The server hung up; whatever it still owed will never come.
        control_.DropSession();
        return {};
    }
    std::string line = std::move(idleLine_);
    idleLine_.clear();
    line += rest;
    control_.ReportStatus(1, line);
    // A server that keeps answering is making progress, however many lines it owes.
    if (patience_) patience_->Progress();
    return line;
}

bool ReplyReader::Frame(const std::string& line)
{
    if (!inReply_) {
        replyCode_ = LeadingReplyCode(line);
        if (!OpensMultiLine(line)) {
            if (!IsPreliminary(replyCode_) && owed_ > 0) --owed_;
            return true;
        }
        inReply_ = true;
        opener_ = line.substr(0, 3);
        return false;
    }
    if (!ClosesMultiLine(line, opener_)) return false;
    inReply_ = false;
    opener_.clear();
    if (!IsPreliminary(replyCode_) && owed_ > 0) --owed_;
    return true;
}

ReplyReader::Reply ReplyReader::ReadOne(const LineSeen& seen, bool setsLastReply)
{
    Reply reply;
    std::vector<std::string> lines;
    for (int count = 1;; ++count) {
        // What the pass brings (a Cancel, the time-out) ends the next line's read.
        if (count % kLinesBetweenMessagePasses == 0) Wait(control_, {.pass = WaitPass::Now});
        const bool opening = !inReply_;
        const std::string line = NextLine();
        if (line.empty()) {
            if (setsLastReply && opening && count == 1) control_.LastReply.clear();
            reply.closed = true;
            return reply;
        }
        const bool ended = Frame(line);
        // A flood of lines is not kept whole; its last line still is.
        if (lines.size() == kFailureLinesKept) lines.pop_back();
        lines.push_back(line);
        if (opening) {
            reply.first = line;
            reply.code = replyCode_;
            if (setsLastReply) {
                control_.LastReply = line;
                control_.ReplyCode = ReplyCodeOf(line);
            }
        }
        if (seen) seen(line);
        if (ended) {
            reply.code = replyCode_;
            if (reply.code >= 400 && reply.code <= 599) lastFailure_ = std::move(lines);
            return reply;
        }
    }
}

bool ReplyReader::Unsettled() const
{
    return owed_ > 0 || inReply_ || !idleLine_.empty() || control_.ControlInputWaiting();
}

void ReplyReader::Settle()
{
    if (!control_.Connected || !Unsettled()) return;
    Patience patience(*this);
    try {
        while (Unsettled()) {
            const Reply reply = ReadOne({}, false);
            // The server has gone, or says it is going ("421 Timeout."): the session is over.
            if (reply.closed || reply.code == 421) {
                control_.DropSession();
                throw Exception("Not Connected", ErrorReason::NotConnected);
            }
        }
    } catch (const EAbortError& error) {
        // The user's Cancel ends the command; what is owed stays owed.
        if (error.Reason() != ErrorReason::TimedOut) throw;
        // The replies never came: the session has already been closed.
        throw Exception("Not Connected", ErrorReason::OutOfStep);
    }
}

void ReplyReader::Send(const std::string& command)
{
    Guarded([&] { control_.Writeln(command); });
    ++owed_;
    control_.NoteCommandSent();
}

std::string ReplyReader::Command(const std::string& command, const LineSeen& seen)
{
    Settle();
    control_.ReportStatus(8, "Transaction");
    control_.ReplyCode = 0;
    Send(command);
    return ReadCommandReply(seen);
}

std::string ReplyReader::ReadCommandReply(const LineSeen& seen)
{
    return ReadOne(seen, true).first;
}

std::string ReplyReader::ReadFinalReply()
{
    for (;;) {
        const Reply reply = ReadOne({}, false);
        if (reply.closed) return {};
        if (!IsPreliminary(reply.code) || owed_ == 0) return reply.first;
    }
}

void ReplyReader::FinishReply()
{
    if (inReply_) ReadOne({}, false);
}

std::string ReplyReader::Quit()
{
    control_.ReplyCode = 0;
    control_.LastReply.clear();
    // A goodbye is a courtesy: a server that has stopped answering (the reason a transfer timed
    // out, often) does not hold the end of the session up by another whole TimeOut.
    Patience patience(*this, kQuitGraceMs);
    Send("QUIT");
    std::string reply;
    try {
        // QUIT's reply is the one that settles the last debt.
        while (owed_ > 0) {
            const Reply read = ReadOne({}, false);
            if (read.closed) return {};
            if (owed_ == 0) reply = read.first;
        }
    } catch (const EAbortError& error) {
        if (error.Reason() != ErrorReason::TimedOut) throw;
        return {}; // a courtesy unanswered: the connection is closed without it
    }
    control_.LastReply = reply;
    control_.ReplyCode = ReplyCodeOf(reply);
    return reply;
}

template <class Line> void ReplyReader::Lines(const char* bytes, size_t count, Line line)
{
    for (size_t i = 0; i < count; ++i) {
        // Only a reply's code and a readable start matter; a line is kept that far.
        if (idleLine_.size() < kIdleLineKept) idleLine_ += bytes[i];
        if (bytes[i] != '\n') continue;
        const std::string whole = std::move(idleLine_);
        idleLine_.clear();
        control_.ReportStatus(1, whole);
        if (line(whole)) return;
    }
}

bool ReplyReader::TakeIdleBytes(const char* bytes, size_t count)
{
    bool over = false;
    Lines(bytes, count, [&](const std::string& line) {
        // "421 Timeout." -- the server is closing the session; it may not even close the socket.
        over = Frame(line) && replyCode_ == 421;
        return over;
    });
    return over;
}

void ReplyReader::Push(const char* bytes, size_t count, int& mine,
                       const std::function<void(const FtpReply&)>& deliver)
{
    Lines(bytes, count, [&](const std::string& line) {
        if (!inReply_) {
            pushedFirst_ = line;
            pushedLines_.clear();
        }
        if (pushedLines_.size() == kFailureLinesKept) pushedLines_.pop_back();
        pushedLines_.push_back(line);
        // Replies owed by commands before the session's own come first, in order.
        const bool earlier = owed_ > mine;
        if (!Frame(line) || earlier) return false;
        if (!IsPreliminary(replyCode_) && mine > 0) --mine;
        deliver(FtpReply{replyCode_, pushedFirst_, false, std::exchange(pushedLines_, {})});
        return false;
    });
}
