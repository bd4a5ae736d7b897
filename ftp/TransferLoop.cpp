// The blocking loop around a listing's or a transfer's machine: see TransferLoop.h.
#include "ftp/TransferLoop.h"

#include "platform/LocalFile.h"

namespace ftpdata {

using State = TransferOperation::State;

void Drive(TVaskFTP& ftp, DataOperation& op, TransferOperation& machine,
           const TransferScript& script)
{
    bool channelAsked = false;
    bool channelOpen = false;
    bool commandRefused = false;
    int64_t moved = -1;
    TransferOperation::Step step = machine.Start();
    for (int guard = 0; guard < 32; ++guard) {
        const State state = machine.Current();
        if (state == State::Channel && !channelAsked) {
            channelAsked = true;
            if (!script.beforeChannel()) return;
        }
        if (step.listen) {
            step = machine.Listening(op.ListenForServer());
            continue;
        }
        if (step.connectTo) op.ConnectTo(*step.connectTo);
        if ((state == State::Restart || state == State::Command) && !channelOpen) {
            channelOpen = true;
            script.channelOpen();
        }
        if (step.done) break;
        if (!step.send.empty()) {
            const bool command = state == State::Command;
            const std::string reply = command ? ftp.Replies().Command(step.send, script.commandLine)
                                              : ftp.Transaction(step.send);
            commandRefused = command;
            step = machine.Reply({ftp.ReplyCode, reply, reply.empty()});
            if (command && step.done && script.commandRefused &&
                script.commandRefused(reply.empty() ? 0 : ftp.ReplyCode))
                return;
            continue;
        }
        if (!step.moveData) break;
        commandRefused = false;
        if (!op.AcceptIfActive() || !op.SecureData()) return;
        script.beforeData();
        op.BeginDataPhase();
        op.RunDataPhase([&] { script.move(op.Socket()); });
        if (script.afterMove) script.afterMove();
        moved = op.CloseDataPhase();
        step = op.CutOff() ? machine.DataFailed({"cut off", ErrorReason::SocketError})
                           : machine.DataEnded(moved);
        // The closing reply, unless the transfer command's reply was already the last word.
        const bool owed = ftp.Replies().Owed() > 0;
        const std::string closing = owed ? ftp.Replies().ReadFinalReply() : std::string();
        if (op.Kind().isDownload && ftp.OnTransactionStop) ftp.OnTransactionStop(&ftp);
        if (owed) {
            step = machine.Reply({LeadingReplyCode(closing), closing, closing.empty()});
        }
    }
    if (machine.Current() == State::Succeeded) {
        if (moved < 0 && script.nothingToMove) script.nothingToMove();
        op.Succeed();
        if (moved >= 0 && script.conclude) script.conclude();
        return;
    }
    // A machine that asks for nothing more without having ended has lost its place in the
    // conversation; that is no success either.
    const bool ended = machine.Current() == State::Failed || machine.Current() == State::Canceled;
    const FtpFailure failure =
        ended ? machine.Failure() : FtpFailure{"Transfer out of step", ErrorReason::OutOfStep};
    // A cut-off data connection is no success, whatever the server thinks of it; a server that
    // said why it cut it has the last word.
    if (op.CutOff() && failure.reason == ErrorReason::SocketError) op.RaiseCutOff();
    // More than the rest: a server that ignored the restart and sent the whole file again,
    // appended to the part that was here; that part is restored.
    if (moved >= 0 && script.offset > 0 && machine.Total() >= 0 &&
        script.offset + moved > machine.Total() && script.cutBack)
        script.cutBack(script.offset);
    op.Fail(FTPException(failure.message, failure.reason),
            commandRefused && script.reportUnsupported);
}

} // namespace ftpdata
