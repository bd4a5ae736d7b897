#include "ftp/TransferChecks.h"

#include "ftp/DownloadTarget.h"
#include "ftp/FtpDataConnection.h"
#include "ftp/VaskFtp.h"
#include "net/Digest.h"
#include "platform/LocalFile.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <sys/stat.h>

namespace ftpfiles {

namespace {

bool Succeeded(int16_t code) { return code >= 200 && code <= 299; }

// The name itself: a link put under the name of the file received is no file to touch.
bool IsRegularFile(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The wait for the answer to the hash command: see verify::HashAnswerPatienceMs.
class LongerTimeOut {
public:
    LongerTimeOut(TVaskFTP& ftp, int64_t bytes) : ftp_(ftp), saved_(ftp.TimeOut)
    {
        if (saved_ <= 0) return;
        const int64_t longer = verify::HashAnswerPatienceMs(saved_, bytes);
        ftp_.TimeOut = static_cast<int32_t>(std::min<int64_t>(longer, INT32_MAX));
    }
    ~LongerTimeOut() { ftp_.TimeOut = saved_; }
    LongerTimeOut(const LongerTimeOut&) = delete;
    LongerTimeOut& operator=(const LongerTimeOut&) = delete;

private:
    TVaskFTP& ftp_;
    const int32_t saved_;
};
} // namespace

TransferChecks::TransferChecks(TVaskFTP& ftp, Direction direction, std::string remotePath,
                               std::string localPath)
    : ftp_(ftp), direction_(direction), remotePath_(std::move(remotePath)),
      localPath_(std::move(localPath))
{
}

TransferChecks::~TransferChecks() = default;

const std::optional<verify::HashChoice>& TransferChecks::SessionHash()
{
    FileCheckSession& session = ftp_.fileChecks_;
    if (session.hashChosen) return session.hash;
    session.hashChosen = true;
    session.hash = verify::ChooseHash(ftp_.Features());
    if (!session.hash || session.hash->select.empty()) return session.hash;
    ftp_.ReportStatus(1, session.hash->select);
    ftp_.Transaction(session.hash->select);
    session.hash = verify::AfterSelection(*session.hash, Succeeded(ftp_.ReplyCode));
    return session.hash;
}

bool TransferChecks::Prepare(ftpdata::DataOperation& op)
{
    ftp_.lastTransferVerified_ = false;
    if (ftp_.Verify == TVerifyMode::Off) return true;
    hash_ = SessionHash();
    if (!hash_) {
        const std::string text = verify::UnavailableText(remotePath_);
        if (ftp_.Verify == TVerifyMode::Require)
            return Fail(op, text, ErrorReason::VerificationUnavailable);
        ftp_.ReportStatus(1, text);
        return true;
    }
    digest_ = std::make_unique<Digest>(hash_->algorithm);
    return true;
}

void TransferChecks::Watch(TWirecore& data)
{
    if (!digest_) return;
    data.OnFileBytes = [digest = digest_.get()](const char* bytes, size_t length) {
        digest->Update(bytes, length);
    };
    // A download is received straight into the digest's blocks, and written from there.
    data.FileBytesRoom = [digest = digest_.get()] { return digest->Room(); };
}

bool TransferChecks::Conclude(ftpdata::DataOperation& op)
{
    if (digest_ && !CompareChecksums(op)) return false;
    if (ftp_.KeepTimes) {
        if (direction_ == Direction::Download)
            KeepServerTime();
        else
            SetServerTime();
    }
    return true;
}

bool TransferChecks::Fail(ftpdata::DataOperation& op, const std::string& message,
                          ErrorReason reason)
{
    op.Discard();
    op.Fail(FTPException(message, reason), false);
    return false;
}

bool TransferChecks::CompareChecksums(ftpdata::DataOperation& op)
{
    const std::string local = digest_->Final();
    const std::string command = hash_->command + " " + remotePath_;
    ftp_.ReportStatus(1, command);
    std::string reply;
    {
        LongerTimeOut patience(ftp_, std::max(ftp_.ReceivedBytes(), ftp_.SentBytes()));
        reply = ftp_.Transaction(command);
    }
    const std::optional<std::string> server = verify::HashOfReply(reply, hash_->algorithm);
    if (!server) {
        const std::string text = verify::NoChecksumText(reply, remotePath_);
        if (ftp_.Verify == TVerifyMode::Require)
            return Fail(op, text, ErrorReason::VerificationUnavailable);
        ftp_.ReportStatus(1, text);
        return true;
    }
    if (*server == local) {
        ftp_.lastTransferVerified_ = true;
        ftp_.ReportStatus(1, verify::VerifiedText(hash_->algorithm, local));
        return true;
    }
    std::string text = verify::MismatchText(remotePath_, hash_->algorithm, local, *server);
    // The bytes are kept for whoever wants to look at them, under a name that says what they are;
    // never where the good file belongs, nor where a resumed download would build on them.
    if (direction_ == Direction::Download) text += SetAsideUnverified(localPath_);
    return Fail(op, text, ErrorReason::VerificationFailed);
}

std::optional<int64_t> TransferChecks::ServerTime()
{
    if (filetimes::TimeQueryFor(ftp_.HasFeature("MLST")) == filetimes::TimeQuery::Mlst) {
        if (const std::optional<TFTPListEntry> entry = ftp_.DescribePath(remotePath_))
            if (const std::optional<int64_t> time = filetimes::TimeOfEntry(entry->modified))
                return time;
    }
    const std::string command = "MDTM " + remotePath_;
    ftp_.ReportStatus(1, command);
    return filetimes::TimeOfMdtmReply(ftp_.Transaction(command));
}

void TransferChecks::KeepServerTime()
{
    const std::optional<int64_t> time = ServerTime();
    if (!time) {
        ftp_.ReportStatus(1, "The server gives no time for " + remotePath_ +
                                 ": the file keeps the time it was received");
        return;
    }
    // A device or a pipe written to is no copy of the file; its time is not the file's.
    if (!IsRegularFile(localPath_)) return;
    if (!platform::LocalFile::SetModified(localPath_, *time))
        ftp_.ReportStatus(1, "Cannot set the time of " + localPath_);
}

void TransferChecks::SetServerTime()
{
    const std::optional<int64_t> time = platform::LocalFile::ModifiedOf(localPath_);
    if (!time) return;
    const bool mfmt = ftp_.HasFeature("MFMT");
    filetimes::ServerTimeSetting& known = ftp_.fileChecks_.times;
    const std::vector<std::string> commands =
        filetimes::TimeSettingCommands(mfmt, known, remotePath_, *time);
    std::optional<size_t> worked;
    for (size_t i = 0; i < commands.size() && !worked; ++i) {
        ftp_.ReportStatus(1, commands[i]);
        ftp_.Transaction(commands[i]);
        if (Succeeded(ftp_.ReplyCode)) worked = i;
    }
    filetimes::NoteTimeSetting(known, mfmt, worked);
    if (!worked)
        ftp_.ReportStatus(1, "The server keeps its own time for " + remotePath_ +
                                 ": it takes no MFMT, SITE UTIME or MDTM that sets a time");
}

} // namespace ftpfiles
