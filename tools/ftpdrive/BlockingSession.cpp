#include "tools/ftpdrive/BlockingSession.h"

#include "tools/ftpdrive/Session.h"

#include "ftp/DownloadTarget.h"

#include <QTimer>

#include <ctime>
#include <filesystem>

namespace ftpdrive {

namespace {

transfer::Outcome OutcomeOf(const std::exception& error)
{
    transfer::Outcome outcome;
    outcome.message = error.what();
    while (!outcome.message.empty() &&
           (outcome.message.back() == '\n' || outcome.message.back() == '\r'))
        outcome.message.pop_back();
    outcome.reason = ReasonOf(error);
    // A refusal's text is the server's reply: its code decides what is worth another try.
    if (outcome.reason == ErrorReason::ServerRefused || outcome.reason == ErrorReason::ServerClosed)
        try {
            outcome.replyCode = ReplyCodeOf(outcome.message);
        } catch (const std::exception&) {
            outcome.replyCode = 0;
        }
    if (outcome.replyCode < 100 || outcome.replyCode > 599) outcome.replyCode = 0;
    return outcome;
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

// Only a time the listing gave in UTC, to the second: another one cannot be compared.
std::optional<int64_t> UtcSecondsOf(const TEntryTime& time)
{
    if (!time.known || !time.utc || !time.hasTime) return std::nullopt;
    std::tm parts{};
    parts.tm_year = time.year - 1900;
    parts.tm_mon = time.month - 1;
    parts.tm_mday = time.day;
    parts.tm_hour = time.hour;
    parts.tm_min = time.minute;
    parts.tm_sec = time.second;
    return static_cast<int64_t>(::timegm(&parts));
}

} // namespace

BlockingSession::BlockingSession(const Options& options, std::function<void()> inClear)
    : ftp_(std::make_unique<TVaskFTP>(nullptr))
{
    Configure(*ftp_, options);
    ftp_->ParseList = true;
    ftp_->OnTlsRefused = [inClear](const std::string&, bool& goOn) {
        goOn = true;
        if (inClear) inClear();
    };
}

BlockingSession::~BlockingSession() { *alive_ = false; }

void BlockingSession::Post(std::function<void()> call)
{
    QTimer::singleShot(0, [alive = std::weak_ptr<bool>(alive_), call = std::move(call)] {
        if (alive.lock()) call();
    });
}

bool BlockingSession::Idle() const { return open_ && !busy_ && !closing_; }

std::string BlockingSession::Absolute(const std::string& path) const
{
    if (path.empty()) return home_;
    if (path.front() == '/' || home_.empty()) return path;
    return home_.back() == '/' ? home_ + path : home_ + "/" + path;
}

void BlockingSession::Open(transfer::DoneHandler done)
{
    busy_ = true;
    Post([this, done] {
        transfer::Outcome outcome = transfer::Outcome::Success();
        inCall_ = true;
        try {
            ftp_->Connect();
            home_ = ftp_->CurrentDirectory();
            open_ = true;
        } catch (const std::exception& error) {
            outcome = OutcomeOf(error);
        }
        inCall_ = false;
        busy_ = false;
        done(outcome);
    });
}

bool BlockingSession::Start(const transfer::Request& request, transfer::ProgressHandler progress,
                            transfer::DoneHandler done)
{
    if (!Idle()) return false;
    busy_ = true;
    Post([this, request, progress, done] {
        if (closing_) return EndCanceled(done);
        transfer::Outcome outcome = transfer::Outcome::Success();
        inCall_ = true;
        ftp_->OnPacketRecvd = [this, progress](TComponent*) {
            if (progress) progress({ftp_->ReceivedBytes(), -1});
        };
        ftp_->OnPacketSent = [this, progress](TComponent*) {
            if (progress) progress({ftp_->SentBytes(), -1});
        };
        try {
            switch (request.operation) {
            case transfer::Operation::Get: Get(request); break;
            case transfer::Operation::Put: Put(request); break;
            case transfer::Operation::MakeDirectory:
                ftp_->MakeDirectory(Absolute(request.remotePath));
                break;
            case transfer::Operation::List: break;
            }
            if (request.operation == transfer::Operation::Get)
                outcome.bytes = ftp_->ReceivedBytes();
            if (request.operation == transfer::Operation::Put) outcome.bytes = ftp_->SentBytes();
        } catch (const std::exception& error) {
            outcome = OutcomeOf(error);
            if (closing_ && outcome.reason != ErrorReason::Canceled)
                outcome.reason = ErrorReason::Canceled;
        }
        ftp_->OnPacketRecvd = nullptr;
        ftp_->OnPacketSent = nullptr;
        inCall_ = false;
        busy_ = false;
        if (!ftp_->Connected) open_ = false;
        done(outcome);
    });
    return true;
}

// Into NAME.part, put in place only once whole; a later try goes on from the .part this run
// left, or from the file itself when asked to resume one that was there before.
void BlockingSession::Get(const transfer::Request& request)
{
    ftpfiles::DownloadTarget target(request.localPath);
    const std::string remote = Absolute(request.remotePath);
    if (request.resume && target.HasPartial()) {
        ftp_->ResumeDownload(remote, target.WritePath());
        return target.Commit();
    }
    std::error_code error;
    if (request.resume && std::filesystem::is_regular_file(target.FinalPath(), error))
        return ftp_->ResumeDownload(remote, target.FinalPath());
    ftp_->Download(remote, target.WritePath());
    target.Commit();
}

// The component has no upload that goes on from the server's length: every try sends the file
// whole.
void BlockingSession::Put(const transfer::Request& request)
{
    ftp_->Upload(request.localPath, Absolute(request.remotePath));
}

std::vector<transfer::RemoteEntry> BlockingSession::List(const std::string& path)
{
    ftp_->ChangeDirectory(Absolute(path));
    ftp_->ListDirectory();
    std::vector<transfer::RemoteEntry> entries;
    if (!ftp_->ListParser) return entries;
    for (const TFTPListEntry& entry : ftp_->ListParser->Entries)
        entries.push_back(transfer::RemoteEntry{entry.name, KindOf(entry.kind), entry.size,
                                                UtcSecondsOf(entry.modified)});
    return entries;
}

bool BlockingSession::StartList(const transfer::Request& request, transfer::ListHandler done)
{
    if (!Idle()) return false;
    busy_ = true;
    Post([this, request, done] {
        if (closing_) return EndCanceled([done](const transfer::Outcome& o) { done(o, {}); });
        transfer::Outcome outcome = transfer::Outcome::Success();
        std::vector<transfer::RemoteEntry> entries;
        inCall_ = true;
        try {
            entries = List(request.remotePath);
        } catch (const std::exception& error) {
            outcome = OutcomeOf(error);
        }
        inCall_ = false;
        busy_ = false;
        if (!ftp_->Connected) open_ = false;
        done(outcome, entries);
    });
    return true;
}

void BlockingSession::EndCanceled(const transfer::DoneHandler& done)
{
    busy_ = false;
    transfer::Outcome canceled;
    canceled.message = "canceled";
    canceled.reason = ErrorReason::Canceled;
    done(canceled);
}

void BlockingSession::Cancel()
{
    if (inCall_) ftp_->Abort();
}

void BlockingSession::Close()
{
    if (closing_) return;
    closing_ = true;
    Cancel();
    // The logout runs from the loop like everything else that waits, once the running call (if
    // any) has returned.
    Post([this] {
        if (inCall_ || !ftp_->Connected) return;
        inCall_ = true;
        try {
            ftp_->Disconnect();
        } catch (const std::exception&) {
        }
        inCall_ = false;
        open_ = false;
    });
}

} // namespace ftpdrive
