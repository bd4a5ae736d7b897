// The control channel: reading a whole reply, sending one command with its success / failure
// dispatch, the single-command operations built on that, and the component's Abort.
#include "ftp/CommandOperation.h"
#include "ftp/SessionCommand.h"
#include "ftp/VaskFtp.h"

// A command line travels as one line of text. A CR or LF inside it would let a file name or a
// password smuggle in a second command, and a NUL would cut the line short where the socket layer
// writes it as zero-terminated text, so such a line is refused before anything is sent.
void TVaskFTP::RequireSingleLine(const std::string& command)
{
    if (command.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw Exception("Invalid character in command", ErrorReason::InvalidCommand);
}

std::string TVaskFTP::Transaction(const std::string& command)
{
    RequireSingleLine(command);
    ControlUse use(*this);
    return replies_.Command(command);
}

void TVaskFTP::ConsumeContinuationLines(const std::string&)
{
    // Every line has passed through the reader, which knows whether a reply is still open.
    ControlUse use(*this);
    replies_.FinishReply();
}

TCmdType TVaskFTP::ClassifyCommand(const std::string& command)
{
    return CommandOperation::Classify(command);
}

void TVaskFTP::SendCommand(const std::string& command)
{
    ControlUse use(*this);
    CommandOperation op(command);
    Canceled = false;
    CheckConnection();
    RequireSingleLine(command);
    // What earlier commands still owe is read first, so that this command gets its own reply.
    replies_.Settle();
    ReportStatus(1, command);

    const std::string reply = Transaction(op.Start().command);
    const CommandOperation::Step end = op.Reply({ReplyCode, reply, reply.empty()});
    if (end.what == CommandOperation::Step::Do::Succeed) {
        if (OnSuccess) OnSuccess(op.Kind());
        return;
    }
    ReportFailure(op.Kind(), FTPException(end.failure.message, end.failure.reason),
                  end.unsupported);
}

void TVaskFTP::ReportFailure(TCmdType kind, const FTPException& failure, bool unsupported)
{
    if (unsupported && OnUnSupportedFunction) OnUnSupportedFunction(kind);
    if (!OnFailure) throw failure;
    bool handled = false;
    ++failuresReported_;
    OnFailure(handled, kind);
    if (!handled) throw failure;
}

void TVaskFTP::ChangeDirectory(const std::string& directory) { SendCommand("CWD " + directory); }

void TVaskFTP::DeleteFile(const std::string& fileName) { SendCommand("DELE " + fileName); }

void TVaskFTP::MakeDirectory(const std::string& directory) { SendCommand("MKD " + directory); }

std::string TVaskFTP::CurrentDirectory()
{
    SendCommand("PWD");
    return QuotedPath(LastReply);
}

void TVaskFTP::Abort()
{
    // Only the data connection is cancelled: a time-out of the control connection must not tear
    // down the session, it ends the transfer that stalled.
    if (DataSocket) DataSocket->Cancel();
}
