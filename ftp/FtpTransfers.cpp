// The four file transfers: Download ("RETR "), ResumeDownload ("REST " + "RETR "), Upload
// ("STOR ") and AppendUpload ("APPE "), each over its own data connection.
#include "ftp/FtpDataConnection.h"
#include "ftp/VaskFtp.h"

#include "platform/LocalFile.h"

#include <algorithm>
#include <optional>

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

// "RETR " for both downloads, after the data channel is open: the reply, the size it announces
// (on any of its lines; the first one that names one counts), the server's connection in active
// mode, then the data phase into the local file by `receive`. `expected` says what the local file
// must come to; a size the server told through SIZE goes before the one the reply announces.
// Returns without a data phase when the refusal was handled. While the data moves, TransferSize
// is the size the reply announces, or `shown` when it announces none.
template <class Receive>
void Retrieve(TVaskFTP& ftp, DataOperation& op, const std::string& remotePath,
              ftpdata::ExpectedFile expected, Receive receive, std::optional<int64_t> shown = {},
              ftpfiles::TransferChecks* checks = nullptr)
{
    int64_t announced = 0;
    const std::string reply =
        ftp.Replies().Command("RETR " + remotePath, [&](const std::string& line) {
            if (announced == 0) announced = ParseTransferSize(line);
            ftp.TransferSize = announced;
        });
    if (op.TransferReplyFails(reply)) {
        op.Fail(reply, false);
        return op.Release();
    }
    if (!op.AcceptIfActive() || !op.SecureData()) return op.Release();
    ftp.TransferSize = announced > 0 ? announced : shown.value_or(0);
    if (!expected.size && announced > 0) expected.size = announced;
    op.BeginDataPhase();
    op.RunDataPhase([&] { receive(op.Socket()); });
    if (!op.EndDataPhase(expected)) return op.Release();
    if (checks && !checks->Conclude(op)) return op.Release();
    op.Release();
}

// The server's size of a file by "SIZE" (RFC 3659): "213 1234". Unknown when the server does not
// know the command or refuses it for this file.
std::optional<int64_t> ServerSize(TVaskFTP& ftp, const std::string& remotePath)
{
    const std::string reply = ftp.Transaction("SIZE " + remotePath);
    if (ftp.ReplyCode != 213 || reply.size() < 5) return std::nullopt;
    std::string digits = reply.substr(4);
    while (!digits.empty() &&
           (digits.back() == '\n' || digits.back() == '\r' || digits.back() == ' '))
        digits.pop_back();
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoll(digits);
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
    op.SelectBinaryType();
    TWirecore& data = op.CreateSocket();
    // The size is known before the first byte goes out; a missing file fails here, before the
    // server is asked for anything.
    ftp.TransferSize = platform::LocalFile::OpenForReading(localPath).Size();
    if (checks && !checks->Prepare(op)) return op.Release();
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
    if (!op.AcceptIfActive() || !op.SecureData()) return op.Release();
    op.BeginDataPhase();
    if (checks) checks->Watch(data);
    op.RunDataPhase([&] { data.SendFile(localPath); });
    if (!op.EndDataPhase()) return op.Release();
    if (checks && !checks->Conclude(op)) return op.Release();
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
        op.SelectBinaryType();
        // Asked in binary mode, where the size counts the bytes that will arrive. Unless the
        // caller wants it, the size the reply announces is the one checked: asking SIZE as well
        // would cost every download a round trip.
        ftpdata::ExpectedFile expected;
        if (SizeBeforeDownload) expected.size = ServerSize(*this, RemotePath);
        if (!checks.Prepare(op)) return op.Release();
        op.CreateSocket();
        if (!op.OpenChannel()) return op.Release();
        ReportStatus(1, "RETR " + RemotePath);
        TransferSize = 0;
        const auto receive = [&](TWirecore& data) {
            checks.Watch(data);
            data.CaptureFile(target);
        };
        Retrieve(*this, op, RemotePath, expected, receive, expected.size, &checks);
    });
}

void TVaskFTP::ResumeDownload(const std::string& RemotePath, const std::string& LocalPath)
{
    ControlUse use(*this);
    lastTransferVerified_ = false; // a resumed download is not checked
    RequireSingleLine("RETR " + RemotePath);
    DataOperation op(*this, ftpdata::kResume);
    op.Start();
    op.SelectBinaryType();
    const std::string target = LocalPath.empty() ? RemotePath : LocalPath;
    const int64_t localSize = platform::LocalFile::SizeOf(target);
    const int64_t offset = std::max<int64_t>(localSize, 0);

    // What the file comes to on the server decides whether there is anything to fetch, and is
    // what the local file must come to afterwards. Asked before the data channel is opened, so
    // that a file already complete costs no data connection at all.
    ftpdata::ExpectedFile expected{ServerSize(*this, RemotePath), offset, target};
    if (expected.size && localSize >= 0) {
        if (localSize == *expected.size) {
            TransferSize = 0;
            ReportStatus(1, "Received 0 Bytes");
            op.SucceedWithoutData();
            return op.Release();
        }
        if (localSize > *expected.size) {
            // Longer than the server's file: not a part of it, and nothing a resume can mend.
            op.Fail(FTPException(
                        "Local file is longer than the server's: " + std::to_string(localSize) +
                            " of " + std::to_string(*expected.size) + " bytes",
                        ErrorReason::TransferIncomplete),
                    false);
            return op.Release();
        }
    }

    op.CreateSocket();
    if (!op.OpenChannel()) return op.Release();
    ReportStatus(1, "REST RETR " + RemotePath);
    TransferSize = 0;
    const std::string restReply = Transaction("REST " + std::to_string(offset));
    // Without the restart the server would send the whole file, to be appended after the bytes
    // already here: a spliced file. Nothing is retrieved then.
    if (ReplyCode != 350) {
        op.Fail(restReply, false);
        return op.Release();
    }
    Retrieve(*this, op, RemotePath, expected, [&](TWirecore& data) { data.AppendFile(target); });
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
