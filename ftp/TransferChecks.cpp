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

bool IsRegularFile(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// A server reads the whole file before it answers the hash command, and says nothing meanwhile:
// the wait for its answer is allowed TimeOut plus a second for every kServerHashBytesPerSecond.
constexpr int64_t kServerHashBytesPerSecond = 20 * 1000 * 1000;

class LongerTimeOut {
public:
    LongerTimeOut(TVaskFTP& ftp, int64_t bytes) : ftp_(ftp), saved_(ftp.TimeOut)
    {
        if (saved_ <= 0) return;
        const int64_t longer = saved_ + bytes / kServerHashBytesPerSecond * 1000;
        ftp_.TimeOut = static_cast<int32_t>(std::min<int64_t>(longer, INT32_MAX));
    }
    ~LongerTimeOut() { ftp_.TimeOut = saved_; }
    LongerTimeOut(const LongerTimeOut&) = delete;
    LongerTimeOut& operator=(const LongerTimeOut&) = delete;

private:
    TVaskFTP& ftp_;
    const int32_t saved_;
};

std::string WithoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

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
    if (Succeeded(ftp_.ReplyCode)) {
        session.hash->select.clear();
    } else if (session.hash->fallback) {
        // It keeps to the one it uses already, which is as good a proof if weaker.
        session.hash->algorithm = *session.hash->fallback;
        session.hash->select.clear();
    } else {
        session.hash.reset();
    }
    return session.hash;
}

bool TransferChecks::Prepare(ftpdata::DataOperation& op)
{
    ftp_.lastTransferVerified_ = false;
    if (ftp_.Verify == TVerifyMode::Off) return true;
    hash_ = SessionHash();
    if (!hash_) {
        const std::string text = "The server offers no checksum: " + remotePath_ + " not verified";
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
        const std::string text = "No checksum from the server (" + WithoutLineEnd(reply) +
                                 "): " + remotePath_ + " not verified";
        if (ftp_.Verify == TVerifyMode::Require)
            return Fail(op, text, ErrorReason::VerificationUnavailable);
        ftp_.ReportStatus(1, text);
        return true;
    }
    if (*server == local) {
        ftp_.lastTransferVerified_ = true;
        ftp_.ReportStatus(1,
                          std::string("Verified: ") + DigestName(hash_->algorithm) + " " + local);
        return true;
    }
    std::string text = verify::MismatchText(remotePath_, hash_->algorithm, local, *server);
    // The bytes are kept for whoever wants to look at them, under a name that says what they are;
    // never where the good file belongs, nor where a resumed download would build on them.
    if (direction_ == Direction::Download && IsRegularFile(localPath_)) {
        const std::string kept = UnverifiedPathOf(localPath_);
        if (std::rename(localPath_.c_str(), kept.c_str()) == 0)
            text += "; the file received is kept as " + kept;
        else
            std::remove(localPath_.c_str());
    }
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
                                 ": it takes neither MFMT nor SITE UTIME");
}

} // namespace ftpfiles
