#pragma once
// Internal to the FTP component: what a download or an upload does around its data phase so that
// the file stays true -- a checksum computed while the bytes pass (net/Digest.h) and compared with
// the server's, and the modification time carried over (ftp/FileTimes.h). Both are off unless the
// component's Verify and KeepTimes ask for them.
//
// The transfer calls Prepare() before its data channel opens, Watch() on its data socket before
// the data moves, and Conclude() once the closing reply has said the transfer succeeded. Prepare
// and Conclude return false for a failure the OnFailure handler took care of; the operation then
// goes straight to its release.
#include "ftp/FileTimes.h"
#include "ftp/FileVerification.h"
#include "platform/Exception.h"

#include <memory>
#include <optional>
#include <string>

class TVaskFTP;
class TWirecore;
class Digest;
namespace ftpdata {
class DataOperation;
}

namespace ftpfiles {

// What a session has learnt about the checks: the checksum it asks for (once chosen, after any
// OPTS HASH), and how the server takes a file's time.
struct FileCheckSession {
    bool hashChosen = false;
    std::optional<verify::HashChoice> hash;
    filetimes::ServerTimeSetting times;
};

class TransferChecks {
public:
    enum class Direction { Download, Upload };

    TransferChecks(TVaskFTP& ftp, Direction direction, std::string remotePath,
                   std::string localPath);
    ~TransferChecks();
    TransferChecks(const TransferChecks&) = delete;
    TransferChecks& operator=(const TransferChecks&) = delete;

    [[nodiscard]] bool Prepare(ftpdata::DataOperation& op);
    void Watch(TWirecore& data);
    [[nodiscard]] bool Conclude(ftpdata::DataOperation& op);

private:
    const std::optional<verify::HashChoice>& SessionHash();
    // The failure of a check: the operation fails with `reason`, after its success is taken back.
    bool Fail(ftpdata::DataOperation& op, const std::string& message, ErrorReason reason);
    bool CompareChecksums(ftpdata::DataOperation& op);
    void KeepServerTime();
    void SetServerTime();
    std::optional<int64_t> ServerTime();

    TVaskFTP& ftp_;
    Direction direction_;
    std::string remotePath_;
    std::string localPath_;
    std::optional<verify::HashChoice> hash_;
    std::unique_ptr<Digest> digest_;
};

} // namespace ftpfiles
