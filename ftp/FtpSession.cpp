// The non-blocking FTP session: see FtpSession.h. The machines decide; this file does what they
// ask on the control and data connections as their notifications come, and nothing here waits.
#include "ftp/FtpSession.h"

#include "ftp/CommandOperation.h"
#include "ftp/DownloadTarget.h"
#include "ftp/FailureKinds.h"
#include "ftp/FileTimes.h"
#include "ftp/FileVerification.h"
#include "ftp/FtpDataConnection.h"
#include "ftp/ListLineShapes.h"
#include "ftp/MlsdParser.h"
#include "ftp/ReplyFit.h"
#include "ftp/TransferChecks.h"
#include "net/Digest.h"
#include "net/ThreadTimer.h"
#include "platform/LocalFile.h"
#include "platform/SocketErrors.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <unistd.h>

namespace {

// The poster's messages.
constexpr int kDeliverMessage = platform::kUserMessageBase + 201;
constexpr int kOpenMessage = platform::kUserMessageBase + 202;
constexpr int kReceiveMessage = platform::kUserMessageBase + 203;
constexpr int kRetryMessage = platform::kUserMessageBase + 204;
constexpr int kReloginMessage = platform::kUserMessageBase + 205;

// Receives per notification: a session at full speed leaves the event loop to the others (and the
// window) every so many blocks; the notification comes again for what is still waiting.
constexpr int kReceivesPerNotification = 16;
// A listing is read a line at a time and only its entries are kept; one longer than this is no
// listing, and neither is a line longer than a name could make it.
constexpr size_t kListingLimit = 256u * 1024 * 1024;
constexpr size_t kListingLineLimit = 64u * 1024;

using Clock = std::chrono::steady_clock;

// A tree's file is read as its scan found it: below the root without following a link, and the
// very file (device and inode) the scan saw. One swapped in since is refused, not sent.
platform::LocalFile OpenUpload(const transfer::Request& request)
{
    std::optional<platform::LocalFile> file;
    if (request.localRoot.empty()) {
        file.emplace(platform::LocalFile::OpenForReading(request.localPath));
    } else {
        const std::filesystem::path below =
            std::filesystem::path(request.localPath).lexically_relative(request.localRoot);
        const std::string steps = below.generic_string();
        if (steps.empty() || *below.begin() == "..") throw FileOpenError(request.localPath, EINVAL);
        const platform::LocalDirectory folder =
            platform::LocalDirectory::Open(request.localRoot)
                .Below(below.parent_path().generic_string(), false);
        file.emplace(platform::LocalFile::OpenIn(folder, below.filename().string()));
    }
    if (request.localIdentity) {
        const platform::FileIdentity seen{request.localIdentity->first,
                                          request.localIdentity->second};
        if (file->Identity() != seen) {
            const FileOpenError prefix(request.localPath, EEXIST);
            throw FileError(prefix.Message() +
                                ": no longer the file the tree's scan found, not sent",
                            ErrorReason::FileOpen, EEXIST);
        }
    }
    return std::move(*file);
}

// The text of a failure; a local file's says why the system refused it, as a single download
// does ("Cannot write file f (No space left on device)").
std::string TextOf(const std::string& message, ErrorReason reason, int errorNumber)
{
    const bool localFile = reason == ErrorReason::FileOpen || reason == ErrorReason::FileCreate ||
                           reason == ErrorReason::FileRead || reason == ErrorReason::FileWrite;
    if (!localFile || errorNumber <= 0) return message;
    return message + " (" + std::strerror(errorNumber) + ")";
}

std::string TextOf(const Exception& error)
{
    return TextOf(error.Message(), error.Reason(), error.ErrorNumber());
}

transfer::RemoteEntry::Kind KindOf(TEntryKind kind)
{
    switch (kind) {
    case TEntryKind::File: return transfer::RemoteEntry::Kind::File;
    case TEntryKind::Directory: return transfer::RemoteEntry::Kind::Directory;
    case TEntryKind::Link: return transfer::RemoteEntry::Kind::Link;
    default: return transfer::RemoteEntry::Kind::Other;
    }
}

transfer::RemoteEntry EntryOf(const TFTPListEntry& parsed)
{
    transfer::RemoteEntry entry;
    entry.name = parsed.name;
    entry.kind = KindOf(parsed.kind);
    entry.size = parsed.size;
    // Only a time that names its zone says when the file changed.
    entry.modifiedUtc = filetimes::TimeOfEntry(parsed.modified);
    entry.unique = parsed.unique;
    return entry;
}

} // namespace

struct FtpSession::Running {
    transfer::Request request;
    transfer::ProgressHandler progress;
    transfer::DoneHandler done;
    transfer::ListHandler listed;
    std::unique_ptr<TransferOperation> transfer;
    std::unique_ptr<CommandOperation> command;
    std::unique_ptr<TWirecore> data;
    std::unique_ptr<ftpfiles::DownloadTarget> target;
    std::unique_ptr<platform::LocalFile> file;
    // An upload's whole and time, read once when the file is opened rather than with every
    // block.
    int64_t uploadSize = -1;
    std::optional<int64_t> uploadModified;
    // A resumed download: the bytes the local file held before this pass.
    int64_t resumedFrom = 0;
    bool machineListing = false;
    // The listing's bytes after its last whole line, and what its lines gave so far.
    std::string listingTail;
    size_t listingBytes = 0;
    std::vector<transfer::RemoteEntry> entries;
    listing::UndatedEntries undated;
    TListDay today = TListDay::Today();
    bool moveData = false;
    bool dataConnected = false;
    bool pipelined = false;
    // EPSV rather than PASV on an IPv4 connection, because FEAT listed it.
    bool extendedPassive = false;
    // After an upload with KeepTimes: the commands that may set the server's time, tried in turn.
    std::vector<std::string> timeCommands;
    size_t timeCommand = 0;
    // After a download with KeepTimes: MDTM is out, the file is whole and waits for its time.
    bool askingTime = false;
    // The time the downloaded file takes as it is put in place (seconds since 1970, UTC).
    std::optional<int64_t> localTime;
    bool securing = false;
    bool moving = false;
    bool dataEnded = false;
    // OPTS HASH is out: the transfer starts once it is answered.
    bool selectingHash = false;
    std::unique_ptr<Digest> digest;
    // The hash command is out: the transfer has succeeded, its check is still to come.
    bool comparing = false;
    std::string localHash;
    bool verified = false;
    // How long the watchdog waits for progress, when not TimeOut.
    int64_t patienceMs = 0;
    // This try runs on a login made anew after the replies fell out of step.
    bool newLogin = false;
    Clock::time_point lastProgress = Clock::now();
    // The floor under the speed (SpeedLimit): the bytes moved when its countdown began, and when.
    int64_t floorBytes = 0;
    Clock::time_point floorSince = Clock::now();
    transfer::Outcome outcome;
};

FtpSession::FtpSession(std::unique_ptr<TVaskFTP> ftp) : ftp_(std::move(ftp))
{
    poster_ =
        std::make_unique<platform::NotificationWindow>([this](int message, uintptr_t, intptr_t) {
            if (message == kDeliverMessage) Deliver();
            if (message == kOpenMessage) RunOpen();
            if (message == kReceiveMessage && running_ && running_->moving) ReceiveQueued();
            if (message == kRetryMessage) RunRetry();
            if (message == kReloginMessage) RunRelogin();
            return intptr_t{0};
        });
    watchdog_ = std::make_unique<TThreadTimer>(nullptr);
    watchdog_->SetEnabled(false);
    watchdog_->SetOnTimer([this](TComponent*) { CheckProgress(); });
}

FtpSession::~FtpSession()
{
    if (running_ && running_->data) running_->data->OnSocketEvent = nullptr;
    if (running_ || !timesOwed_.empty()) ftp_->ListenForReplies(nullptr);
    watchdog_->SetEnabled(false);
}

bool FtpSession::Idle() const
{
    return open_ && ftp_->Connected && !running_ && !ended_ && !opening_;
}

void FtpSession::Open(transfer::DoneHandler done)
{
    opening_ = std::move(done);
    poster_->Post(kOpenMessage, 0, 0);
}

void FtpSession::RunOpen()
{
    transfer::Outcome outcome = transfer::Outcome::Success();
    try {
        if (!ftp_->Connected) ftp_->Connect();
        binary_ = false;
        open_ = true;
    } catch (const Exception& error) {
        outcome = FailureOutcome(TextOf(error), error.Reason());
    } catch (const std::exception& error) {
        outcome = FailureOutcome(error.what(), ErrorReason::Unknown);
    }
    const transfer::DoneHandler done = std::move(opening_);
    opening_ = nullptr;
    if (done) done(outcome);
}

bool FtpSession::Start(const transfer::Request& request, transfer::ProgressHandler progress,
                       transfer::DoneHandler done)
{
    if (request.operation == transfer::Operation::List) return false;
    auto running = std::make_unique<Running>();
    running->request = request;
    running->progress = std::move(progress);
    running->done = std::move(done);
    return Begin(std::move(running));
}

bool FtpSession::StartList(const transfer::Request& request, transfer::ListHandler done)
{
    if (request.operation != transfer::Operation::List) return false;
    auto running = std::make_unique<Running>();
    running->request = request;
    running->listed = std::move(done);
    return Begin(std::move(running));
}

bool FtpSession::Begin(std::unique_ptr<Running> running)
{
    if (!Idle()) return false;
    running_ = std::move(running);
    // The first look: after the time-out, or sooner to see the data phase start its floor.
    int64_t firstLook = ftp_->TimeOut;
    if (SpeedFloorMs() > 0) {
        const int64_t poll = std::min<int64_t>(SpeedFloorMs(), 1000);
        firstLook = firstLook > 0 ? std::min(firstLook, poll) : poll;
    }
    if (firstLook > 0) {
        watchdog_->SetInterval(static_cast<uint32_t>(firstLook));
        watchdog_->SetEnabled(true);
    }
    // A listener still waiting for a late MFMT answer goes on: resetting it would take that
    // answer for one owed by earlier commands.
    if (timesOwed_.empty())
        ftp_->ListenForReplies([this](const FtpReply& reply) { OnReply(reply); });
    StartRequest();
    return true;
}

void FtpSession::StartRequest()
{
    try {
        const transfer::Operation operation = running_->request.operation;
        if (SessionCommand::Handles(operation)) return StartSessionCommand(running_->request);
        if (operation == transfer::Operation::MakeDirectory ||
            operation == transfer::Operation::ModifiedTime) {
            StartCommand();
        } else {
            StartTransfer();
        }
    } catch (const Exception& error) {
        Finish(FailureOutcome(TextOf(error), error.Reason()));
    }
}

void FtpSession::StartCommand()
{
    const transfer::Request& request = running_->request;
    const std::string verb =
        request.operation == transfer::Operation::ModifiedTime ? "MDTM " : "MKD ";
    const std::string command = verb + request.remotePath;
    TVaskFTP::RequireSingleLine(command);
    running_->command = std::make_unique<CommandOperation>(command);
    const CommandOperation::Step step = running_->command->Start();
    if (request.operation == transfer::Operation::ModifiedTime) ftp_->ReportStatus(1, command);
    ftp_->SendWithoutWaiting(step.command);
}

void FtpSession::CommandReply(const FtpReply& reply)
{
    const transfer::Operation operation = running_->request.operation;
    const bool asksTime = operation == transfer::Operation::ModifiedTime;
    if (!Fits(asksTime ? "MDTM" : "MKD", reply)) return;
    const CommandOperation::Step step = running_->command->Reply(reply);
    if (step.what != CommandOperation::Step::Do::Succeed)
        return Finish(FailureOutcome(step.failure.message, step.failure.reason));
    if (!asksTime) return Finish(transfer::Outcome::Success());
    transfer::Outcome outcome = transfer::Outcome::Success();
    outcome.modifiedUtc = filetimes::TimeOfMdtmReply(reply.first);
    if (!outcome.modifiedUtc) {
        // A success that names no time says nothing about the file.
        outcome = FailureOutcome("No time in the answer to MDTM: " + reply.first,
                                 ErrorReason::ServerRefused);
    }
    Finish(std::move(outcome));
}

void FtpSession::StartTransfer()
{
    if (!PrepareChecksum()) return;
    Running& run = *running_;
    const transfer::Request& request = run.request;
    TransferOperation::Settings settings =
        ftpdata::TransferSettingsFor(*ftp_, TransferOperation::Kind::Get, std::string());
    // TYPE I once per session: every file of a tree would pay a round trip for it.
    settings.binary = binary_;
    settings.pipelined = run.pipelined = pipelining_;
    // EPSV names no address, so nothing in between has to rewrite it.
    if (settings.passive && !settings.extended && !epsvRefused_ && ftp_->HasFeature("EPSV"))
        settings.extended = run.extendedPassive = true;
    switch (request.operation) {
    case transfer::Operation::Get: {
        settings.kind = TransferOperation::Kind::Get;
        settings.command = "RETR " + request.remotePath;
        // A tree's folder may hold "NAME.part" beside NAME: the bytes stage where no name of a
        // listing can be.
        run.target = std::make_unique<ftpfiles::DownloadTarget>(
            request.localPath, false, ftpfiles::Staging::Hidden, request.localRoot);
        // Only a whole file can be verified: one that must be is fetched whole.
        const bool resume = request.resume && ftp_->Verify != TVerifyMode::Require;
        run.file = std::make_unique<platform::LocalFile>(run.target->OpenForWriting(resume));
        int64_t have = resume ? std::max<int64_t>(run.file->Size(), 0) : 0;
        // A tree resumes a shorter target ("Retomar"): the download goes on from its bytes.
        if (resume && run.target->Staged())
            have = run.target->CarryOnFromTarget(
                *run.file, [this](const std::string& text) { ftp_->ReportStatus(1, text); });
        settings.offset = have;
        settings.restart = settings.compareWithLocal = settings.offset > 0;
        run.resumedFrom = settings.offset;
        if (resume || ftp_->SizeBeforeDownload) settings.sizeOf = request.remotePath;
        break;
    }
    case transfer::Operation::Put:
        settings.kind = TransferOperation::Kind::Put;
        settings.command = (request.append ? "APPE " : "STOR ") + request.remotePath;
        run.file = std::make_unique<platform::LocalFile>(OpenUpload(request));
        run.uploadSize = run.file->Size();
        run.uploadModified = run.file->Modified();
        settings.sendSize = run.uploadSize;
        break;
    default:
        settings.kind = TransferOperation::Kind::List;
        run.machineListing = ftp_->UsesMachineListings();
        settings.command = run.machineListing ? "MLSD" : "LIST";
        if (!request.remotePath.empty()) settings.command += " " + request.remotePath;
        break;
    }
    TVaskFTP::RequireSingleLine(settings.command);
    run.transfer = std::make_unique<TransferOperation>(settings);
    Apply(run.transfer->Start());
}

void FtpSession::Apply(const TransferOperation::Step& step)
{
    if (!running_) return;
    try {
        if (step.listen) ListenForData();
        if (step.connectTo) ConnectData(*step.connectTo);
        if (!step.send.empty()) {
            if (step.send.compare(0, 5, "RETR ") == 0 || step.send.compare(0, 5, "STOR ") == 0 ||
                step.send.compare(0, 5, "APPE ") == 0 || step.send.compare(0, 5, "REST ") == 0)
                ftp_->ReportStatus(1, step.send);
            ftp_->SendWithoutWaiting(step.send);
        }
        if (!step.sendNext.empty()) {
            ftp_->ReportStatus(1, step.sendNext);
            ftp_->SendWithoutWaiting(step.sendNext);
        }
        if (step.closeData) CloseData();
        if (step.moveData) {
            running_->moveData = true;
            TryMove();
        }
    } catch (const Exception& error) {
        if (!step.done && running_)
            return Apply(running_->transfer->DataFailed({TextOf(error), error.Reason()}));
    }
    if (!step.done || !running_) return;
    const TransferOperation& machine = *running_->transfer;
    if (machine.Current() == TransferOperation::State::Succeeded) {
        if (AskChecksum()) return;
        return Concluded();
    }
    if (RetryPlainer()) return;
    transfer::Outcome failed = FailureOutcome(machine.Failure().message, machine.Failure().reason);
    // More than the rest arrived: a server that took REST and sent the whole file all the same,
    // appended to the part that was here. That part is restored, so a later resume builds on it.
    Running& run = *running_;
    if (run.resumedFrom > 0 && run.target && run.data && machine.Total() >= 0 &&
        run.resumedFrom + run.data->BytesReceived > machine.Total()) {
        if (run.file &&
            ::ftruncate(run.file->Descriptor(), static_cast<off_t>(run.resumedFrom)) != 0)
            failed.message += "; " + FileWriteError(run.file->Path()).Message();
        run.file.reset();
    }
    if (machine.Failure().reason == ErrorReason::OutOfStep) return OutOfStep(machine.Failure());
    Finish(std::move(failed));
}

bool FtpSession::Fits(const std::string& command, const FtpReply& reply)
{
    if (ftpreply::FitOf(command, reply) != ftpreply::Fit::OutOfStep) return true;
    OutOfStep(ftpreply::OutOfStepFailure(command, reply));
    return false;
}

void FtpSession::OutOfStep(const FtpFailure& failure)
{
    ftp_->ReportStatus(1, failure.message + ": the session's replies no longer match its "
                                            "commands, and it is closed");
    timesOwed_.clear();
    ftp_->ListenForReplies(nullptr);
    binary_ = false;
    ftp_->AbandonSession();
    if (!running_) return;
    if (RetryOnNewLogin(failure)) return;
    Finish(FailureOutcome(failure.message, failure.reason));
}

bool FtpSession::RetryOnNewLogin(const FtpFailure& failure)
{
    Running& run = *running_;
    if (run.newLogin || !MayTryOnNewLogin()) return false;
    if (pipelining_) {
        pipelining_ = false;
        ftp_->ReportStatus(1, "Logging in again; each command now waits for the reply before it (" +
                                  failure.message + ")");
    }
    TryAgain(true);
    return true;
}

bool FtpSession::MayTryOnNewLogin() const
{
    const Running& run = *running_;
    if (SessionCommand::Handles(run.request.operation)) return false;
    return !run.request.append || !run.data || run.data->BytesSent == 0;
}

void FtpSession::TryAgain(bool onNewLogin)
{
    Running& run = *running_;
    if (run.data) run.data->OnSocketEvent = nullptr;
    auto retry = std::make_unique<Running>();
    retry->request = run.request;
    retry->progress = std::move(run.progress);
    retry->done = std::move(run.done);
    retry->listed = std::move(run.listed);
    retry->newLogin = onNewLogin;
    run.file.reset();
    run.target.reset();
    retired_ = std::move(running_);
    running_ = std::move(retry);
    poster_->Post(onNewLogin ? kReloginMessage : kRetryMessage, 0, 0);
}

void FtpSession::RunRelogin()
{
    retired_.reset();
    if (!running_ || running_->transfer || running_->command) return;
    Running* run = running_.get();
    run->lastProgress = Clock::now();
    try {
        ftp_->Connect();
    } catch (const Exception& error) {
        if (running_.get() == run) Finish(FailureOutcome(TextOf(error), error.Reason()));
        return;
    }
    // Cancelled or timed out while the login waited.
    if (running_.get() != run) return;
    run->lastProgress = Clock::now();
    ftp_->ListenForReplies([this](const FtpReply& reply) { OnReply(reply); });
    StartRequest();
}

bool FtpSession::MachineListingRefused(const Running& run, const TransferOperation& machine)
{
    if (!run.machineListing || machine.FailedIn() != TransferOperation::State::Command)
        return false;
    const FtpFailure& failure = machine.Failure();
    const int code = LeadingReplyCode(failure.message);
    return failure.reason == ErrorReason::ServerRefused && code >= 500 && code <= 504;
}

bool FtpSession::RetryPlainer()
{
    Running& run = *running_;
    const TransferOperation& machine = *run.transfer;
    const FtpFailure& failure = machine.Failure();
    const int64_t moved = run.data ? std::max(run.data->BytesReceived, run.data->BytesSent) : 0;
    if (moved > 0) return false;
    if (run.extendedPassive && machine.FailedIn() == TransferOperation::State::Channel &&
        failure.reason == ErrorReason::ServerRefused) {
        epsvRefused_ = true;
        ftp_->ReportStatus(1,
                           "The server refused EPSV (" + failure.message + "): PASV from now on");
    } else if (MachineListingRefused(run, machine)) {
        // A server that lists MLST among its features but does not know MLSD ("500 Unknown
        // command") still lists with LIST.
        ftp_->mlsdFailed_ = true;
        ftp_->ReportStatus(1, "MLSD refused (" + failure.message +
                                  "); listing with LIST for the rest of the session");
    } else if (run.pipelined && pipelining_ &&
               failure.reason == ErrorReason::DataConnectionFailed) {
        pipelining_ = false;
        ftp_->ReportStatus(1, "The server refused a pipelined transfer (" + failure.message +
                                  "): each command now waits for the reply before it");
    } else {
        return false;
    }
    TryAgain(false);
    return true;
}

void FtpSession::RunRetry()
{
    retired_.reset();
    if (!running_ || running_->transfer) return;
    // Replies the first try still owes (a pipelined command's, an ABOR's) are dropped as they
    // come: only the new commands' replies count from here.
    ftp_->ListenForReplies([this](const FtpReply& reply) { OnReply(reply); });
    try {
        StartTransfer();
    } catch (const Exception& error) {
        Finish(FailureOutcome(TextOf(error), error.Reason()));
    }
}

bool FtpSession::PrepareChecksum()
{
    Running& run = *running_;
    const transfer::Operation operation = run.request.operation;
    // An append's server holds more than the bytes sent: nothing to compare them with.
    const bool whole = (operation == transfer::Operation::Put && !run.request.append) ||
                       (operation == transfer::Operation::Get &&
                        (!run.request.resume || ftp_->Verify == TVerifyMode::Require));
    if (!whole || ftp_->Verify == TVerifyMode::Off) return true;
    ftpfiles::FileCheckSession& checks = ftp_->fileChecks_;
    if (!checks.hashChosen) {
        checks.hashChosen = true;
        checks.hash = verify::ChooseHash(ftp_->Features());
        if (checks.hash && !checks.hash->select.empty()) {
            ftp_->ReportStatus(1, checks.hash->select);
            ftp_->SendWithoutWaiting(checks.hash->select);
            run.selectingHash = true;
            return false;
        }
    }
    if (!checks.hash) {
        const std::string text = verify::UnavailableText(run.request.remotePath);
        if (ftp_->Verify == TVerifyMode::Require) {
            Finish(FailureOutcome(text, ErrorReason::VerificationUnavailable));
            return false;
        }
        ftp_->ReportStatus(1, text);
        return true;
    }
    run.digest = std::make_unique<Digest>(checks.hash->algorithm);
    return true;
}

void FtpSession::HashSelected(const FtpReply& reply)
{
    running_->selectingHash = false;
    if (reply.closed) {
        const FtpFailure failure = FtpFailure::Refusal(reply);
        return Finish(FailureOutcome(failure.message, failure.reason));
    }
    ftpfiles::FileCheckSession& checks = ftp_->fileChecks_;
    checks.hash = verify::AfterSelection(*checks.hash, reply.code >= 200 && reply.code <= 299);
    StartTransfer();
}

void FtpSession::WatchData(TWirecore& data)
{
    Digest* digest = running_->digest.get();
    if (!digest) return;
    data.OnFileBytes = [digest](const char* bytes, size_t length) {
        digest->Update(bytes, length);
    };
    // A download is received straight into the digest's blocks, and written from there.
    data.FileBytesRoom = [digest] { return digest->Room(); };
}

bool FtpSession::AskChecksum()
{
    Running& run = *running_;
    if (!run.digest) return false;
    if (run.data) {
        run.data->OnFileBytes = nullptr;
        run.data->FileBytesRoom = nullptr;
    }
    run.localHash = run.digest->Final();
    run.digest.reset();
    const std::string command = ftp_->fileChecks_.hash->command + " " + run.request.remotePath;
    ftp_->ReportStatus(1, command);
    ftp_->SendWithoutWaiting(command);
    run.comparing = true;
    const int64_t moved = run.data ? std::max(run.data->BytesReceived, run.data->BytesSent) : 0;
    run.patienceMs = verify::HashAnswerPatienceMs(ftp_->TimeOut, moved);
    run.lastProgress = Clock::now();
    if (run.patienceMs > 0)
        watchdog_->SetInterval(
            static_cast<uint32_t>(std::min<int64_t>(run.patienceMs, UINT32_MAX)));
    return true;
}

void FtpSession::ChecksumReply(const FtpReply& reply)
{
    Running& run = *running_;
    run.comparing = false;
    run.patienceMs = 0;
    const DigestAlgorithm algorithm = ftp_->fileChecks_.hash->algorithm;
    const std::string& path = run.request.remotePath;
    const std::optional<std::string> server =
        reply.closed ? std::nullopt : verify::HashOfReply(reply.first, algorithm);
    if (!server) {
        const std::string text = verify::NoChecksumText(reply.first, path);
        if (ftp_->Verify == TVerifyMode::Require)
            return Finish(FailureOutcome(text, ErrorReason::VerificationUnavailable));
        ftp_->ReportStatus(1, text);
        return Concluded();
    }
    if (*server == run.localHash) {
        run.verified = true;
        ftp_->ReportStatus(1, verify::VerifiedText(algorithm, run.localHash));
        return Concluded();
    }
    std::string text = verify::MismatchText(path, algorithm, run.localHash, *server);
    // Never where the good file belongs, nor where a resumed download would build on it.
    if (run.target) {
        run.file.reset();
        text += run.target->SetAsideUnverified();
    }
    Finish(FailureOutcome(text, ErrorReason::VerificationFailed));
}

void FtpSession::Concluded()
{
    if (KeepServerTime() || KeepLocalTime()) return;
    Succeed();
}

bool FtpSession::KeepLocalTime()
{
    Running& run = *running_;
    // A device or a pipe written to is no copy of the file; its time is not the file's.
    if (run.request.operation != transfer::Operation::Get || !ftp_->KeepTimes || !run.target ||
        !run.target->Staged())
        return false;
    if (run.request.modifiedUtc) {
        SetLocalTime(*run.request.modifiedUtc);
        return false;
    }
    // A listing without times to the second (LIST): the server is asked, as for a single file,
    // unless it said it does not know how.
    if (mdtmUnknown_) return false;
    const std::string command = "MDTM " + run.request.remotePath;
    ftp_->ReportStatus(1, command);
    ftp_->SendWithoutWaiting(command);
    run.askingTime = true;
    return true;
}

void FtpSession::LocalTimeReply(const FtpReply& reply)
{
    running_->askingTime = false;
    if (!reply.closed && reply.code >= 500 && reply.code <= 502) mdtmUnknown_ = true;
    const std::optional<int64_t> time =
        reply.closed ? std::nullopt : filetimes::TimeOfMdtmReply(reply.first);
    if (time) {
        SetLocalTime(*time);
    } else {
        ftp_->ReportStatus(1, "The server gives no time for " + running_->request.remotePath +
                                  ": the file keeps the time it was received");
    }
    Succeed();
}

void FtpSession::SetLocalTime(int64_t seconds)
{
    // Set on the very file written, as it is put in place; never through a name.
    running_->localTime = seconds;
}

void FtpSession::Succeed()
{
    const Running& run = *running_;
    const int64_t bytes = run.data ? std::max(run.data->BytesReceived, run.data->BytesSent) : 0;
    transfer::Outcome outcome = transfer::Outcome::Success(bytes);
    outcome.verified = run.verified;
    Finish(std::move(outcome));
}

bool FtpSession::KeepServerTime()
{
    Running& run = *running_;
    if (run.request.operation != transfer::Operation::Put || run.request.append || !ftp_->KeepTimes)
        return false;
    const std::optional<int64_t> time = run.uploadModified;
    if (!time) return false;
    run.timeCommands = filetimes::TimeSettingCommands(
        ftp_->HasFeature("MFMT"), ftp_->fileChecks_.times, run.request.remotePath, *time);
    run.timeCommand = 0;
    // MFMT is the one command there is when the server lists it: nothing to fall back on, so
    // nothing to wait for.
    if (pipelining_ && ftp_->HasFeature("MFMT") && run.timeCommands.size() == 1) {
        ftp_->ReportStatus(1, run.timeCommands.front());
        ftp_->SendWithoutWaiting(run.timeCommands.front());
        timesOwed_.push_back(run.request.remotePath);
        run.timeCommands.clear();
        return false;
    }
    return SendTimeCommand();
}

bool FtpSession::SendTimeCommand()
{
    Running& run = *running_;
    if (run.timeCommand >= run.timeCommands.size()) return false;
    const std::string& command = run.timeCommands[run.timeCommand];
    ftp_->ReportStatus(1, command);
    ftp_->SendWithoutWaiting(command);
    return true;
}

void FtpSession::TimeReply(const FtpReply& reply)
{
    Running& run = *running_;
    const bool mfmt = ftp_->HasFeature("MFMT");
    if (!reply.closed && reply.code >= 200 && reply.code <= 299) {
        filetimes::NoteTimeSetting(ftp_->fileChecks_.times, mfmt, run.timeCommand);
        return Succeed();
    }
    ++run.timeCommand;
    if (!reply.closed && SendTimeCommand()) return;
    filetimes::NoteTimeSetting(ftp_->fileChecks_.times, mfmt, std::nullopt);
    // The file itself arrived whole; only its time is the server's own.
    ftp_->ReportStatus(1, "The server keeps its own time for " + run.request.remotePath +
                              ": it takes no MFMT, SITE UTIME or MDTM that sets a time");
    Succeed();
}

void FtpSession::LateTimeReply(const FtpReply& reply)
{
    const std::string path = timesOwed_.front();
    timesOwed_.pop_front();
    const bool took = reply.code >= 200 && reply.code <= 299;
    filetimes::NoteTimeSetting(ftp_->fileChecks_.times, true,
                               took ? std::optional<size_t>(0) : std::nullopt);
    if (!took)
        ftp_->ReportStatus(1, "The server keeps its own time for " + path + ": " + reply.first);
    if (timesOwed_.empty() && !running_) ftp_->ListenForReplies(nullptr);
}

void FtpSession::OnReply(const FtpReply& reply)
{
    if (!timesOwed_.empty()) {
        if (!reply.closed) {
            if (Fits("MFMT", reply)) LateTimeReply(reply);
            return;
        }
        timesOwed_.clear();
        if (!running_) ftp_->ListenForReplies(nullptr);
    }
    if (!running_) return;
    Progressed();
    if (running_->selectingHash) {
        try {
            return HashSelected(reply);
        } catch (const Exception& error) {
            return Finish(FailureOutcome(TextOf(error), error.Reason()));
        }
    }
    if (running_->comparing) {
        if (!reply.closed && reply.code >= 100 && reply.code <= 199) return;
        return ChecksumReply(reply);
    }
    if (!running_->timeCommands.empty()) {
        if (!Fits(running_->timeCommands[running_->timeCommand], reply)) return;
        return TimeReply(reply);
    }
    if (running_->askingTime) {
        if (!Fits("MDTM", reply)) return;
        return LocalTimeReply(reply);
    }
    if (SessionCommand::Handles(running_->request.operation)) return SessionCommandReply(reply);
    if (running_->command) return CommandReply(reply);
    try {
        if (!running_->transfer) return;
        const bool typeAnswered = running_->transfer->Current() == TransferOperation::State::Type;
        if (typeAnswered && reply.code >= 200 && reply.code <= 299) binary_ = true;
        Apply(running_->transfer->Reply(reply));
    } catch (const Exception& error) {
        Finish(FailureOutcome(TextOf(error), error.Reason()));
    }
}

void FtpSession::ListenForData()
{
    Running& run = *running_;
    run.data = std::make_unique<TWirecore>(nullptr);
    TWirecore& data = *run.data;
    data.OnSocketEvent = [this](uint16_t event, uint16_t error) { OnDataEvent(event, error); };
    WatchData(data);
    Apply(run.transfer->Listening(ftpdata::ListenForServer(*ftp_, data)));
}

void FtpSession::ConnectData(int32_t port)
{
    Running& run = *running_;
    run.data = std::make_unique<TWirecore>(nullptr);
    run.data->OnSocketEvent = [this](uint16_t event, uint16_t error) { OnDataEvent(event, error); };
    WatchData(*run.data);
    // The data connection goes where the control connection went, whatever address the reply
    // names: a server cannot point us at a third host.
    platform::SocketAddress address = ftp_->PeerAddress();
    address.port = platform::HostToNetwork16(static_cast<uint16_t>(port));
    run.data->BeginConnect(address);
}

void FtpSession::OnDataEvent(uint16_t event, uint16_t error)
{
    if (!running_ || !running_->data) return;
    Running& run = *running_;
    TWirecore& data = *run.data;
    try {
        switch (event) {
        case platform::kEventConnect:
            if (error != 0)
                return DataFailed("Connection Failed", ErrorReason::DataConnectionFailed, error);
            run.dataConnected = true;
            return TryMove();
        case platform::kEventAccept: {
            // Only the server may connect: whoever came first would otherwise get the data.
            const platform::SocketAddress server = ftp_->PeerAddress();
            if (!data.AcceptWaiting(ftp_->Proxy.empty() ? &server : nullptr)) return;
            run.dataConnected = true;
            return TryMove();
        }
        case platform::kEventRead:
        case platform::kEventClose:
            if (run.securing) return TryMove();
            if (run.moving && run.request.operation != transfer::Operation::Put) ReceiveData();
            return;
        case platform::kEventWrite:
            if (run.securing) return TryMove();
            if (run.moving && run.request.operation == transfer::Operation::Put) SendData();
            return;
        default: return;
        }
    } catch (const Exception& failure) {
        DataFailed(failure.Message(), failure.Reason(), failure.ErrorNumber());
    }
}

void FtpSession::TryMove()
{
    Running& run = *running_;
    if (!run.moveData || run.moving || !run.data || run.dataEnded) return;
    TWirecore& data = *run.data;
    if (!data.Connected) {
        // An empty file's data connection may have come and gone before the server's 150.
        if (run.dataConnected) {
            run.moving = true;
            run.floorSince = Clock::now();
            ReceiveData();
        }
        return;
    }
    if (ftp_->DataProtected() && !data.TlsActive()) {
        const bool secured =
            run.securing ? data.ContinueTls() : data.BeginTls(ftp_->DataTlsSettings());
        run.securing = !secured;
        if (!secured) return;
        const TCertificateInfo& certificate = data.PeerCertificate();
        if (!certificate.Trusted())
            throw CertificateRejectedError("Certificate of the data connection not trusted (" +
                                               certificate.Problem +
                                               "), and not the control connection's",
                                           certificate);
        ftp_->CheckDataSessionResumed(data);
    }
    run.moving = true;
    run.floorSince = Clock::now();
    Progressed();
    if (running_.get() != &run) return;
    if (run.request.operation == transfer::Operation::Put) return SendData();
    ReceiveData();
}

void FtpSession::ReceiveQueued()
{
    try {
        ReceiveData();
    } catch (const Exception& failure) {
        DataFailed(failure.Message(), failure.Reason(), failure.ErrorNumber());
    }
}

void FtpSession::ReceiveData()
{
    Running& run = *running_;
    TWirecore& data = *run.data;
    for (int i = 0; i < kReceivesPerNotification && !run.dataEnded; ++i) {
        // The close notification has closed the socket once every byte was read.
        if (!data.Connected) {
            if (data.TlsTruncated())
                return DataFailed("TLS stream ended without close_notify: the file may be "
                                  "incomplete",
                                  ErrorReason::TlsTruncated);
            return DataEnded();
        }
        long received = 0;
        if (run.file) {
            received = data.ReceiveSomeToFile(*run.file);
        } else {
            char block[TWirecore::kChunkSize];
            received = data.Take(block, sizeof block);
            if (received > 0) {
                data.BytesReceived += received;
                run.listingBytes += static_cast<size_t>(received);
                if (run.listingBytes > kListingLimit)
                    return DataFailed("Listing too long", ErrorReason::LineTooLong);
                if (const std::string failure =
                        TakeListing(std::string_view(block, static_cast<size_t>(received)));
                    !failure.empty())
                    return DataFailed(failure, ErrorReason::LineTooLong);
            } else if (received < 0) {
                data.CheckSocketError(TWirecore::kToleratedError);
            }
        }
        if (received < 0) return;
        if (received == 0) {
            if (data.TlsTruncated())
                return DataFailed("TLS stream ended without close_notify: the file may be "
                                  "incomplete",
                                  ErrorReason::TlsTruncated);
            return DataEnded();
        }
        // The progress handler may have cancelled the operation.
        Progressed();
        if (running_.get() != &run) return;
    }
    // Bytes TLS has already decrypted raise no notification of their own: the next round is
    // asked for here, after whatever else the event loop has waiting.
    if (!run.dataEnded) poster_->Post(kReceiveMessage, 0, 0);
}

void FtpSession::SendData()
{
    Running& run = *running_;
    TWirecore& data = *run.data;
    for (int i = 0; i < kReceivesPerNotification && !run.dataEnded; ++i) {
        const long sent = data.SendSomeFromFile(*run.file);
        if (sent < 0) return;
        if (sent == 0) {
            // Every byte handed over: closing must not wait for the last ones to be delivered.
            platform::SetLinger(data.SocketHandle, false, 0);
            data.CloseSocket();
            return DataEnded();
        }
        // The progress handler may have cancelled the operation.
        Progressed();
        if (running_.get() != &run) return;
    }
    // More to send: the write notification brings this back once the event loop had its turn.
    platform::ArmWriteWakeup(data.SocketHandle);
}

void FtpSession::DataEnded()
{
    Running& run = *running_;
    if (run.dataEnded) return;
    run.dataEnded = true;
    TWirecore& data = *run.data;
    if (data.Connected) data.CloseSocket();
    const bool put = run.request.operation == transfer::Operation::Put;
    Apply(run.transfer->DataEnded(put ? data.BytesSent : data.BytesReceived));
}

void FtpSession::DataFailed(const std::string& message, ErrorReason reason, int errorNumber)
{
    if (!running_ || !running_->transfer) return;
    std::string text = TextOf(message, reason, errorNumber);
    if (errorNumber != 0 && reason == ErrorReason::DataConnectionFailed) {
        const std::string why = TWirecore::ErrorTextFor(static_cast<uint16_t>(errorNumber));
        if (!why.empty()) text += " (" + why + ")";
    }
    running_->dataEnded = true;
    Apply(running_->transfer->DataFailed({text, reason}));
}

void FtpSession::CloseData()
{
    Running& run = *running_;
    run.moving = false;
    if (!run.data) return;
    run.data->OnSocketEvent = nullptr;
    // A data phase cut short must not look ended to the server: no close_notify.
    if (run.data->Connected) run.data->CutConnection();
}

int64_t FtpSession::SpeedFloorMs() const
{
    return ftp_->SpeedLimit > 0 && ftp_->SpeedTime > 0 ? int64_t{ftp_->SpeedTime} * 1000 : 0;
}

void FtpSession::Progressed()
{
    if (!running_) return;
    running_->lastProgress = Clock::now();
    if (running_->data && SpeedFloorMs() > 0) {
        const TWirecore& data = *running_->data;
        const int64_t moved = std::max(data.BytesReceived, data.BytesSent);
        if (moved - running_->floorBytes >= ftp_->SpeedLimit * ftp_->SpeedTime) {
            running_->floorBytes = moved;
            running_->floorSince = running_->lastProgress;
        }
    }
    if (!running_->progress || !running_->data) return;
    const TWirecore& data = *running_->data;
    transfer::Progress progress;
    progress.bytes = running_->request.operation == transfer::Operation::Put ? data.BytesSent
                                                                             : data.BytesReceived;
    if (running_->request.operation == transfer::Operation::Put) {
        progress.total = running_->uploadSize;
    } else if (running_->transfer) {
        progress.total = running_->transfer->Total();
    }
    running_->progress(progress);
}

void FtpSession::CheckProgress()
{
    if (!running_) return;
    const auto now = Clock::now();
    const auto msSince = [&](Clock::time_point then) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count();
    };
    int64_t next = -1; // until the next look; -1: none is needed
    const auto sooner = [&](int64_t ms) {
        if (next < 0 || ms < next) next = ms;
    };
    if (const int64_t floor = SpeedFloorMs(); floor > 0) {
        // A data phase that moves too slowly ends although it moves.
        if (running_->moving && running_->transfer && !running_->dataEnded) {
            const int64_t left = floor - msSince(running_->floorSince);
            if (left <= 0) return Apply(running_->transfer->Cancel(true, ftp_->SlowTransferText()));
            sooner(left);
        } else {
            // The countdown starts with the data phase, which is looked for now and then.
            sooner(std::min<int64_t>(floor, 1000));
        }
    }
    if (ftp_->TimeOut > 0) {
        const int64_t patience = running_->patienceMs > 0 ? running_->patienceMs : ftp_->TimeOut;
        const int64_t left = patience - msSince(running_->lastProgress);
        if (left <= 0) {
            // The file is there whole; only the answer about its time did not come.
            if (!running_->timeCommands.empty() || running_->askingTime) return Succeed();
            if (running_->comparing) return ChecksumReply({0, "no answer in time", false});
            if (running_->transfer) return Apply(running_->transfer->Cancel(true));
            return Finish(FailureOutcome("Socket readln aborted", ErrorReason::TimedOut));
        }
        sooner(left);
    }
    if (next > 0)
        watchdog_->SetInterval(static_cast<uint32_t>(std::min<int64_t>(next, UINT32_MAX)));
}

void FtpSession::Cancel()
{
    if (!running_) return;
    if (!running_->timeCommands.empty() || running_->askingTime) return Succeed();
    if (running_->transfer && !running_->comparing) return Apply(running_->transfer->Cancel(false));
    Finish(FailureOutcome("Socket readln aborted", ErrorReason::Canceled));
}

std::string FtpSession::TakeListing(std::string_view bytes)
{
    Running& run = *running_;
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        const size_t take = end == std::string_view::npos ? bytes.size() : end;
        if (run.listingTail.size() + take > kListingLineLimit)
            return "Listing line longer than " + std::to_string(kListingLineLimit) + " bytes";
        if (end == std::string_view::npos) {
            run.listingTail.append(bytes);
            break;
        }
        if (run.listingTail.empty()) {
            TakeListingLine(bytes.substr(0, end));
        } else {
            run.listingTail.append(bytes.substr(0, end));
            TakeListingLine(run.listingTail);
            run.listingTail.clear();
        }
        bytes.remove_prefix(end + 1);
        const size_t most = run.request.maxEntries;
        if (most > 0 && run.entries.size() > most)
            return "Listing of more than " + std::to_string(most) + " entries";
    }
    return {};
}

void FtpSession::TakeListingLine(std::string_view line)
{
    Running& run = *running_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;
    if (run.machineListing) {
        TFTPListEntry parsed;
        if (mlsd::ReadLine(line, parsed) == mlsd::LineKind::Entry)
            run.entries.push_back(EntryOf(parsed));
    } else if (const std::optional<listing::Entry> entry = listing::ReadListLine(line, run.today)) {
        run.undated.See(entry->parsed, line);
        run.entries.push_back(EntryOf(entry->parsed));
    }
}

void FtpSession::EndListing()
{
    Running& run = *running_;
    // The last line may end without a line end.
    if (!run.listingTail.empty()) {
        TakeListingLine(run.listingTail);
        run.listingTail.clear();
        const size_t most = run.request.maxEntries;
        if (most > 0 && run.entries.size() > most)
            throw FTPException("Listing of more than " + std::to_string(most) + " entries",
                               ErrorReason::LineTooLong);
    }
    if (const std::string report = run.undated.Report(); !report.empty())
        ftp_->ReportStatus(1, report);
}

void FtpSession::Finish(transfer::Outcome outcome)
{
    if (!running_) return;
    watchdog_->SetEnabled(false);
    if (timesOwed_.empty()) ftp_->ListenForReplies(nullptr);
    Running& run = *running_;
    if (run.data) run.data->OnSocketEvent = nullptr;
    run.file.reset();
    if (outcome.ok) {
        try {
            if (run.target) run.target->Commit(run.localTime);
            if (run.request.operation == transfer::Operation::List) EndListing();
        } catch (const Exception& error) {
            outcome = FailureOutcome(TextOf(error), error.Reason());
        }
    }
    run.outcome = std::move(outcome);
    ended_ = std::move(running_);
    poster_->Post(kDeliverMessage, 0, 0);
}

void FtpSession::Deliver()
{
    const std::unique_ptr<Running> ended = std::move(ended_);
    if (!ended) return;
    if (ended->listed) return ended->listed(ended->outcome, ended->entries);
    if (ended->done) ended->done(ended->outcome);
}

void FtpSession::Close()
{
    Cancel();
    // QUIT reads whatever MFMT answers are still owed.
    if (!timesOwed_.empty()) {
        timesOwed_.clear();
        ftp_->ListenForReplies(nullptr);
    }
    if (!ftp_->Connected) return;
    try {
        ftp_->Disconnect();
    } catch (const std::exception&) {
    }
    open_ = false;
}

void FtpSession::CloseAtOnce()
{
    Cancel();
    timesOwed_.clear();
    ftp_->ListenForReplies(nullptr);
    if (ftp_->Connected) ftp_->LeaveAtOnce();
    open_ = false;
}
