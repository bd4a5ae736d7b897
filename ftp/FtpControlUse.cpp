// Who reads the control connection, and when. An operation reads the replies to its own commands;
// while none runs, whatever arrives is either a reply still owed (the closing reply of a transfer
// that was given up, ABOR's) or the server speaking on its own: stray lines, the 421 a server
// sends before it hangs up on an idle client, the end of the stream. Those are read here, from
// the event loop, through the same reply reader, so that a session the server has ended is
// noticed at once (OnDisconnect) and not only when the next command finds the connection dead.
#include "ftp/VaskFtp.h"

#include "platform/SocketErrors.h"

#include <cstring>

namespace {

// Read per notification; what is left is read on the next one, so a server that floods an idle
// connection cannot keep the event loop to itself.
constexpr int kUnsolicitedReadsPerNotification = 16;
constexpr size_t kUnsolicitedReadSize = 4096;

} // namespace

TVaskFTP::ControlUse::ControlUse(TVaskFTP& ftp) : ftp_(ftp) { ++ftp_.controlUsers_; }

TVaskFTP::ControlUse::~ControlUse()
{
    if (--ftp_.controlUsers_ > 0 || !ftp_.Connected) return;
    // A read notification that came while the operation ran was left to it; if bytes are still
    // waiting now, or the server has closed meanwhile, this look asks for the notification again,
    // so that they are dealt with from the event loop. (Over TLS, bytes already decrypted raise
    // no notification; they are read before the next command.)
    char probe;
    platform::Receive(ftp_.SocketHandle, &probe, 1, true);
}

void TVaskFTP::DropSession()
{
    // Also when the socket layer has closed the connection itself (a line past the limit).
    ListParser.reset();
    Vendor = vendorAutoDetect;
    ForgetFeatures();
    ForgetTls();
    replies_.Forget();
    if (Connected) CloseSocket();
}

void TVaskFTP::OnControlInput()
{
    // While an operation runs, it reads its own replies. During a wait on the data connection the
    // notification has woken that wait, whose watch looks whether the server has meanwhile given
    // up on the transfer.
    if (replyListener_) {
        PushControlInput();
    } else if (controlUsers_ == 0) {
        ReadUnsolicitedInput();
    }
}

void TVaskFTP::ListenForReplies(ReplyListener listener, int owed)
{
    replyListener_ = std::move(listener);
    listenerOwed_ = owed;
    // What came before the listener is read now: no notification will announce it again.
    if (replyListener_) PushControlInput();
}

void TVaskFTP::SendWithoutWaiting(const std::string& command)
{
    RequireSingleLine(command);
    ++listenerOwed_;
    replies_.Send(command);
}

void TVaskFTP::OnControlClosed()
{
    // The socket layer closes a connection whose server hung up with nothing left to read, before
    // anyone read the end of the stream: a listener waiting for a reply hears of it here, not
    // when its time-out runs out.
    const ReplyListener listener = replyListener_;
    if (Connected || !listener) return;
    ReportStatus(4, "Connection closed by server");
    DropSession();
    listener(FtpReply::Closed());
}

void TVaskFTP::PushControlInput()
{
    ReadControlInput(
        [this](const char* bytes, size_t count) {
            // The listener is called with each whole reply and may send the next command, or
            // stop listening, from there.
            const ReplyListener listener = replyListener_;
            if (listener) replies_.Push(bytes, count, listenerOwed_, listener, listenerLines_);
            return false;
        },
        [this] {
            if (const ReplyListener listener = replyListener_) listener(FtpReply::Closed());
        });
}

void TVaskFTP::ReadUnsolicitedInput()
{
    // Replies still owed are paid here as well; a 421 ends the session.
    ReadControlInput(
        [this](const char* bytes, size_t count) { return replies_.TakeIdleBytes(bytes, count); },
        [] {});
}

void TVaskFTP::ReadControlInput(const std::function<bool(const char*, size_t)>& take,
                                const std::function<void()>& closed)
{
    if (!Connected) return;
    char buffer[kUnsolicitedReadSize];
    for (int read = 0; read < kUnsolicitedReadsPerNotification; ++read) {
        long count = -1;
        try {
            // Through TLS when it is on: the bytes on the socket are then records, not lines.
            count = ReceiveBytes(buffer, sizeof buffer);
        } catch (const ESockError&) {
            // A TLS stream that fails cannot carry the session any further.
            count = 0;
        }
        if (count > 0) {
            if (!take(buffer, static_cast<size_t>(count))) {
                // Whoever was handed the replies may have closed the session.
                if (!Connected) return;
                continue;
            }
            DropSession();
            return;
        }
        if (count < 0) {
            const int error = platform::LastSocketError();
            if (error == platform::kErrWouldBlock || error == platform::kErrInterrupted) return;
        }
        // The end of the stream, or a connection that broke (a reset is reported as a read
        // notification whose receive fails, never as a close).
        ReportStatus(4, "Connection closed by server");
        DropSession();
        closed();
        return;
    }
}
