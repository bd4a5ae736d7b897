// Byte-stream input and output on the component's connected socket: buffers, text and lines, the
// one-line command/reply exchange, testing for and discarding waiting input, and whole files in
// both directions.
//
// How the loops wait. Each goes through the one wait (net/Wait.h), which alone decides whether a
// Cancel or a time-out has ended it. A blocking pass sleeps until the next event, so a loop only
// takes one when an event is sure to come: after a receive or peek that found nothing (the receive
// re-armed the read notification), or after a send that would block (WaitWritable arms the write
// notification first). After a step that moved bytes the loop takes a quick pass instead, and
// only when one is due (every few milliseconds): handlers, the time-out and a Cancel still run,
// but a transfer never sits in the event loop while data is ready, nor pays for a pass per block.
// A slow peer therefore costs CPU in proportion to the bytes it sends, not to the time it takes.
//
// Lines and buffers are bounded by the component's time-out timer as a whole; files are bounded
// by "no progress for TimeOut milliseconds", a Deadline that each block moved starts again.
//
// Received files go from the socket to the file inside the kernel where the system allows
// (platform::ReceiveToFile), so a download is copied once instead of twice; the blocks, their
// counts and the packet events are those of a plain receive.
//
// Every byte goes through the transport of WirecoreTls.cpp (ReceiveBytes, SendBytes, ...), which
// encrypts and decrypts once TLS is on and otherwise calls the socket directly.
#include "net/Wirecore.h"

#include "net/ReplyCode.h"

#include "platform/Conversions.h"
#include "platform/Exception.h"
#include "platform/LocalFile.h"
#include "platform/SocketErrors.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const char* const kSendAborted = "Socket send aborted";
const char* const kReadLnAborted = "Socket readln aborted";

// A buffer send carries at most this many bytes.
constexpr uint32_t kMaxSendLength = 65535;
// Reply codes are read from at most this many leading digits.

// After a failed receive: whether it failed because the close notification has already closed the
// socket and put a fresh, unconnected one in its place. For a reader that is the same news as a
// receive that yields nothing: the peer has closed and every byte has been read.
bool PeerClosedEarlier(TWirecore& socket)
{
    socket.LastError = platform::LastSocketError();
    return socket.LastError == platform::kErrNotConnected;
}

ESockError LineTooLong()
{
    return ESockError("Line longer than " + std::to_string(TWirecore::kMaxLineLength) + " bytes",
                      ErrorReason::LineTooLong);
}

} // namespace

// Marks a send as under way for as long as it lives.
class SendUnderWay {
public:
    explicit SendUnderWay(TWirecore& socket) : socket_(socket)
    {
        socket_.RequireNoSendUnderWay();
        socket_.sending_ = true;
    }
    ~SendUnderWay() { socket_.sending_ = false; }
    SendUnderWay(const SendUnderWay&) = delete;
    SendUnderWay& operator=(const SendUnderWay&) = delete;

private:
    TWirecore& socket_;
};

void TWirecore::RequireNoSendUnderWay() const
{
    if (sending_) throw ESockError("Socket is busy sending", ErrorReason::SendInProgress);
}

WaitEnd TWirecore::WaitWritable(const WaitBounds& bounds)
{
    platform::ArmWriteWakeup(SocketHandle);
    return Wait(*this, bounds);
}

void TWirecore::SendBuffer(const char* data, uint32_t length)
{
    ReportStatus(4, "Sending Buffer");
    SendUnderWay underWay(*this);
    TimerGuard timer(*this);
    // The time-out ends the send by itself: a component whose Abort cancels something else (the
    // FTP component's ends its data connection) must not wait on a silent peer for good.
    const WaitBounds bounds{.byTimer = true};
    // A Cancel left over from earlier sends nothing.
    WaitEnd end = Wait(*this, {.pass = WaitPass::None, .byTimer = true});
    if (end == WaitEnd::Ready) {
        // Looking one byte past the limit is enough to know that a text is too long.
        if (length == 0) length = static_cast<uint32_t>(::strnlen(data, kMaxSendLength + 1));
        if (length > kMaxSendLength) throw RangeError();
        uint32_t remaining = length;
        while (remaining > 0) {
            const long sent = SendBytes(data + (length - remaining), remaining);
            if (sent == 0) break;
            if (sent > 0) {
                remaining -= static_cast<uint32_t>(sent);
                continue;
            }
            CheckSocketError(kToleratedError);
            // The peer's window is full. Waiting for writability in the event loop instead of
            // offering the bytes again at once keeps the CPU idle, and lets a Cancel or the
            // time-out end a send to a peer that stopped reading.
            end = WaitWritable(bounds);
            if (end != WaitEnd::Ready) break;
        }
    }
    if (end != WaitEnd::Ready) ReportAbort(kSendAborted);
}

void TWirecore::Write(const std::string& text)
{
    ReportStatus(8, "Write");
    // The working buffer may still hold the bytes of a send that waits for the socket to drain;
    // they must not be overwritten.
    RequireNoSendUnderWay();
    // The text goes out as zero-terminated text: it ends at its first zero byte, and a text that
    // fills the whole working buffer is refused by SendBuffer before anything is sent.
    const size_t length = std::min(text.size(), kChunkSize);
    std::memcpy(IoBuffer(), text.data(), length);
    IoBuffer()[length] = '\0';
    SendBuffer(IoBuffer(), 0);
}

void TWirecore::Writeln(const std::string& text)
{
    ReportStatus(8, "Writeln");
    Write(text + "\r\n");
}

std::string TWirecore::Read(uint32_t count)
{
    ReportStatus(8, "Read( " + std::to_string(count) + " )");
    // A peek sees at most one chunk, so a larger count could never be satisfied.
    if (count > kChunkSize) throw RangeError();

    if (count == 0) {
        const long waiting = ReceiveBytes(IoBuffer(), kChunkSize, true);
        if (waiting == 0 || (waiting < 0 && PeerClosedEarlier(*this))) return {};
        if (waiting < 0) {
            CheckSocketError(kToleratedError);
            return {};
        }
        count = static_cast<uint32_t>(waiting);
    }

    // While only part of the count is waiting, the read notification would fire again at once
    // for the bytes already there. So the wait asks to be woken only once more bytes than those
    // are waiting on the socket: each new arrival wakes it once, and nothing else does. (Over
    // TLS the socket holds only what is not yet decrypted, which is what the wake counts.)
    if (Wait(*this, {.pass = WaitPass::None}) != WaitEnd::Ready) ReportAbort(kSendAborted);
    for (;;) {
        const long waiting = ReceiveBytes(IoBuffer(), kChunkSize, true);
        if (waiting >= static_cast<long>(count)) break;
        if (waiting == 0) return {}; // the peer has closed and nothing is left
        if (waiting < 0 && PeerClosedEarlier(*this)) return {};
        if (waiting < 0) CheckSocketError(kToleratedError);
        // A peer that has closed with part of the count sent will never send the rest; the
        // bytes stay where they are, as after any read that takes nothing.
        if (waiting > 0 && platform::PeerHasClosed(SocketHandle)) return {};
        platform::WakeOnMoreThan wake(SocketHandle, platform::PendingBytes(SocketHandle));
        if (Wait(*this, {}) != WaitEnd::Ready) ReportAbort(kSendAborted);
    }

    std::string result(count, '\0');
    const long taken = ReceiveBytes(result.data(), count);
    result.resize(static_cast<size_t>(std::max(taken, 0L)));
    return result;
}

std::string TWirecore::ReadLn()
{
    ReportStatus(8, "ReadLn");
    TimerGuard timer(*this);
    // The time-out ends the read by itself, like SendBuffer's.
    const WaitBounds busy{.pass = WaitPass::IfDue, .byTimer = true};
    const WaitBounds idle{.byTimer = true};
    // A cancel left over from earlier ends the read before it takes anything: a part of a line
    // taken now would be lost with the abort.
    if (Wait(*this, {.pass = WaitPass::None, .byTimer = true}) != WaitEnd::Ready)
        ReportAbort(kReadLnAborted);
    // The part of the line taken from the socket so far. Bytes are taken only once the peek has
    // shown that no line feed is among them, so nothing behind the line end is ever consumed.
    std::string line;
    size_t lineEnd = 0; // bytes of the last peek that complete the line
    bool found = false;
    for (;;) {
        // A line may be longer than the working buffer, up to a fixed limit; the peek never looks
        // past that limit, so what is kept stays bounded whatever the peer sends.
        const size_t room = std::min(kChunkSize, kMaxLineLength - line.size());
        const long peeked = ReceiveBytes(IoBuffer(), room, true);
        if (peeked == 0) return {}; // the peer closed before the line ended
        if (peeked > 0) {
            const auto* lf = static_cast<const char*>(std::memchr(IoBuffer(), '\n', peeked));
            if (lf) {
                lineEnd = static_cast<size_t>(lf - IoBuffer()) + 1;
                found = true;
                break;
            }
            const size_t taken = line.size();
            line.resize(taken + static_cast<size_t>(peeked));
            const long received = ReceiveBytes(line.data() + taken, peeked);
            line.resize(taken + static_cast<size_t>(std::max(received, 0L)));
            if (line.size() >= kMaxLineLength) {
                // The rest of the line may never end, and taken later it would pass for a line
                // of its own: the connection cannot be trusted any more.
                CloseSocket();
                throw LineTooLong();
            }
            if (Wait(*this, busy) != WaitEnd::Ready) ReportAbort(kReadLnAborted);
            continue;
        }
        if (PeerClosedEarlier(*this)) break; // no line will come
        CheckSocketError(kToleratedError);
        if (Wait(*this, idle) != WaitEnd::Ready) ReportAbort(kReadLnAborted);
    }
    if (!found) return {};

    const size_t taken = line.size();
    line.resize(taken + lineEnd);
    const long received = ReceiveBytes(line.data() + taken, lineEnd);
    line.resize(taken + static_cast<size_t>(std::max(received, 0L)));
    return line;
}

std::string TWirecore::Transaction(const std::string& command)
{
    ReportStatus(8, "Transaction");
    ReplyCode = 0;
    Writeln(command);
    LastReply = ReadLn();
    if (!LastReply.empty()) {
        ReportStatus(1, LastReply);
        // Too many digits even for 32 bits reads as 0; a number that fits 32 bits but not a
        // reply code is refused.
        ReplyCode = ReplyCodeOf(LastReply);
    }
    return LastReply;
}

bool TWirecore::DataAvailable()
{
    ReportStatus(8, "Data Available");
    // The close notification calls this in the middle of other operations, so the peek must not
    // touch the working buffer, which may hold a chunk that is still being sent.
    return InputWaiting();
}

void TWirecore::ClearInput()
{
    ReportStatus(8, "Clearing Input");
    // One receive, whatever it yields; the working buffer is left alone.
    std::vector<char> scratch(kChunkSize);
    ReceiveBytes(scratch.data(), scratch.size());
}

void TWirecore::SendFile(const std::string& fileName)
{
    ReportStatus(8, "SendFile");
    SendUnderWay underWay(*this);
    platform::LocalFile file = platform::LocalFile::OpenForReading(fileName);
    // Like a download, an upload ends when the peer takes nothing for TimeOut milliseconds: a
    // server that stops reading would otherwise hold the send for good.
    Deadline deadline = NoProgressDeadline();
    const WaitEnd end = TlsActive() || OnFileBytes ? SendFileThroughBuffer(file, deadline)
                                                   : SendFileFromKernel(file, deadline);
    if (end != WaitEnd::Ready) ReportAbort(kSendAborted);
}

namespace {

// While it lives, the socket keeps only a short queue of bytes it has not sent yet. With a long
// one, the peer's acknowledgements are what push the queued bytes out, so the sending work is done
// by whoever processes those acknowledgements (on loopback, the receiving server, which then has
// less of the processor for its own work). With a short one, each block goes out when it is handed
// over, in this program's own time. What is in flight (sent, not yet acknowledged) is not limited.
class ShortUnsentQueue {
public:
    explicit ShortUnsentQueue(const platform::SocketHandle& socket)
        : socket_(socket), limited_(socket), previous_(platform::SetUnsentLimit(socket, kLimit))
    {
    }
    ~ShortUnsentQueue()
    {
        // Unless a handler has closed the socket meanwhile: its number may be another's now.
        if (previous_ >= 0 && socket_ == limited_) platform::SetUnsentLimit(limited_, previous_);
    }
    ShortUnsentQueue(const ShortUnsentQueue&) = delete;
    ShortUnsentQueue& operator=(const ShortUnsentQueue&) = delete;

private:
    static constexpr int kLimit = 16 * 1024;
    const platform::SocketHandle& socket_;
    const platform::SocketHandle limited_;
    const int previous_;
};

} // namespace

WaitEnd TWirecore::SendFileFromKernel(platform::LocalFile& file, Deadline& deadline)
{
    ShortUnsentQueue shortQueue(SocketHandle);
    const WaitBounds busy{.pass = WaitPass::IfDue, .deadline = &deadline};
    WaitEnd end = Wait(*this, {.pass = WaitPass::None, .deadline = &deadline});
    while (end == WaitEnd::Ready) {
        const long sent = platform::SendFromFile(SocketHandle, file.Descriptor(), kChunkSize);
        if (sent > 0) {
            BytesSent += sent;
            if (OnPacketSent) OnPacketSent(this);
            deadline.Progress();
            end = Wait(*this, busy);
            continue;
        }
        // The end of the file, also of one that shrank while it was being sent.
        if (sent == 0) break;
        if (sent == platform::kFileReadFailed) throw FileReadError(file.Path());
        CheckSocketError(kToleratedError);
        end = WaitWritable({.deadline = &deadline});
    }
    return end;
}

WaitEnd TWirecore::SendFileThroughBuffer(platform::LocalFile& file, Deadline& deadline)
{
    const WaitBounds busy{.pass = WaitPass::IfDue, .deadline = &deadline};
    WaitEnd end = Wait(*this, {.pass = WaitPass::None, .deadline = &deadline});
    bool more = true;
    while (end == WaitEnd::Ready && more) {
        const size_t length = file.Read(IoBuffer(), kChunkSize);
        // A file that shrank while it was being sent ends here rather than never.
        if (length == 0) break;
        if (OnFileBytes) OnFileBytes(IoBuffer(), length);
        const bool full = length == kChunkSize;
        size_t remaining = length;
        while (remaining > 0 && end == WaitEnd::Ready) {
            const long sent = SendBytes(IoBuffer() + (length - remaining), remaining, full);
            if (sent == 0) break;
            if (sent > 0) {
                remaining -= static_cast<size_t>(sent);
                BytesSent += sent;
                if (OnPacketSent) OnPacketSent(this);
                deadline.Progress();
                end = Wait(*this, busy);
            } else {
                CheckSocketError(kToleratedError);
                end = WaitWritable({.deadline = &deadline});
            }
        }
        // A full block says nothing about the end of the file; the next read finds it. Only a
        // short read asks where the file ends, so a whole file costs no extra calls per block.
        more = full || file.Position() != file.Size();
    }
    return end;
}

void TWirecore::AppendFile(const std::string& fileName)
{
    platform::LocalFile file = platform::LocalFile::OpenForAppending(fileName);
    AppendFile(file);
}

void TWirecore::AppendFile(platform::LocalFile& file)
{
    const std::string& fileName = file.Path();
    ReportStatus(8, "Append File");
    BytesReceived = 0;
    // A resumed download is bounded like a fresh one: by TimeOut from the last chunk.
    Deadline deadline = NoProgressDeadline();
    const WaitBounds busy{.pass = WaitPass::IfDue, .deadline = &deadline};
    const WaitBounds idle{.deadline = &deadline};
    WaitEnd end = Wait(*this, {.pass = WaitPass::None, .deadline = &deadline});
    while (end == WaitEnd::Ready && Connected) {
        const long received = ReceiveChunkToFile(file, fileName);
        if (received > 0) {
            BytesReceived += received;
            if (OnPacketRecvd) OnPacketRecvd(this);
            deadline.Progress();
            end = Wait(*this, busy);
        } else if (received < 0) {
            CheckSocketError(kToleratedError);
            end = Wait(*this, idle);
        } else {
            // The peer has closed and every byte has been read. The close notification will close
            // the socket and clear Connected; ending here does not depend on it arriving.
            break;
        }
    }
    if (end != WaitEnd::Ready) ReportAbort(kSendAborted);
    CheckTlsEnding();
}

void TWirecore::CaptureFile(const std::string& fileName)
{
    platform::LocalFile file = platform::LocalFile::Create(fileName);
    CaptureFile(file);
}

void TWirecore::CaptureFile(platform::LocalFile& file)
{
    const std::string& fileName = file.Path();
    ReportStatus(8, "CaptureFile");
    BytesReceived = 0;
    // The time-out counts from the last chunk.
    Deadline deadline = NoProgressDeadline();
    const WaitBounds busy{.pass = WaitPass::IfDue, .deadline = &deadline};
    const WaitBounds idle{.deadline = &deadline};
    WaitEnd end = Wait(*this, {.pass = WaitPass::None, .deadline = &deadline});
    while (end == WaitEnd::Ready) {
        const long received = ReceiveChunkToFile(file, fileName);
        if (received > 0) {
            BytesReceived += received;
            if (OnPacketRecvd) OnPacketRecvd(this);
            deadline.Progress();
            end = Wait(*this, busy);
            continue;
        }
        if (received == 0 || PeerClosedEarlier(*this)) break;
        CheckSocketError(kToleratedError);
        end = Wait(*this, idle);
    }
    if (end != WaitEnd::Ready) ReportAbort(kSendAborted);
    CheckTlsEnding();
}
