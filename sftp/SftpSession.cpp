#include "sftp/SftpSession.h"

#include "platform/HostLookup.h"
#include "platform/LocalFile.h"
#include "platform/Sockets.h"
#include "sftp/Wire.h"

#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace sftp {

namespace {

transfer::Outcome LocalFailure(const std::string& message, ErrorReason reason)
{
    transfer::Outcome outcome;
    outcome.message = message;
    outcome.reason = reason;
    outcome.failure = transfer::FailureKind::LocalFailure;
    return outcome;
}

// "dir/name" as its folder ("." for none) and its name.
std::pair<std::string, std::string> SplitLocal(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The folder a download is written in: for a tree's file, every step below the tree's root
// taken without following a link.
platform::LocalDirectory FolderOf(const transfer::Request& request, const std::string& folder)
{
    std::string root = request.localRoot;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!root.empty() && folder.size() > root.size() && folder.compare(0, root.size(), root) == 0 &&
        folder[root.size()] == '/')
        return platform::LocalDirectory::Open(root).Below(folder.substr(root.size() + 1), false);
    return platform::LocalDirectory::Open(folder);
}

// Hidden, of this process, and beside the target, so that the rename stays within the folder.
std::string StagingNameOf(const std::string& name)
{
    return "." + name + "." + std::to_string(::getpid()) + ".sftp-part";
}

} // namespace

transfer::Outcome SftpSession::Classified(transfer::Outcome outcome, bool opening)
{
    if (outcome.ok || outcome.failure != transfer::FailureKind::None) return outcome;
    if (opening) {
        // The key, the login or the subsystem refused: asking again the same way changes
        // nothing, and the login is what a refusal while opening is nearly always about.
        if (outcome.reason == ErrorReason::ServerRefused)
            outcome.failure = transfer::FailureKind::LoginRefused;
        return outcome;
    }
    if (outcome.reason != ErrorReason::ServerRefused) return outcome;
    switch (static_cast<StatusCode>(outcome.replyCode)) {
    case StatusCode::NoSuchFile:
    case StatusCode::PermissionDenied:
    case StatusCode::OpUnsupported: outcome.failure = transfer::FailureKind::RefusedForGood; break;
    case StatusCode::NoConnection:
    case StatusCode::ConnectionLost: outcome.failure = transfer::FailureKind::ConnectionLost; break;
    // SSH_FX_FAILURE says nothing of why (a full disk, a file in use): another try may do.
    case StatusCode::Failure: outcome.failure = transfer::FailureKind::RefusedForNow; break;
    default: break;
    }
    return outcome;
}

SftpSession::SftpSession(ConnectOptions options, bool keepTimes)
    : options_(std::move(options)), keepTimes_(keepTimes)
{
}

SftpSession::~SftpSession()
{
    *alive_ = false;
    if (lookupRequest_ != 0) platform::CancelAsyncRequest(lookupRequest_);
    if (window_) platform::ForgetLookupsOf(window_.get());
}

void SftpSession::Open(transfer::DoneHandler done)
{
    opening_ = std::move(done);
    if (const auto literal = platform::ParseAddressLiteral(options_.host)) {
        Connect(*literal);
        return;
    }
    // A name goes to the same lookup the FTP side uses, answered through the event loop.
    window_ = std::make_unique<platform::NotificationWindow>(
        [this](int message, uintptr_t, intptr_t lParam) -> intptr_t {
            if (message == platform::kLookupMessage) Looked(lParam);
            return 0;
        });
    lookup_ = std::make_unique<platform::HostEntry>();
    lookupRequest_ =
        platform::AsyncGetHostByName(window_.get(), platform::kLookupMessage, options_.host,
                                     lookup_.get(), sizeof(platform::HostEntry));
}

void SftpSession::Looked(intptr_t lParam)
{
    lookupRequest_ = 0;
    if (platform::SelectError(lParam) != 0 || lookup_->addressCount == 0) {
        transfer::Outcome outcome;
        outcome.message = "The name " + options_.host + " could not be looked up";
        outcome.reason = ErrorReason::LookupFailed;
        outcome.failure = transfer::FailureKind::ConnectionLost;
        if (auto done = std::exchange(opening_, nullptr)) done(outcome);
        return;
    }
    Connect(lookup_->addresses[0]);
}

void SftpSession::Connect(const platform::SocketAddress& address)
{
    client_.Connect(address, options_, [this](const transfer::Outcome& outcome) {
        if (auto done = std::exchange(opening_, nullptr)) done(Classified(outcome, true));
    });
}

bool SftpSession::Idle() const { return client_.Idle() && !opening_; }

bool SftpSession::Start(const transfer::Request& request, transfer::ProgressHandler progress,
                        transfer::DoneHandler done)
{
    if (!Idle()) return false;
    auto classify = [done](const transfer::Outcome& outcome) {
        if (done) done(Classified(outcome, false));
    };
    switch (request.operation) {
    case transfer::Operation::Get: return StartGet(request, std::move(progress), std::move(done));
    case transfer::Operation::Put: return StartPut(request, std::move(progress), std::move(done));
    case transfer::Operation::MakeDirectory:
        return client_.MakeDirectory(Resolved(request.remotePath), classify);
    case transfer::Operation::ModifiedTime: {
        // A listing of an SFTP server always carries the times; nobody asks for one alone.
        transfer::Outcome outcome;
        outcome.message = "The time of a single file is not asked for over SFTP";
        outcome.failure = transfer::FailureKind::RefusedForGood;
        const std::weak_ptr<bool> token = alive_;
        QTimer::singleShot(0, [token, classify, outcome] {
            if (!token.expired()) classify(outcome);
        });
        return true;
    }
    case transfer::Operation::ChangeDirectory:
    case transfer::Operation::CurrentDirectory:
    case transfer::Operation::Delete:
    case transfer::Operation::RemoveDirectory:
    case transfer::Operation::Rename:
    case transfer::Operation::SendCommand: return StartCommand(request, std::move(done));
    case transfer::Operation::List: return false;
    }
    return false;
}

bool SftpSession::StartList(const transfer::Request& request, transfer::ListHandler done)
{
    if (!Idle()) return false;
    const size_t most = request.maxEntries;
    return client_.List(Resolved(request.remotePath), [done, most](const transfer::Outcome& outcome,
                                                                   const auto& entries) {
        if (outcome.ok && most > 0 && entries.size() > most) {
            transfer::Outcome tooMany;
            tooMany.message = "The listing holds more than " + std::to_string(most) + " entries";
            tooMany.failure = transfer::FailureKind::RefusedForGood;
            done(tooMany, {});
            return;
        }
        done(Classified(outcome, false), entries);
    });
}

bool SftpSession::StartGet(const transfer::Request& request, transfer::ProgressHandler progress,
                           transfer::DoneHandler done)
{
    // Named, not bound, so that the callbacks below can capture them.
    const std::pair<std::string, std::string> split = SplitLocal(request.localPath);
    const std::string& folderPath = split.first;
    const std::string name = split.second;
    std::shared_ptr<platform::LocalDirectory> folder;
    std::string written = request.localPath;
    std::string staged;
    uint64_t offset = 0;
    transfer::Outcome refused;
    try {
        folder = std::make_shared<platform::LocalDirectory>(FolderOf(request, folderPath));
        struct stat info {};
        const bool exists = folder->Look(name, info);
        if (exists && !S_ISREG(info.st_mode) && !request.localRoot.empty())
            throw FileError(folder->PathOf(name) + ": " + platform::NotARegularFile(info),
                            ErrorReason::FileCreate);
        if (request.resume && exists && S_ISREG(info.st_mode)) {
            offset = static_cast<uint64_t>(info.st_size);
        } else if (!exists || S_ISREG(info.st_mode)) {
            staged = StagingNameOf(name);
            folder->Remove(staged); // what an earlier run left, a link included, never followed
            written = (folderPath == "/" ? "" : folderPath) + "/" + staged;
        }
    } catch (const Exception& error) {
        refused = LocalFailure(error.Message(), error.Reason());
    }
    if (!refused.message.empty()) {
        // Told from the event loop, as every outcome is.
        const std::weak_ptr<bool> token = alive_;
        QTimer::singleShot(0, [token, done, refused] {
            if (!token.expired() && done) done(refused);
        });
        return true;
    }
    const bool keepTimes = keepTimes_;
    const std::optional<int64_t> modified = request.modifiedUtc;
    return client_.Download(
        Resolved(request.remotePath), written, offset, std::move(progress),
        [folder, staged, name, written, keepTimes, modified,
         done](const transfer::Outcome& result) {
            transfer::Outcome outcome = Classified(result, false);
            if (!staged.empty()) {
                if (outcome.ok && !folder->Rename(staged, name)) {
                    outcome = LocalFailure("Cannot rename " + folder->PathOf(staged) + " to " +
                                               name + ": " + std::strerror(errno),
                                           ErrorReason::FileWrite);
                }
                if (!outcome.ok) folder->Remove(staged);
            }
            if (outcome.ok && keepTimes && modified)
                platform::LocalFile::SetModified(folder->PathOf(name), *modified);
            if (done) done(outcome);
        });
}

bool SftpSession::StartPut(const transfer::Request& request, transfer::ProgressHandler progress,
                           transfer::DoneHandler done)
{
    struct stat info {};
    std::optional<transfer::Outcome> refused;
    if (::stat(request.localPath.c_str(), &info) != 0) {
        refused =
            LocalFailure("Cannot open file " + request.localPath + ": " + std::strerror(errno),
                         ErrorReason::FileOpen);
    } else if (request.localIdentity &&
               (static_cast<uint64_t>(info.st_dev) != request.localIdentity->first ||
                static_cast<uint64_t>(info.st_ino) != request.localIdentity->second)) {
        refused = LocalFailure(request.localPath + " is no longer the file that was found there",
                               ErrorReason::FileOpen);
    }
    if (refused) {
        const std::weak_ptr<bool> token = alive_;
        QTimer::singleShot(0, [token, done, outcome = *refused] {
            if (!token.expired() && done) done(outcome);
        });
        return true;
    }
    const std::weak_ptr<bool> token = alive_;
    const std::string remote = Resolved(request.remotePath);
    // An appended file keeps the server's time: it is not the local file.
    const bool keepTimes = keepTimes_ && !request.append;
    const int64_t modified = static_cast<int64_t>(info.st_mtime);
    auto uploaded = [this, token, remote, keepTimes, modified,
                     done](const transfer::Outcome& result) {
        transfer::Outcome outcome = Classified(result, false);
        if (!outcome.ok || !keepTimes || token.expired() ||
            !client_.SetModified(remote, modified, [done, outcome](const transfer::Outcome&) {
                // The file arrived whole; a server that keeps no times does not undo that.
                if (done) done(outcome);
            })) {
            if (done) done(outcome);
        }
    };
    if (request.append)
        return client_.Append(request.localPath, remote, std::move(progress), std::move(uploaded));
    return client_.Upload(request.localPath, remote, 0, std::move(progress), std::move(uploaded));
}

void SftpSession::Cancel() { client_.Cancel(); }

void SftpSession::Close()
{
    if (lookupRequest_ != 0) {
        platform::CancelAsyncRequest(std::exchange(lookupRequest_, 0));
        if (auto done = std::exchange(opening_, nullptr)) {
            transfer::Outcome outcome;
            outcome.message = "Canceled";
            outcome.reason = ErrorReason::Canceled;
            const std::weak_ptr<bool> token = alive_;
            QTimer::singleShot(0, [token, done, outcome] {
                if (!token.expired()) done(outcome);
            });
        }
        return;
    }
    client_.Close();
}

const HostKey& SftpSession::ServerKey() { return client_.Transport().ServerKey(); }

} // namespace sftp
