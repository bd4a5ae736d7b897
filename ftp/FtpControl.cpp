// The control channel: reading a whole reply, sending one command with its success / failure
// dispatch, the single-command operations built on that, and the component's Abort.
#include "ftp/VaskFtp.h"

#include "net/TextFields.h"
#include "platform/MessageLoop.h"

namespace {

// A reply of many continuation lines that are all waiting already is read without a single wait,
// so the message loop gets a turn every so many lines: a Cancel, a time-out and the window's
// painting still come through while a server floods us with them.
constexpr int kLinesBetweenMessagePasses = 256;

// The path of a PWD reply: the text between the first double quote and the closing one. Servers
// write a double quote that belongs to the path as two (257 "/a""b" names /a"b), so a doubled
// quote stands for one and does not end the path.
std::string QuotedPath(const std::string& reply)
{
    std::string path;
    size_t at = reply.find('"');
    if (at == std::string::npos) return path;
    for (++at; at < reply.size(); ++at) {
        if (reply[at] == '"') {
            if (at + 1 < reply.size() && reply[at + 1] == '"')
                ++at;
            else
                break;
        }
        path += reply[at];
    }
    return path;
}

} // namespace

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
    const std::string first = SocketTransaction(command);
    ConsumeContinuationLines(first);
    return first;
}

void TVaskFTP::ConsumeContinuationLines(std::string line)
{
    ControlUse use(*this);
    // "230-Welcome" opens a multi-line reply; lines that begin with a blank belong to it too. The
    // code of a later line is not compared: the first line that is neither ends the reply. The
    // lines are reported and dropped, so however many there are, only one is held at a time.
    for (int count = 1; !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
         ++count) {
        if (count % kLinesBetweenMessagePasses == 0) platform::ProcessPendingMessages();
        line = ReadReplyLine();
        ReportStatus(1, line);
    }
}

TCmdType TVaskFTP::ClassifyCommand(const std::string& command)
{
    const std::string word = ExtractField(command, ' ', 1) + " ";
    if (word == "CWD ") return ctChangeDirectory;
    if (word == "DELE ") return ctDeleteFile;
    if (word == "MKD ") return ctMakeDirectory;
    if (word == "RMD ") return ctRemoveDirectory;
    if (command == "PWD") return ctCurrentDirectory;
    return ctOtherCommand;
}

void TVaskFTP::SendCommand(const std::string& command)
{
    ControlUse use(*this);
    const TCmdType type = ClassifyCommand(command);
    Canceled = false;
    CheckConnection();
    ReportStatus(1, command);
    // Lines still waiting belong to an earlier reply (the tail of one read short); dropping them
    // keeps this command's reply from being confused with them.
    if (DataAvailable()) Read(0);

    const std::string reply = Transaction(command);
    // A server that hangs up instead of answering has not done what was asked.
    const bool closed = reply.empty();
    const bool refused = ReplyCode >= 400 && ReplyCode <= 599;
    if (!closed && !refused) {
        if (OnSuccess) OnSuccess(type);
        return;
    }
    if (refused && ReplyCode >= 500 && ReplyCode <= 502 && OnUnSupportedFunction)
        OnUnSupportedFunction(type);
    if (!OnFailure) throw FTPException::Refusal(reply);
    bool handled = false;
    OnFailure(handled, type);
    if (!handled) throw FTPException::Refusal(reply);
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
