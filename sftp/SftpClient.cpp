#include "sftp/SftpClientImpl.h"

#include "platform/SocketErrors.h"
#include "platform/Sockets.h"
#include "sftp/Listing.h"

#include <algorithm>
#include <unistd.h>

namespace sftp {

LocalFd::~LocalFd()
{
    if (fd >= 0) ::close(fd);
}

transfer::Outcome Failure(const std::string& message, ErrorReason reason)
{
    transfer::Outcome outcome;
    outcome.message = message;
    outcome.reason = reason;
    return outcome;
}

SftpClient::Impl::Impl()
{
    transport.OnData = [this](std::string_view bytes) { OnData(bytes); };
    transport.OnWritable = [this] { Flush(); };
    transport.OnFailed = [this](const transfer::Outcome& outcome) {
        Broken(outcome.message, outcome.reason);
    };
    connectTimer.setSingleShot(true);
    QObject::connect(&connectTimer, &QTimer::timeout, &context, [this] {
        Broken("The connection could not be made in time", ErrorReason::ConnectTimedOut);
    });
    keepAliveTimer.setSingleShot(true);
    keepAliveTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&keepAliveTimer, &QTimer::timeout, &context, [this] { KeepAlive(); });
}

SftpClient::Impl::~Impl()
{
    *alive = false;
    if (socket != platform::kNoSocket) {
        platform::AsyncSelect(socket, window.get(), 0, 0);
        platform::CloseSocket(socket);
    }
}

void SftpClient::Impl::Connected(uint16_t error)
{
    connectTimer.stop();
    platform::AsyncSelect(socket, window.get(), 0, 0);
    if (error != 0) {
        Broken("The connection to the server failed (socket error " + std::to_string(error) + ")",
               ErrorReason::ConnectFailed);
        return;
    }
    const platform::SocketHandle taken = std::exchange(socket, platform::kNoSocket);
    transport.Start(taken, options, [this](const transfer::Outcome& outcome) {
        if (!outcome.ok) {
            Broken(outcome.message, outcome.reason);
            return;
        }
        codec.Start();
        transport.ExpectProgress(true);
        Flush();
    });
}

void SftpClient::Impl::Flush()
{
    while (!codec.Outgoing().empty()) {
        const size_t taken = transport.Write(codec.Outgoing());
        if (taken == 0) break;
        codec.Sent(taken);
    }
    transport.ExpectProgress(codec.InFlight() > 0 || state == State::Connecting);
}

void SftpClient::Impl::OnData(std::string_view bytes)
{
    const std::weak_ptr<bool> token = alive;
    try {
        codec.Feed(bytes);
        while (auto reply = codec.Next()) {
            if (reply->type == PacketType::Version) {
                state = State::Ready;
                BecameIdle();
                if (auto done = std::exchange(connected, nullptr))
                    done(transfer::Outcome::Success());
                if (token.expired()) return;
                continue;
            }
            const auto found = handlers.find(reply->id);
            if (found == handlers.end()) continue;
            Handler handler = std::move(found->second);
            handlers.erase(found);
            if (handler) handler(*reply);
            if (token.expired() || state == State::Closed) return;
        }
    } catch (const ProtocolError& error) {
        Broken(error.Message(), error.Reason());
        return;
    }
    Flush();
}

bool SftpClient::Impl::Begin(Done end)
{
    if (state != State::Ready || running) return false;
    running = std::move(end);
    keepAliveTimer.stop();
    return true;
}

void SftpClient::Impl::Finish(const transfer::Outcome& outcome)
{
    // Replies still owed to this operation find no handler and are dropped.
    for (auto& [id, handler] : handlers) handler = nullptr;
    cancel = nullptr;
    if (auto end = std::exchange(running, nullptr)) {
        BecameIdle();
        // Always from the event loop: never inside the call that started the operation.
        QTimer::singleShot(0, &context, [end, outcome] { end(outcome); });
    }
}

void SftpClient::Impl::BecameIdle()
{
    lastOperation = lastRequest = std::chrono::steady_clock::now();
    ArmKeepAlive();
}

void SftpClient::Impl::ArmKeepAlive()
{
    keepAliveTimer.stop();
    if (options.keepAliveSeconds <= 0 || state != State::Ready || running) return;
    const auto due = lastRequest + std::chrono::seconds(options.keepAliveSeconds);
    if (options.keepAliveLimitSeconds > 0 &&
        due >= lastOperation + std::chrono::seconds(options.keepAliveLimitSeconds))
        return;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    // At most a day at a time: a later one is set again when the timer comes.
    keepAliveTimer.start(static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 86'400'000)));
}

void SftpClient::Impl::KeepAlive()
{
    if (state != State::Ready || running) return;
    // A timer may fire a little early: not due yet, it is set again for the rest.
    if (std::chrono::steady_clock::now() <
        lastRequest + std::chrono::seconds(options.keepAliveSeconds))
        return ArmKeepAlive();
    // An SFTP request rather than an SSH-level message: it keeps the server's SFTP side busy
    // too (some servers time that out on their own), and its answer, awaited under the time-out
    // rule, tells a connection that died while idle. Nothing is done with what it says.
    Request(
        PacketType::Realpath, [](uint32_t id) { return EncodeRealpath(id, "."); }, [](Reply&) {});
    Flush();
    lastRequest = std::chrono::steady_clock::now();
    ArmKeepAlive();
}

void SftpClient::Impl::FinishStatus(const Reply& reply, const std::string& what)
{
    if (reply.type == PacketType::Status && reply.status == StatusCode::Ok) {
        Finish(transfer::Outcome::Success());
        return;
    }
    auto outcome =
        Failure(what + ": " + (reply.message.empty() ? StatusText(reply.status) : reply.message),
                ErrorReason::ServerRefused);
    outcome.replyCode = static_cast<int>(reply.status);
    Finish(outcome);
}

void SftpClient::Impl::Broken(const std::string& message, ErrorReason reason)
{
    if (state == State::Closed) return;
    state = State::Closed;
    connectTimer.stop();
    keepAliveTimer.stop();
    transport.Close();
    handlers.clear();
    codec.Reset();
    const auto outcome = Failure(message, reason);
    if (auto done = std::exchange(connected, nullptr)) {
        QTimer::singleShot(0, &context, [done, outcome] { done(outcome); });
    }
    Finish(outcome);
}

void SftpClient::Impl::CloseHandleThenFinish(const std::string& handle, transfer::Outcome outcome)
{
    Request(
        PacketType::Close, [&](uint32_t id) { return EncodeClose(id, handle); },
        [this, outcome](Reply& reply) mutable {
            if (outcome.ok && reply.status != StatusCode::Ok) {
                outcome =
                    Failure("Closing the remote file failed: " +
                                (reply.message.empty() ? StatusText(reply.status) : reply.message),
                            ErrorReason::TransferIncomplete);
                outcome.replyCode = static_cast<int>(reply.status);
            }
            Finish(outcome);
        });
    Flush();
}

SftpClient::SftpClient() : impl_(std::make_unique<Impl>()) {}

SftpClient::~SftpClient() = default;

void SftpClient::Connect(const platform::SocketAddress& address, ConnectOptions options, Done done)
{
    Impl& d = *impl_;
    d.options = std::move(options);
    d.connected = std::move(done);
    d.state = Impl::State::Connecting;
    d.window = std::make_unique<platform::NotificationWindow>(
        [&d](int, uintptr_t, intptr_t lParam) -> intptr_t {
            if (platform::SelectEvent(lParam) == platform::kEventConnect)
                d.Connected(platform::SelectError(lParam));
            return 0;
        });
    d.socket = platform::CreateStreamSocket(address.family);
    platform::SocketAddress peer = address;
    peer.port = platform::HostToNetwork16(d.options.port);
    if (d.socket == platform::kNoSocket ||
        platform::AsyncSelect(d.socket, d.window.get(), platform::kSocketMessage,
                              platform::kStreamEventMask) != 0 ||
        (platform::Connect(d.socket, peer) != 0 &&
         platform::LastSocketError() != platform::kErrWouldBlock)) {
        QTimer::singleShot(0, &d.context, [&d] {
            d.Broken("No socket could be had for the connection", ErrorReason::ConnectFailed);
        });
        return;
    }
    if (d.options.timeoutMs > 0) d.connectTimer.start(d.options.timeoutMs);
}

bool SftpClient::Idle() const { return impl_->state == Impl::State::Ready && !impl_->running; }

namespace {

// OPENDIR, then READDIR until the end, then CLOSE. Its requests' handlers keep it alive, and
// nothing keeps them: once the operation ends, it goes.
class DirectoryListing : public std::enable_shared_from_this<DirectoryListing> {
public:
    DirectoryListing(SftpClient::Impl& client,
                     std::shared_ptr<std::vector<transfer::RemoteEntry>> entries)
        : client_(client), entries_(std::move(entries))
    {
    }

    void Start(const std::string& directory)
    {
        directory_ = directory;
        client_.Request(
            PacketType::Opendir, [&](uint32_t id) { return EncodeOpendir(id, directory_); },
            [self = shared_from_this()](Reply& reply) { self->Opened(reply); });
    }

private:
    void Opened(const Reply& reply)
    {
        if (reply.type != PacketType::Handle) {
            client_.FinishStatus(reply, "Cannot list " + directory_);
            return;
        }
        handle_ = reply.handle;
        client_.cancel = [weak = weak_from_this()] {
            if (auto self = weak.lock(); self && !self->canceled_) {
                self->canceled_ = true;
                self->client_.CloseHandleThenFinish(self->handle_,
                                                    Failure("Canceled", ErrorReason::Canceled));
            }
        };
        ReadNext();
    }

    void ReadNext()
    {
        client_.Request(
            PacketType::Readdir, [&](uint32_t id) { return EncodeReaddir(id, handle_); },
            [self = shared_from_this()](Reply& reply) { self->Read(reply); });
    }

    void Read(const Reply& reply)
    {
        if (canceled_) return;
        if (reply.type == PacketType::Name) {
            try {
                AppendEntries(reply.names, *entries_);
            } catch (const ProtocolError& error) {
                entries_->clear();
                client_.Broken(error.Message(), error.Reason());
                return;
            }
            ReadNext();
            return;
        }
        auto outcome = transfer::Outcome::Success();
        if (reply.status != StatusCode::Eof) {
            entries_->clear();
            outcome =
                Failure("Cannot list " + directory_ + ": " +
                            (reply.message.empty() ? StatusText(reply.status) : reply.message),
                        ErrorReason::ServerRefused);
            outcome.replyCode = static_cast<int>(reply.status);
        }
        canceled_ = true; // closing: too late for a Cancel
        for (size_t i = 0; outcome.ok && i < entries_->size(); ++i)
            if ((*entries_)[i].kind == transfer::RemoteEntry::Kind::Link) links_.push_back(i);
        if (links_.empty()) {
            client_.CloseHandleThenFinish(handle_, outcome);
            return;
        }
        // The links are asked about while the handle closes. A Cancel meanwhile ends the
        // listing at once: the answers still owed are dropped.
        client_.cancel = [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->entries_->clear();
                self->client_.Finish(Failure("Canceled", ErrorReason::Canceled));
            }
        };
        ++waiting_;
        client_.Request(
            PacketType::Close, [&](uint32_t id) { return EncodeClose(id, handle_); },
            [self = shared_from_this()](Reply& closed) {
                --self->waiting_;
                if (closed.status != StatusCode::Ok) {
                    self->outcome_ = Failure(
                        "Closing the remote directory failed: " +
                            (closed.message.empty() ? StatusText(closed.status) : closed.message),
                        ErrorReason::TransferIncomplete);
                    self->outcome_.replyCode = static_cast<int>(closed.status);
                }
                self->Settle();
            });
        AskLinks();
    }

    // STAT for each link, kRequestsInFlight at a time.
    void AskLinks()
    {
        while (nextLink_ < links_.size() && waiting_ < SftpClient::kRequestsInFlight) {
            const size_t index = links_[nextLink_++];
            const std::string& name = (*entries_)[index].name;
            const std::string path =
                directory_.back() == '/' ? directory_ + name : directory_ + "/" + name;
            ++waiting_;
            client_.Request(
                PacketType::Stat, [&](uint32_t id) { return EncodeStat(id, path); },
                [self = shared_from_this(), index](Reply& target) {
                    --self->waiting_;
                    // A link that leads nowhere, or where the server does not let us look,
                    // stays a link.
                    if (target.type == PacketType::Attrs)
                        ResolveLink((*self->entries_)[index], target.attributes);
                    self->AskLinks();
                    self->Settle();
                });
        }
    }

    void Settle()
    {
        if (waiting_ > 0 || nextLink_ < links_.size()) return;
        client_.Finish(outcome_);
    }

    SftpClient::Impl& client_;
    std::shared_ptr<std::vector<transfer::RemoteEntry>> entries_;
    std::string directory_;
    std::string handle_;
    bool canceled_ = false;     // or ended: no more requests
    std::vector<size_t> links_; // the entries that are links
    size_t nextLink_ = 0;
    size_t waiting_ = 0; // answers owed: the CLOSE and the STATs in flight
    transfer::Outcome outcome_ = transfer::Outcome::Success();
};

} // namespace

bool SftpClient::List(const std::string& path, transfer::ListHandler done)
{
    Impl& d = *impl_;
    auto entries = std::make_shared<std::vector<transfer::RemoteEntry>>();
    if (!d.Begin([done, entries](const transfer::Outcome& outcome) { done(outcome, *entries); }))
        return false;
    std::make_shared<DirectoryListing>(d, entries)->Start(path.empty() ? "." : path);
    d.Flush();
    return true;
}

namespace {

// A command that is one request answered by STATUS.
template <typename Encode>
bool Command(SftpClient::Impl& d, PacketType type, Encode&& encode, const std::string& what,
             SftpClient::Done done)
{
    if (!d.Begin(std::move(done))) return false;
    d.Request(type, std::forward<Encode>(encode),
              [&d, what](Reply& reply) { d.FinishStatus(reply, what); });
    d.Flush();
    return true;
}

} // namespace

bool SftpClient::MakeDirectory(const std::string& path, Done done)
{
    return Command(
        *impl_, PacketType::Mkdir, [&](uint32_t id) { return EncodeMkdir(id, path); },
        "Cannot make directory " + path, std::move(done));
}

bool SftpClient::RemoveDirectory(const std::string& path, Done done)
{
    return Command(
        *impl_, PacketType::Rmdir, [&](uint32_t id) { return EncodeRmdir(id, path); },
        "Cannot remove directory " + path, std::move(done));
}

bool SftpClient::Remove(const std::string& path, Done done)
{
    return Command(
        *impl_, PacketType::Remove, [&](uint32_t id) { return EncodeRemove(id, path); },
        "Cannot delete " + path, std::move(done));
}

bool SftpClient::Rename(const std::string& from, const std::string& to, Done done)
{
    return Command(
        *impl_, PacketType::Rename, [&](uint32_t id) { return EncodeRename(id, from, to); },
        "Cannot rename " + from, std::move(done));
}

bool SftpClient::SetModified(const std::string& path, int64_t modifiedUtc, Done done)
{
    Attributes times;
    times.atime = static_cast<uint32_t>(modifiedUtc);
    times.mtime = static_cast<uint32_t>(modifiedUtc);
    return Command(
        *impl_, PacketType::Setstat, [&](uint32_t id) { return EncodeSetstat(id, path, times); },
        "Cannot set the time of " + path, std::move(done));
}

bool SftpClient::Stat(const std::string& path, AttributesDone done)
{
    Impl& d = *impl_;
    auto result = std::make_shared<Attributes>();
    if (!d.Begin([done, result](const transfer::Outcome& outcome) { done(outcome, *result); }))
        return false;
    d.Request(
        PacketType::Stat, [&](uint32_t id) { return EncodeStat(id, path); },
        [&d, result, path](Reply& reply) {
            if (reply.type == PacketType::Attrs) {
                *result = reply.attributes;
                d.Finish(transfer::Outcome::Success());
                return;
            }
            d.FinishStatus(reply, "Cannot look at " + path);
        });
    d.Flush();
    return true;
}

bool SftpClient::RealPath(const std::string& path, PathDone done)
{
    Impl& d = *impl_;
    auto result = std::make_shared<std::string>();
    if (!d.Begin([done, result](const transfer::Outcome& outcome) { done(outcome, *result); }))
        return false;
    d.Request(
        PacketType::Realpath, [&](uint32_t id) { return EncodeRealpath(id, path); },
        [&d, result, path](Reply& reply) {
            if (reply.type == PacketType::Name) {
                *result = reply.names.front().name;
                d.Finish(transfer::Outcome::Success());
                return;
            }
            d.FinishStatus(reply, "Cannot resolve " + path);
        });
    d.Flush();
    return true;
}

bool SftpClient::Download(const std::string& remotePath, const std::string& localPath,
                          uint64_t offset, transfer::ProgressHandler progress, Done done)
{
    if (!impl_->Begin(std::move(done))) return false;
    return impl_->StartDownload(remotePath, localPath, offset, std::move(progress));
}

bool SftpClient::Upload(const std::string& localPath, const std::string& remotePath,
                        uint64_t offset, transfer::ProgressHandler progress, Done done)
{
    if (!impl_->Begin(std::move(done))) return false;
    return impl_->StartUpload(localPath, remotePath, offset, std::move(progress));
}

void SftpClient::Cancel()
{
    Impl& d = *impl_;
    if (!d.running) return;
    if (auto cancel = std::exchange(d.cancel, nullptr)) {
        cancel();
        return;
    }
    d.Finish(Failure("Canceled", ErrorReason::Canceled));
}

void SftpClient::Close()
{
    // A connect under way or a running operation ends Canceled.
    impl_->Broken("Canceled", ErrorReason::Canceled);
}

SshTransport& SftpClient::Transport() { return impl_->transport; }

const SshTransport& SftpClient::Transport() const { return impl_->transport; }

} // namespace sftp
