// The four file transfers: Download ("RETR "), ResumeDownload ("REST " + "RETR "), Upload
// ("STOR ") and AppendUpload ("APPE "), each over its own data connection. Each is the blocking
// loop around its TransferOperation: the machine says what comes next, the loop does it with
// the data operation's steps, whose waits keep the window alive, and tells the machine what came
// of it.
#include "ftp/FtpDataConnection.h"
#include "ftp/TransferChecks.h"
#include "ftp/TransferOperation.h"
#include "ftp/VaskFtp.h"

#include "platform/LocalFile.h"

#include <algorithm>
#include <functional>
#include <optional>

namespace {

using ftpdata::DataOperation;
using State = TransferOperation::State;

// Upload and Download report every exception to OnFailure once more on its way out, after the
// release; a handler that sets Handled ends the transfer quietly.
template <class Body> void WithOuterGuard(TVaskFTP& ftp, TCmdType kind, Body body)
{
    try {
        body();
    } catch (const std::exception&) {
        if (!ftp.OnFailure) throw;
        bool handled = false;
        ftp.OnFailure(handled, kind);
        if (!handled) throw;
    }
}

// What one transfer does besides the machine's steps, at the points where it does it.
struct TransferScript {
    // As the data channel is about to be opened (the data socket is made here); false for a
    // failure the OnFailure handler took care of.
    std::function<bool()> beforeChannel;
    // Once the channel is open, before the restart or the transfer command goes out.
    std::function<void()> channelOpen;
    // Every line of the transfer command's reply.
    ReplyReader::LineSeen commandLine;
    // After the server's connection and the handshake, before OnTransactionStart.
    std::function<void()> beforeData;
    // Moves the data.
    std::function<void(TWirecore&)> move;
    // Ended as a success without a data phase (nothing left to fetch).
    std::function<void()> nothingToMove;
    // The checks of a transfer the server confirmed (checksum, kept time); false for a failure
    // the OnFailure handler took care of.
    std::function<bool()> conclude;
    // A refused transfer command (500-502) may be one the server does not support.
    bool reportUnsupported = false;
    // A resumed download's local path, cut back to `offset` bytes should the server send more
    // than the rest (it ignored the restart and sent the whole file after the part here).
    std::string resumedPath;
    int64_t offset = 0;
};

// The loop around the machine. Returns when the transfer succeeded or its failure was handled
// (the caller then releases); raises otherwise.
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
            const bool extended = !ftp.PeerAddress().Inet4Word();
            step = machine.Listening(op.ListenForServer(extended));
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
            continue;
        }
        if (!step.moveData) break;
        commandRefused = false;
        if (!op.AcceptIfActive() || !op.SecureData()) return;
        script.beforeData();
        op.BeginDataPhase();
        op.RunDataPhase([&] { script.move(op.Socket()); });
        moved = op.CloseDataPhase();
        step = op.CutOff() ? machine.DataFailed({"cut off", ErrorReason::SocketError})
                           : machine.DataEnded(moved);
        // The closing reply, unless the transfer command's reply was already the last word.
        const bool owed = ftp.Replies().Owed() > 0;
        const std::string closing = owed ? ftp.Replies().ReadFinalReply() : std::string();
        if (op.Kind().isDownload && ftp.OnTransactionStop) ftp.OnTransactionStop(&ftp);
        if (owed) {
            step = machine.Reply({ftpdata::LeadingReplyCode(closing), closing, closing.empty()});
        }
    }
    if (machine.Current() == State::Succeeded) {
        if (moved < 0 && script.nothingToMove) script.nothingToMove();
        op.Succeed();
        if (moved >= 0 && script.conclude) script.conclude();
        return;
    }
    const FtpFailure& failure = machine.Failure();
    // A cut-off data connection is no success, whatever the server thinks of it; a server that
    // said why it cut it has the last word.
    if (op.CutOff() && failure.reason == ErrorReason::SocketError) op.RaiseCutOff();
    // More than the rest: a server that ignored the restart and sent the whole file again,
    // appended to the part that was here; that part is restored.
    if (moved >= 0 && script.offset > 0 && machine.Total() >= 0 &&
        script.offset + moved > machine.Total())
        platform::LocalFile::CutTo(script.resumedPath, script.offset);
    op.Fail(FTPException(failure.message, failure.reason),
            commandRefused && script.reportUnsupported);
}

TransferOperation::Settings SettingsFor(TVaskFTP& ftp, TransferOperation::Kind kind,
                                        std::string command)
{
    TransferOperation::Settings settings;
    settings.kind = kind;
    settings.command = std::move(command);
    settings.passive = ftp.Passive;
    // PASV and PORT carry four address numbers, so IPv4 only; over IPv6 their extended forms.
    settings.extended = !ftp.PeerAddress().Inet4Word();
    return settings;
}

// "RETR " for both downloads. While the data moves, TransferSize is the size the reply
// announces, or the server's size (SIZE) when it announces none.
void Retrieve(TVaskFTP& ftp, DataOperation& op, const TransferOperation::Settings& settings,
              const std::string& remotePath, const std::string& localPath,
              const std::string& statusText, std::function<void(TWirecore&)> receive,
              ftpfiles::TransferChecks* checks = nullptr)
{
    TransferOperation machine(settings);
    int64_t announced = 0;
    TransferScript script;
    script.beforeChannel = [&] {
        if (checks && !checks->Prepare(op)) return false;
        op.CreateSocket();
        return true;
    };
    script.channelOpen = [&] {
        ftp.ReportStatus(1, statusText + remotePath);
        ftp.TransferSize = 0;
    };
    script.commandLine = [&](const std::string& line) {
        if (announced == 0) announced = ParseTransferSize(line);
        ftp.TransferSize = announced;
        machine.SizeAnnounced(announced);
    };
    script.beforeData = [&] {
        // A resumed download shows only what the reply announces.
        const int64_t known = settings.restart ? 0 : std::max<int64_t>(machine.Total(), 0);
        ftp.TransferSize = announced > 0 ? announced : known;
    };
    script.move = std::move(receive);
    script.nothingToMove = [&] {
        ftp.TransferSize = 0;
        ftp.ReportStatus(1, "Received 0 Bytes");
    };
    if (checks) script.conclude = [&] { return checks->Conclude(op); };
    script.resumedPath = localPath;
    script.offset = settings.offset;
    Drive(ftp, op, machine, script);
}

// "STOR " or "APPE ": the same steps, another command word and kind.
void Store(TVaskFTP& ftp, const ftpdata::DataOperationKind& kind, const char* verb,
           const std::string& localPath, const std::string& remotePath,
           ftpfiles::TransferChecks* checks = nullptr)
{
    TVaskFTP::ControlUse use(ftp);
    const std::string word = verb;
    const std::string command =
        word + (remotePath.empty() ? ftpdata::FileNamePart(localPath) : remotePath);
    // A line end inside the name would smuggle a second command onto the control connection;
    // refused before the server is asked for anything.
    TVaskFTP::RequireSingleLine(command);
    DataOperation op(ftp, kind);
    op.Start();
    op.Lock();
    TransferOperation machine(SettingsFor(ftp, TransferOperation::Kind::Put, command));
    TransferScript script;
    script.beforeChannel = [&] {
        op.CreateSocket();
        // The size is known before the first byte goes out; a missing file fails here, before
        // the server is asked for anything.
        ftp.TransferSize = platform::LocalFile::OpenForReading(localPath).Size();
        return !checks || checks->Prepare(op);
    };
    script.channelOpen = [&] {
        ftp.ReportStatus(1, word + (remotePath.empty() ? localPath : remotePath));
    };
    script.beforeData = [] {};
    script.move = [&](TWirecore& data) {
        if (checks) checks->Watch(data);
        data.SendFile(localPath);
    };
    if (checks) script.conclude = [&] { return checks->Conclude(op); };
    script.reportUnsupported = true;
    Drive(ftp, op, machine, script);
    op.Release();
}

} // namespace

void TVaskFTP::Download(const std::string& RemotePath, const std::string& LocalPath)
{
    ControlUse use(*this);
    WithOuterGuard(*this, ctDownload, [&] {
        // A line end inside the name would smuggle a second command onto the control
        // connection; refused before the server is asked for anything.
        RequireSingleLine("RETR " + RemotePath);
        const std::string target = LocalPath.empty() ? RemotePath : LocalPath;
        ftpfiles::TransferChecks checks(*this, ftpfiles::TransferChecks::Direction::Download,
                                        RemotePath, target);
        DataOperation op(*this, ftpdata::kDownload);
        op.Start();
        op.Lock();
        TransferOperation::Settings settings =
            SettingsFor(*this, TransferOperation::Kind::Get, "RETR " + RemotePath);
        // Asked in binary mode, where the size counts the bytes that will arrive. Unless the
        // caller wants it, the size the reply announces is the one checked: asking SIZE as well
        // would cost every download a round trip.
        if (SizeBeforeDownload) settings.sizeOf = RemotePath;
        const auto receive = [&](TWirecore& data) {
            checks.Watch(data);
            data.CaptureFile(target);
        };
        Retrieve(*this, op, settings, RemotePath, target, "RETR ", receive, &checks);
        op.Release();
    });
}

void TVaskFTP::ResumeDownload(const std::string& RemotePath, const std::string& LocalPath)
{
    ControlUse use(*this);
    lastTransferVerified_ = false; // a resumed download is not checked
    RequireSingleLine("RETR " + RemotePath);
    DataOperation op(*this, ftpdata::kResume);
    op.Start();
    const std::string target = LocalPath.empty() ? RemotePath : LocalPath;
    const int64_t localSize = platform::LocalFile::SizeOf(target);
    TransferOperation::Settings settings =
        SettingsFor(*this, TransferOperation::Kind::Get, "RETR " + RemotePath);
    // What the file comes to on the server decides whether there is anything to fetch, and is
    // what the local file must come to afterwards. Asked before the data channel is opened, so
    // that a file already complete costs no data connection at all. Without the restart the
    // server would send the whole file, to be appended after the bytes already here.
    settings.sizeOf = RemotePath;
    settings.restart = true;
    settings.offset = std::max<int64_t>(localSize, 0);
    settings.compareWithLocal = localSize >= 0;
    Retrieve(*this, op, settings, RemotePath, target, "REST RETR ",
             [&](TWirecore& data) { data.AppendFile(target); });
    op.Release();
}

void TVaskFTP::Upload(const std::string& LocalPath, const std::string& RemotePath)
{
    ControlUse use(*this);
    WithOuterGuard(*this, ctUpload, [&] {
        const std::string remote =
            RemotePath.empty() ? ftpdata::FileNamePart(LocalPath) : RemotePath;
        ftpfiles::TransferChecks checks(*this, ftpfiles::TransferChecks::Direction::Upload, remote,
                                        LocalPath);
        Store(*this, ftpdata::kUpload, "STOR ", LocalPath, RemotePath, &checks);
    });
}

void TVaskFTP::AppendUpload(const std::string& LocalPath, const std::string& RemotePath)
{
    lastTransferVerified_ = false; // nor is an append
    Store(*this, ftpdata::kAppend, "APPE ", LocalPath, RemotePath);
}
