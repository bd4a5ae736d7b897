// The four file transfers: Download ("RETR "), ResumeDownload ("REST " then "RETR "), Upload
// ("STOR ") and AppendUpload ("APPE "), each over its own data connection. Each is the blocking
// loop around its TransferOperation: the machine says what comes next, the loop does it with
// the data operation's steps, whose waits keep the window alive, and tells the machine what came
// of it.
#include "ftp/DownloadTarget.h"
#include "ftp/FtpDataConnection.h"
#include "ftp/TransferChecks.h"
#include "ftp/TransferLoop.h"
#include "ftp/TransferOperation.h"
#include "ftp/VaskFtp.h"

#include "platform/LocalFile.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <unistd.h>

namespace {

using ftpdata::DataOperation;
using ftpdata::TransferScript;

// Upload and Download report every exception to OnFailure on its way out, after the release,
// unless OnFailure has had it already (a refusal); a handler that sets Handled ends the transfer
// quietly. Once per failure: a handler that retries would otherwise retry twice.
template <class Body> void WithOuterGuard(TVaskFTP& ftp, TCmdType kind, Body body)
{
    const int64_t reportedBefore = ftp.failuresReported_;
    try {
        body();
    } catch (const std::exception&) {
        if (!ftp.OnFailure || ftp.failuresReported_ != reportedBefore) throw;
        ++ftp.failuresReported_;
        bool handled = false;
        ftp.OnFailure(handled, kind);
        if (!handled) throw;
    }
}

// "RETR " for both downloads. While the data moves, TransferSize is the size the reply
// announces, or the server's size (SIZE) when it announces none.
void Retrieve(TVaskFTP& ftp, DataOperation& op, const TransferOperation::Settings& settings,
              const std::string& remotePath, std::function<void(int64_t)> cutBack,
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
        // One line a command ("REST 1024", then "RETR name").
        const size_t lineEnd = statusText.rfind('\n');
        if (lineEnd != std::string::npos) ftp.ReportStatus(1, statusText.substr(0, lineEnd));
        const std::string verb =
            lineEnd == std::string::npos ? statusText : statusText.substr(lineEnd + 1);
        ftp.ReportStatus(1, verb + remotePath);
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
    script.cutBack = std::move(cutBack);
    script.offset = settings.offset;
    ftpdata::Drive(ftp, op, machine, script);
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
    TransferOperation machine(
        ftpdata::TransferSettingsFor(ftp, TransferOperation::Kind::Put, command));
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
    ftpdata::Drive(ftp, op, machine, script);
    op.Release();
}

} // namespace

void TVaskFTP::Download(const std::string& RemotePath, const std::string& LocalPath)
{
    const std::string target = LocalPath.empty() ? RemotePath : LocalPath;
    DownloadThrough(RemotePath, target, [&target](bool append) {
        return append ? platform::LocalFile::OpenForAppending(target)
                      : platform::LocalFile::Create(target);
    });
}

void TVaskFTP::Download(const std::string& RemotePath, ftpfiles::DownloadTarget& Target)
{
    DownloadThrough(RemotePath, Target.WritePath(),
                    [&Target](bool append) { return Target.OpenForWriting(append); });
}

void TVaskFTP::ResumeDownload(const std::string& RemotePath, const std::string& LocalPath)
{
    const std::string target = LocalPath.empty() ? RemotePath : LocalPath;
    ResumeThrough(RemotePath,
                  [&target](bool) { return platform::LocalFile::OpenForAppending(target); });
}

void TVaskFTP::ResumeDownload(const std::string& RemotePath, ftpfiles::DownloadTarget& Target)
{
    ResumeThrough(RemotePath, [&Target](bool) { return Target.OpenForWriting(true); });
}

void TVaskFTP::DownloadThrough(const std::string& RemotePath, const std::string& target,
                               const LocalOpener& open)
{
    ControlUse use(*this);
    WithOuterGuard(*this, ctDownload, [&] {
        // A line end inside the name would smuggle a second command onto the control
        // connection; refused before the server is asked for anything.
        RequireSingleLine("RETR " + RemotePath);
        ftpfiles::TransferChecks checks(*this, ftpfiles::TransferChecks::Direction::Download,
                                        RemotePath, target);
        DataOperation op(*this, ftpdata::kDownload);
        op.Start();
        op.Lock();
        TransferOperation::Settings settings =
            ftpdata::TransferSettingsFor(*this, TransferOperation::Kind::Get, "RETR " + RemotePath);
        // Asked in binary mode, where the size counts the bytes that will arrive. Unless the
        // caller wants it, the size the reply announces is the one checked: asking SIZE as well
        // would cost every download a round trip.
        if (SizeBeforeDownload) settings.sizeOf = RemotePath;
        const auto receive = [&](TWirecore& data) {
            checks.Watch(data);
            platform::LocalFile file = open(false);
            data.CaptureFile(file);
        };
        Retrieve(*this, op, settings, RemotePath, nullptr, "RETR ", receive, &checks);
        op.Release();
    });
}

void TVaskFTP::ResumeThrough(const std::string& RemotePath, const LocalOpener& open)
{
    ControlUse use(*this);
    lastTransferVerified_ = false; // a resumed download is not checked
    RequireSingleLine("RETR " + RemotePath);
    DataOperation op(*this, ftpdata::kResume);
    op.Start();
    // Opened once: what it holds decides the offset, the rest goes after it, and a server that
    // sends too much has it cut back -- all in the one file, whatever its name comes to hold.
    std::optional<platform::LocalFile> file;
    try {
        file.emplace(open(true));
    } catch (const FileError&) {
    }
    const int64_t localSize = file ? file->Size() : -1;
    TransferOperation::Settings settings =
        ftpdata::TransferSettingsFor(*this, TransferOperation::Kind::Get, "RETR " + RemotePath);
    // What the file comes to on the server decides whether there is anything to fetch, and is
    // what the local file must come to afterwards. Asked before the data channel is opened, so
    // that a file already complete costs no data connection at all. Without the restart the
    // server would send the whole file, to be appended after the bytes already here.
    settings.sizeOf = RemotePath;
    settings.restart = true;
    settings.offset = std::max<int64_t>(localSize, 0);
    settings.compareWithLocal = localSize >= 0;
    // Each command its own status line, with its argument: the offset is what a reader of the
    // log wants to know about a resume.
    const std::string restart = "REST " + std::to_string(settings.offset);
    const auto cutBack = [&file](int64_t size) {
        if (file && ::ftruncate(file->Descriptor(), static_cast<off_t>(size)) != 0)
            throw FileWriteError(file->Path());
    };
    Retrieve(*this, op, settings, RemotePath, cutBack, restart + "\nRETR ", [&](TWirecore& data) {
        if (!file) file.emplace(open(true)); // raises for a file that is not there
        data.AppendFile(*file);
    });
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
