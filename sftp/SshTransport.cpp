#include "sftp/SshTransportImpl.h"

#include "platform/Sockets.h"

#include <algorithm>

namespace sftp {

namespace {

// One pass reads at most this much before it lets the event loop run (the socket stays readable
// and notifies again).
constexpr size_t kReadPerPass = 8 * 1024 * 1024;
constexpr size_t kReadChunk = 256 * 1024;
// The most one Write hands libssh; more waits for the socket to take what it has.
constexpr size_t kWritePerCall = 256 * 1024;

} // namespace

SshTransport::Impl::LoadedKey::~LoadedKey()
{
    if (key) ssh_key_free(key);
}

SshTransport::Impl::~Impl()
{
    *alive = false;
    if (keyLoader.joinable()) keyLoader.join();
    readable.reset();
    writable.reset();
    if (privateKey) ssh_key_free(privateKey);
    if (channel) ssh_channel_free(channel);
    if (session) {
        ssh_free(session); // closes the socket once libssh has it
    } else if (socket != platform::kNoSocket) {
        platform::CloseSocket(socket);
    }
}

std::string SshTransport::Impl::LibraryError() const
{
    const char* text = session ? ssh_get_error(session) : nullptr;
    return text && *text ? text : "unknown error";
}

void SshTransport::Impl::Later(std::function<void()> call)
{
    QTimer::singleShot(0, &context, std::move(call));
}

void SshTransport::Impl::Fail(const std::string& message, ErrorReason reason)
{
    if (stage == Stage::Ended) return;
    const bool wasOpen = stage == Stage::Open;
    stage = Stage::Ended;
    timer.stop();
    if (readable) readable->setEnabled(false);
    if (writable) writable->setEnabled(false);
    transfer::Outcome outcome;
    outcome.message = message;
    outcome.reason = reason;
    Done tell = wasOpen ? owner.OnFailed : std::exchange(ready, nullptr);
    if (tell) tell(outcome);
}

void SshTransport::Impl::WatchSocket()
{
    if (stage == Stage::Ended) return;
    readable->setEnabled(stage != Stage::AwaitingDecision);
    writable->setEnabled((ssh_get_poll_flags(session) & SSH_WRITE_PENDING) != 0);
}

void SshTransport::Impl::CheckTimeOut()
{
    if (stage == Stage::Ended || stage == Stage::AwaitingDecision || !expecting) return;
    if (options.timeoutMs <= 0) return;
    const auto idle = std::chrono::steady_clock::now() - lastProgress;
    if (idle >= std::chrono::milliseconds(options.timeoutMs))
        Fail("The server sent nothing for " + std::to_string(options.timeoutMs / 1000) + " seconds",
             ErrorReason::TimedOut);
}

bool SshTransport::Impl::ReadAvailable()
{
    const std::weak_ptr<bool> token = alive;
    size_t total = 0;
    while (total < kReadPerPass) {
        const int count = ssh_channel_read_nonblocking(channel, buffer.data(),
                                                       static_cast<uint32_t>(buffer.size()), 0);
        if (count == 0 || count == SSH_AGAIN) break;
        if (count == SSH_EOF) {
            Fail("The server closed the SFTP channel", ErrorReason::ServerClosed);
            return false;
        }
        if (count < 0) {
            Fail("The SSH connection failed: " + LibraryError(), ErrorReason::ServerClosed);
            return false;
        }
        total += static_cast<size_t>(count);
        Progress();
        if (owner.OnData) owner.OnData(std::string_view(buffer.data(), count));
        if (token.expired() || stage != Stage::Open) return false;
    }
    return true;
}

bool SshTransport::Impl::Step()
{
    int rc = SSH_OK;
    switch (stage) {
    case Stage::KeyExchange:
        rc = ssh_connect(session);
        if (rc == SSH_AGAIN) return false;
        if (rc != SSH_OK) {
            Fail("The SSH handshake failed: " + LibraryError(), ErrorReason::ConnectFailed);
            return false;
        }
        Progress();
        if (!CheckHostKey()) return false;
        stage = Stage::Authenticating;
        return true;
    case Stage::Authenticating:
        if (!Authenticate()) return false;
        Progress();
        channel = ssh_channel_new(session);
        if (!channel) {
            Fail("No SSH channel: " + LibraryError(), ErrorReason::ConnectFailed);
            return false;
        }
        stage = Stage::OpeningChannel;
        return true;
    case Stage::OpeningChannel:
        rc = ssh_channel_open_session(channel);
        if (rc == SSH_AGAIN) return false;
        if (rc != SSH_OK) {
            Fail("The server refused a session channel: " + LibraryError(),
                 ErrorReason::ServerRefused);
            return false;
        }
        Progress();
        stage = Stage::RequestingSubsystem;
        return true;
    case Stage::RequestingSubsystem:
        rc = ssh_channel_request_subsystem(channel, "sftp");
        if (rc == SSH_AGAIN) return false;
        if (rc != SSH_OK) {
            Fail("The server offers no SFTP: " + LibraryError(), ErrorReason::ServerRefused);
            return false;
        }
        Progress();
        stage = Stage::Open;
        if (auto tell = std::exchange(ready, nullptr)) tell(transfer::Outcome::Success());
        return false;
    default: return false;
    }
}

void SshTransport::Impl::Pump()
{
    if (pumping || stage == Stage::Ended || stage == Stage::Idle) return;
    const std::weak_ptr<bool> token = alive;
    pumping = true;
    while (stage != Stage::Open && Step() && !token.expired()) {
    }
    if (token.expired()) return;
    pumping = false;
    if (stage == Stage::Open) {
        if (ssh_get_poll_flags(session) & SSH_WRITE_PENDING) ssh_blocking_flush(session, 0);
        if (!ReadAvailable()) {
            if (!token.expired()) WatchSocket();
            return;
        }
        if (owner.OnWritable) owner.OnWritable();
        if (token.expired()) return;
    }
    WatchSocket();
}

SshTransport::SshTransport() : impl_(std::make_unique<Impl>(*this)) {}

SshTransport::~SshTransport() = default;

void SshTransport::Start(platform::SocketHandle socket, ConnectOptions options, Done ready)
{
    Impl& d = *impl_;
    d.socket = socket;
    d.options = std::move(options);
    d.ready = std::move(ready);
    d.buffer.resize(kReadChunk);
    d.Progress();
    d.session = ssh_new();
    if (!d.session) {
        d.Later([&d] { d.Fail("libssh could not start a session", ErrorReason::ConnectFailed); });
        return;
    }
    const int no = 0;
    const int yes = 1;
    int fd = socket;
    const unsigned int port = d.options.port;
    ssh_options_set(d.session, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(d.session, SSH_OPTIONS_HOST, d.options.host.c_str());
    ssh_options_set(d.session, SSH_OPTIONS_PORT, &port);
    if (!d.options.user.empty())
        ssh_options_set(d.session, SSH_OPTIONS_USER, d.options.user.c_str());
    ssh_options_set(d.session, SSH_OPTIONS_NODELAY, &yes);
    // Known keys: ours as libssh's "user" file, the user's own as its "global" one, so that both
    // are read and a key is accepted when either knows it. A file not given is /dev/null.
    const std::string trust = d.options.trustFile.empty() ? "/dev/null" : d.options.trustFile;
    const std::string known =
        d.options.userKnownHosts.empty() ? "/dev/null" : d.options.userKnownHosts;
    ssh_options_set(d.session, SSH_OPTIONS_KNOWNHOSTS, trust.c_str());
    ssh_options_set(d.session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, known.c_str());
    ssh_options_set(d.session, SSH_OPTIONS_FD, &fd);
    ssh_set_blocking(d.session, 0);

    d.readable = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    d.writable = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
    d.readable->setEnabled(false);
    d.writable->setEnabled(false);
    QObject::connect(d.readable.get(), &QSocketNotifier::activated, &d.context, [&d] { d.Pump(); });
    QObject::connect(d.writable.get(), &QSocketNotifier::activated, &d.context, [&d] { d.Pump(); });
    QObject::connect(&d.timer, &QTimer::timeout, &d.context, [&d] { d.CheckTimeOut(); });
    if (d.options.timeoutMs > 0) d.timer.start(std::clamp(d.options.timeoutMs / 4, 10, 1000));
    d.stage = Impl::Stage::KeyExchange;
    d.Later([&d] { d.Pump(); });
}

size_t SshTransport::Write(std::string_view bytes)
{
    Impl& d = *impl_;
    if (d.stage != Impl::Stage::Open || bytes.empty()) return 0;
    // What libssh could not send yet stays in its buffer: nothing more until that is gone, so
    // that memory stays bounded by the socket's pace.
    if (ssh_get_poll_flags(d.session) & SSH_WRITE_PENDING) {
        d.writable->setEnabled(true);
        return 0;
    }
    const size_t window = ssh_channel_window_size(d.channel);
    const size_t count = std::min({bytes.size(), window, kWritePerCall});
    if (count == 0) return 0; // the server's window adjustment arrives as a read
    const int written = ssh_channel_write(d.channel, bytes.data(), static_cast<uint32_t>(count));
    if (written < 0) {
        const std::string error = d.LibraryError();
        d.Later([&d, error] {
            d.Fail("The SSH connection failed: " + error, ErrorReason::ServerClosed);
        });
        return 0;
    }
    d.Progress();
    d.WatchSocket();
    return static_cast<size_t>(written);
}

void SshTransport::ExpectProgress(bool on)
{
    if (on && !impl_->expecting) impl_->Progress();
    impl_->expecting = on;
}

int64_t SshTransport::QuietMs() const
{
    if (!impl_->expecting || impl_->stage == Impl::Stage::Ended) return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 impl_->lastProgress)
        .count();
}

void SshTransport::Close()
{
    Impl& d = *impl_;
    if (d.stage == Impl::Stage::Ended) return;
    d.stage = Impl::Stage::Ended;
    d.timer.stop();
    d.readable.reset();
    d.writable.reset();
    if (d.channel) {
        ssh_channel_close(d.channel);
        ssh_channel_free(d.channel);
        d.channel = nullptr;
    }
    if (d.session) ssh_disconnect(d.session);
}

const HostKey& SshTransport::ServerKey() const { return impl_->key; }

std::string SshTransport::Cipher() const
{
    const char* cipher = impl_->session ? ssh_get_cipher_out(impl_->session) : nullptr;
    return cipher ? cipher : "";
}

} // namespace sftp
