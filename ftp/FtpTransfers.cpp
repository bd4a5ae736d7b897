// The four file transfers: Download ("RETR "), ResumeDownload ("REST " + "RETR "), Upload
// ("STOR ") and AppendUpload ("APPE "), each over its own data connection.
#include "ftp/FtpDataConnection.h"
#include "ftp/VaskFtp.h"

#include "platform/LocalFile.h"
#include "platform/MessageLoop.h"

#include <algorithm>

namespace {

using ftpdata::DataOperation;

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

// Reads the rest of a multi-line transfer reply and returns its last line. The size announced
// by the first line with one is visible meanwhile; the caller then takes the last line's.
std::string ReadTransferReply(TVaskFTP& ftp, std::string line)
{
    ftp.TransferSize = ParseTransferSize(line);
    for (int count = 1; !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
         ++count) {
        // However many lines a server sends, the message loop gets its turn now and then.
        if (count % 256 == 0) platform::ProcessPendingMessages();
        line = ftp.ReadReplyLine();
        ftp.ReportStatus(1, line);
        if (ftp.TransferSize == 0) ftp.TransferSize = ParseTransferSize(line);
    }
    return line;
}

// "RETR " for both downloads, after the data channel is open: the reply, the announced size,
// the server's connection in active mode, then the data phase into the local file by `receive`.
// Returns without a data phase when the refusal was handled.
template <class Receive>
void Retrieve(TVaskFTP& ftp, DataOperation& op, const std::string& remotePath,
              int64_t restartOffset, Receive receive)
{
    const std::string reply = ftp.SocketTransaction("RETR " + remotePath);
    if (op.TransferReplyFails(reply)) {
        op.Fail(reply, false);
        return op.Release();
    }
    const std::string last = ReadTransferReply(ftp, reply);
    if (!op.AcceptIfActive()) return op.Release();
    ftp.TransferSize = ParseTransferSize(last);
    const int64_t announced = ftp.TransferSize;
    op.BeginDataPhase();
    op.RunDataPhase([&] { receive(op.Socket()); });
    if (!op.EndDataPhase(announced, restartOffset)) return op.Release();
    op.Release();
}

// "STOR " or "APPE ": the same steps, another command word and kind.
void Store(TVaskFTP& ftp, const ftpdata::DataOperationKind& kind, const char* verb,
           const std::string& localPath, const std::string& remotePath)
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
    op.Drain();
    op.SelectBinaryType();
    TWirecore& data = op.CreateSocket();
    // The size is known before the first byte goes out; a missing file fails here, before the
    // server is asked for anything.
    ftp.TransferSize = platform::LocalFile::OpenForReading(localPath).Size();
    if (!op.OpenChannel()) return op.Release();

    if (!remotePath.empty()) {
        ftp.ReportStatus(1, word + remotePath);
    } else {
        ftp.ReportStatus(1, word + localPath);
    }
    const std::string reply = ftp.Transaction(command);
    if (op.TransferReplyFails(reply)) {
        op.Fail(reply, true);
        return op.Release();
    }
    if (!op.AcceptIfActive()) return op.Release();
    op.BeginDataPhase();
    op.RunDataPhase([&] { data.SendFile(localPath); });
    if (!op.EndDataPhase()) return op.Release();
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
        DataOperation op(*this, ftpdata::kDownload);
        op.Start();
        op.Lock();
        op.Drain();
        op.SelectBinaryType();
        op.CreateSocket();
        if (!op.OpenChannel()) return op.Release();
        ReportStatus(1, "RETR " + RemotePath);
        TransferSize = 0;
        const std::string target = LocalPath.empty() ? RemotePath : LocalPath;
        Retrieve(*this, op, RemotePath, 0, [&](TWirecore& data) { data.CaptureFile(target); });
    });
}

void TVaskFTP::ResumeDownload(const std::string& RemotePath, const std::string& LocalPath)
{
    ControlUse use(*this);
    RequireSingleLine("RETR " + RemotePath);
    DataOperation op(*this, ftpdata::kResume);
    op.Start();
    op.Drain();
    op.SelectBinaryType();
    op.CreateSocket();
    const std::string target = LocalPath.empty() ? RemotePath : LocalPath;
    if (!op.OpenChannel()) return op.Release();

    const int64_t offset = std::max<int64_t>(platform::LocalFile::SizeOf(target), 0);
    ReportStatus(1, "REST RETR " + RemotePath);
    TransferSize = 0;
    const std::string restReply = SocketTransaction("REST " + std::to_string(offset));
    // Without the restart the server would send the whole file, to be appended after the bytes
    // already here: a spliced file. Nothing is retrieved then.
    if (ReplyCode != 350) {
        op.Fail(restReply, false);
        return op.Release();
    }
    Retrieve(*this, op, RemotePath, offset, [&](TWirecore& data) { data.AppendFile(target); });
}

void TVaskFTP::Upload(const std::string& LocalPath, const std::string& RemotePath)
{
    ControlUse use(*this);
    WithOuterGuard(*this, ctUpload,
                   [&] { Store(*this, ftpdata::kUpload, "STOR ", LocalPath, RemotePath); });
}

void TVaskFTP::AppendUpload(const std::string& LocalPath, const std::string& RemotePath)
{
    Store(*this, ftpdata::kAppend, "APPE ", LocalPath, RemotePath);
}
