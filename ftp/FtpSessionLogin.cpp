// The session's login: the steps of TVaskFTP::Connect (FtpLogin.cpp) taken as the notifications of
// the lookup, of the control connection and of its replies come, so that the logins of many
// sessions run side by side and none of them waits inside another. The machines decide
// (LoginOperation, SetupOperation); this file does what they ask, puts their questions to the
// component's handlers, and leaves the component as a blocking Connect leaves it: the same status
// texts (passwords masked), events, properties and failures.
#include "ftp/FtpSessionLogin.h"

#include "ftp/FailureKinds.h"
#include "ftp/LogoutOperation.h"
#include "platform/SocketAddress.h"

#include <chrono>
#include <cstring>
#include <optional>

namespace {

constexpr int kLookupMessage = platform::kUserMessageBase + 211;
constexpr int kLookupAnsweredMessage = platform::kUserMessageBase + 212;
constexpr int kLoginEndedMessage = platform::kUserMessageBase + 213;
constexpr int kSecureMessage = platform::kUserMessageBase + 214;

using Clock = std::chrono::steady_clock;

transfer::Outcome Failed(const std::string& message, ErrorReason reason)
{
    transfer::Outcome outcome;
    outcome.message = message;
    outcome.reason = reason;
    const int code = LeadingReplyCode(message);
    if (code >= 100 && code <= 999) outcome.replyCode = code;
    outcome.failure = FailureKindOf(outcome.replyCode, reason);
    return outcome;
}

// A text with a colon or a bracket is an IPv6 address gone wrong ("[::1", "::1]"), never a host
// name: no resolver is asked about it.
bool CanBeAHostName(const std::string& text) { return text.find_first_of(":[]") == text.npos; }

// The host of `from` in `to`, whose port stays.
void SetHostPart(platform::SocketAddress& to, const platform::SocketAddress& from)
{
    const uint16_t port = to.port;
    to = from;
    to.port = port;
}

} // namespace

void FtpSession::BeginLogin(transfer::DoneHandler done)
{
    TVaskFTP& ftp = *ftp_;
    ftp.Canceled = false;
    if (ftp.Connected) {
        if (done) done(transfer::Outcome::Success());
        return;
    }
    login_ = std::make_unique<Login>();
    Login& login = *login_;
    login.done = std::move(done);
    login.window =
        std::make_unique<platform::NotificationWindow>([this](int message, uintptr_t, intptr_t l) {
            // The answer may come while the lookup is being asked for: it is taken from the
            // event loop.
            if (message == kLookupMessage && login_)
                login_->window->Post(kLookupAnsweredMessage, 0, l);
            if (message == kLookupAnsweredMessage) LoginLookupAnswered(l);
            if (message == kSecureMessage) LoginSecure(true);
            return intptr_t{0};
        });
    login.timer = std::make_unique<TThreadTimer>(nullptr);
    login.timer->SetEnabled(false);
    login.timer->SetOnTimer([this](TComponent*) { LoginCheckProgress(); });
    if (ftp.TimeOut > 0) {
        login.timer->SetInterval(static_cast<uint32_t>(ftp.TimeOut));
        login.timer->SetEnabled(true);
    }
    ftp.ForgetFeatures();
    ftp.ForgetTls();
    ftp.ClearInput();
    ftp.ReportStatus(8, "Connecting");
    ftp.OnControlEvent = [this](uint16_t event, uint16_t error) {
        LoginControlEvent(event, error);
    };
    LoginResolve();
}

void FtpSession::LoginProgressed()
{
    if (login_) login_->lastProgress = Clock::now();
}

void FtpSession::LoginResolve()
{
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    login.phase = Login::Phase::Resolving;
    LoginProgressed();
    ftp.ReportStatus(8, "Resolve Host");
    login.addresses.clear();
    login.attempt = 0;
    const std::string name = ftp.Proxy.empty() ? ftp.Host : ftp.Proxy;
    if (name.size() > TWirecore::kChunkSize) {
        SetHostPart(ftp.RemoteAddress, {});
        return LoginInvalidHost();
    }
    // Only the text up to a zero byte names the host, as the component reads it.
    const std::string text(name.c_str());
    if (const std::optional<platform::SocketAddress> literal =
            platform::ParseAddressLiteral(text)) {
        // An address of either family needs no lookup (and "0.0.0.0" stays the null address).
        SetHostPart(ftp.RemoteAddress, *literal);
        if (literal->IsNull()) return LoginInvalidHost();
        login.addresses.push_back(*literal);
        return LoginConnectNext();
    }
    SetHostPart(ftp.RemoteAddress, {});
    if (!CanBeAHostName(text)) return LoginInvalidHost();
    login.lookupRequest = platform::AsyncGetHostByName(login.window.get(), kLookupMessage, text,
                                                       &login.entry, sizeof login.entry);
}

void FtpSession::LoginLookupAnswered(intptr_t answer)
{
    if (!login_ || login_->phase != Login::Phase::Resolving || login_->lookupRequest == 0) return;
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    platform::CancelAsyncRequest(login.lookupRequest);
    login.lookupRequest = 0;
    if (platform::SelectError(answer) != 0) return LoginInvalidHost();
    // The any-address names no host to connect to, whoever answers it.
    for (uint32_t i = 0; i < login.entry.addressCount && i < platform::HostEntry::kMaxAddresses;
         ++i)
        if (!login.entry.addresses[i].IsNull()) login.addresses.push_back(login.entry.addresses[i]);
    if (login.addresses.empty()) return LoginInvalidHost();
    SetHostPart(ftp.RemoteAddress, login.addresses.front());
    if (ftp.OnHostResolved) ftp.OnHostResolved(&ftp);
    if (login_.get() != &login) return;
    LoginConnectNext();
}

void FtpSession::LoginInvalidHost()
{
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    // The OnInvalidHost handler gets one chance per login to name another host.
    if (!login.invalidHostAsked && ftp.OnInvalidHost) {
        login.invalidHostAsked = true;
        bool handled = false;
        ftp.OnInvalidHost(handled);
        if (login_.get() != &login) return;
        if (handled) return LoginResolve();
    }
    LoginFail("Null Remote Address", ErrorReason::NullRemoteAddress, Leaving::Unconnected);
}

void FtpSession::LoginConnectNext()
{
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    // A name with several addresses (IPv6 and IPv4, say) is tried in the resolver's order until
    // one connects; each attempt has the whole TimeOut.
    const int32_t port = ftp.Proxy.empty() ? ftp.Port : ftp.ProxyPort;
    while (login.attempt < login.addresses.size()) {
        platform::SocketAddress address = login.addresses[login.attempt++];
        address.port = platform::HostToNetwork16(static_cast<uint16_t>(port & 0xFFFF));
        login.phase = Login::Phase::Connecting;
        LoginProgressed();
        try {
            ftp.BeginConnect(address);
            return;
        } catch (const ESockError&) {
            // Not even begun (no socket of that family here): the next address.
        }
    }
    LoginConnectFailed("Connection Failed", ErrorReason::ConnectFailed);
}

void FtpSession::LoginConnectFailed(const char* message, ErrorReason reason)
{
    TVaskFTP& ftp = *ftp_;
    // The attempt is abandoned: a connection that completes later must not appear on its own.
    ftp.ReplaceSocket();
    if (reason == ErrorReason::ConnectFailed && ftp.LastError > 10000 && ftp.OnError)
        ftp.OnError(&ftp, static_cast<uint16_t>(ftp.LastError),
                    ftp.LookupErrorMessage(static_cast<uint16_t>(ftp.LastError)));
    if (ftp.OnConnectionFailed) ftp.OnConnectionFailed(&ftp);
    if (!login_) return;
    LoginFail(message, reason, Leaving::Unconnected);
}

void FtpSession::LoginControlEvent(uint16_t event, uint16_t error)
{
    if (!login_) return;
    switch (login_->phase) {
    case Login::Phase::Connecting:
        if (event != platform::kEventConnect) return;
        if (error != 0 || !ftp_->Connected) {
            ftp_->LastError = error;
            return LoginConnectNext();
        }
        return LoginConnected();
    case Login::Phase::Securing:
        if (!login_->tlsBegun) return;
        if (event == platform::kEventRead || event == platform::kEventWrite ||
            event == platform::kEventClose)
            LoginSecure(false);
        return;
    default: return;
    }
}

void FtpSession::LoginConnected()
{
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    LoginProgressed();
    ftp.replies_.Restart();
    login.use.emplace(ftp);
    // A server may repeat a password in any reply of the login, or of the logout after a failed
    // one: none of them reaches a status text unmasked.
    login.shown = ftp.OnStatus;
    ftp.OnStatus = ftp.MaskingPasswords(*login.shown);
    login.machine.emplace(ftp.LoginSettings());
    LoginApply(login.machine->Start());
}

void FtpSession::LoginListen(int owed)
{
    ftp_->ListenForReplies([this](const FtpReply& reply) { LoginReply(reply); }, owed);
}

void FtpSession::LoginApply(LoginOperation::Step step)
{
    using Do = LoginOperation::Step::Do;
    TVaskFTP& ftp = *ftp_;
    Login* login = login_.get();
    // A handler may have ended the login (Cancel, CloseAtOnce).
    const auto gone = [&] { return login_.get() != login; };
    for (;;) {
        for (const std::string& text : step.status) ftp.ReportStatus(1, text);
        switch (step.what) {
        case Do::ReadReply:
            login->phase = Login::Phase::Replies;
            return LoginListen(ftp.replies_.Owed());
        case Do::Send:
            login->phase = Login::Phase::Replies;
            // The server may have hung up while the last reply was read.
            if (!ftp.Connected) {
                step = login->machine->Reply(FtpReply::Closed());
                continue;
            }
            if (!ftp.replyListener_) LoginListen(0);
            try {
                ftp.SendWithoutWaiting(step.command);
            } catch (const Exception& error) {
                return LoginFail(error.Message(), error.Reason(), Leaving::Drop);
            }
            return;
        case Do::Secure:
            // The handshake's bytes are its own: nobody reads replies until it is done. It
            // begins from the event loop, once the reader of the reply that asked for it is
            // left, so that no read of that reader's takes them.
            login->phase = Login::Phase::Securing;
            ftp.ListenForReplies(nullptr);
            login->window->Post(kSecureMessage, 0, 0);
            return;
        case Do::AskCertificate: {
            // The handler may connect elsewhere or disconnect, which would change what the
            // component's certificate is; the question is about this one.
            login->questioned = ftp.PeerCertificate();
            if (LoginAsk({Question::Kind::Certificate, login->questioned, {}})) return;
            const bool accepted = ftp.AcceptCertificate(login->questioned);
            if (gone()) return;
            step = login->machine->Certificate(accepted, ftp.Connected);
            break;
        }
        case Do::AskClearLogin: {
            if (LoginAsk({Question::Kind::ClearLogin, {}, ftp.WithoutSecrets(step.reply)})) return;
            bool goOnInClear = true;
            if (ftp.OnTlsRefused) ftp.OnTlsRefused(ftp.WithoutSecrets(step.reply), goOnInClear);
            if (gone()) return;
            step = login->machine->ClearLogin(goOnInClear, ftp.Connected);
            break;
        }
        case Do::AskCredentials: {
            // The handler may fill in the credentials; the login goes on with whatever it leaves.
            bool handled = false;
            if (ftp.OnAuthenticationNeeded) ftp.OnAuthenticationNeeded(handled);
            if (gone()) return;
            step = login->machine->Credentials(ftp.UserID, ftp.Password);
            break;
        }
        case Do::Finish: {
            login->phase = Login::Phase::Setup;
            login->setup.emplace(SetupOperation::Settings{ftp.TlsActive(), ftp.TlsMandatory()});
            ftp.listenerLines_ = [this](const std::string& line) {
                if (login_ && login_->setup) login_->setup->Line(line);
            };
            return SetupApply(login->setup->Start());
        }
        case Do::Fail:
            if (ftp.OnConnectionFailed) ftp.OnConnectionFailed(&ftp);
            if (gone()) return;
            if (step.withoutQuit) {
                const TCertificateInfo& certificate = login->questioned;
                // Not one more byte to a server nobody trusts, not even QUIT.
                return LoginFail("Certificate of " + ftp.tlsServerName_ + " not trusted (" +
                                     certificate.Problem + "); SHA-256 fingerprint " +
                                     certificate.Fingerprint,
                                 ErrorReason::CertificateRejected, Leaving::Drop);
            }
            return LoginFail(step.failure.message, step.failure.reason, Leaving::Quit);
        }
    }
}

bool FtpSession::LoginAsk(Question question)
{
    if (!onQuestion) return false;
    Login& login = *login_;
    login.phase = Login::Phase::Asked;
    login.asked = question.kind;
    // However long the owner takes: the time-out counts from the answer.
    const std::function<void(const Question&)> ask = onQuestion;
    ask(question);
    return true;
}

bool FtpSession::Answer(bool yes)
{
    if (!login_ || login_->phase != Login::Phase::Asked) return false;
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    login.phase = Login::Phase::Replies;
    LoginProgressed();
    if (login.asked == Question::Kind::ClearLogin) {
        LoginApply(login.machine->ClearLogin(yes, ftp.Connected));
        return true;
    }
    // Accepted, it holds for the data connections of the session, as a handler's acceptance does.
    if (yes && ftp.Connected) {
        ftp.acceptedFingerprint_ = login.questioned.Fingerprint;
        ftp.ReportStatus(1, "Certificate accepted: SHA-256 " + login.questioned.Fingerprint);
    }
    LoginApply(login.machine->Certificate(yes, ftp.Connected));
    return true;
}

void FtpSession::LoginReply(const FtpReply& reply)
{
    if (!login_) return;
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    LoginProgressed();
    FtpReply fed = reply;
    if (reply.closed) {
        ftp.LastReply.clear();
        ftp.ReplyCode = 0;
    } else {
        fed.first = ftp.WithoutSecrets(reply.first);
        ftp.LastReply = fed.first;
        ftp.ReplyCode = static_cast<int16_t>(reply.code);
    }
    switch (login.phase) {
    case Login::Phase::Replies: return LoginApply(login.machine->Reply(fed));
    case Login::Phase::Setup: return SetupApply(login.setup->Reply(fed));
    case Login::Phase::Quitting: return LoginQuitEnded();
    default: return;
    }
}

void FtpSession::LoginSecure(bool begin)
{
    if (!login_ || login_->phase != Login::Phase::Securing) return;
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    if (begin == login.tlsBegun) return;
    login.tlsBegun = true;
    bool done = false;
    try {
        done = begin ? ftp.BeginTls(ftp.ControlTlsSettings()) : ftp.ContinueTls();
    } catch (const Exception& error) {
        // A handshake the server broke off is its refusal of the session.
        if (error.Reason() == ErrorReason::TlsHandshakeFailed && ftp.OnConnectionFailed)
            ftp.OnConnectionFailed(&ftp);
        if (login_.get() != &login) return;
        return LoginFail(error.Message(), error.Reason(), Leaving::Drop);
    }
    LoginProgressed();
    if (!done) return;
    // Notifications that come after the handshake are no longer its business.
    login.phase = Login::Phase::Replies;
    LoginApply(login.machine->Secured(ftp.PeerCertificate().Trusted()));
}

void FtpSession::SetupApply(const SetupOperation::Step& step)
{
    using Do = SetupOperation::Step::Do;
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    for (size_t i = 0; i < step.status.size(); ++i) {
        ftp.ReportStatus(1, step.status[i]);
        if (i == 0 && step.dataInClear && ftp.OnTlsWarning) {
            ftp.OnTlsWarning(TTlsWarning::DataInClear);
            if (login_.get() != &login) return;
        }
    }
    switch (step.what) {
    case Do::Send:
        if (!ftp.Connected) return SetupApply(login.setup->Reply(FtpReply::Closed()));
        if (!ftp.replyListener_) LoginListen(0);
        try {
            ftp.SendWithoutWaiting(step.command);
        } catch (const Exception& error) {
            return LoginFail(error.Message(), error.Reason(), Leaving::Drop);
        }
        return;
    case Do::Fail:
        if (ftp.OnConnectionFailed) ftp.OnConnectionFailed(&ftp);
        if (login_.get() != &login) return;
        return LoginFail(step.failure.message, step.failure.reason, Leaving::Quit);
    case Do::Finish: break;
    }
    // Before OnConnect, so that its handler already reads names in the session's charset.
    ftp.features_ = login.setup->Features();
    ftp.utf8_ = login.setup->Utf8();
    ftp.dataProtected_ = login.setup->DataProtected();
    ftp.mlstFactsAsked_ = login.setup->MlstFactsAsked();
    ftp.ListenForReplies(nullptr);
    ftp.listenerLines_ = nullptr;
    // The handler's own commands are none of the login's business.
    ftp.OnStatus = std::move(*login.shown);
    login.shown.reset();
    LoginEnd(transfer::Outcome::Success());
}

void FtpSession::LoginCheckProgress()
{
    if (!login_) return;
    // The owner may take its time to answer.
    if (login_->phase == Login::Phase::Asked) return LoginProgressed();
    const bool quitting = login_->phase == Login::Phase::Quitting;
    const int64_t limit = quitting ? ReplyReader::kQuitGraceMs : ftp_->TimeOut;
    if (limit <= 0) return login_->timer->SetEnabled(false);
    const int64_t idle =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - login_->lastProgress)
            .count();
    if (idle < limit) return login_->timer->SetInterval(static_cast<uint32_t>(limit - idle));
    TVaskFTP& ftp = *ftp_;
    switch (login_->phase) {
    case Login::Phase::Resolving:
        return LoginFail("Host Lookup Timed Out", ErrorReason::LookupTimedOut,
                         Leaving::Unconnected);
    case Login::Phase::Connecting:
        // The next address starts afresh.
        if (login_->attempt < login_->addresses.size()) {
            ftp.ReplaceSocket();
            return LoginConnectNext();
        }
        return LoginConnectFailed("Connection Timed out", ErrorReason::ConnectTimedOut);
    case Login::Phase::Securing:
        // Whatever ends the handshake early leaves a stream that is neither plain nor encrypted.
        return LoginFail("TLS handshake timed out", ErrorReason::TimedOut, Leaving::Drop);
    case Login::Phase::Asked:
    case Login::Phase::Replies:
    case Login::Phase::Setup:
        return LoginFail("Socket readln aborted", ErrorReason::TimedOut, Leaving::Drop);
    case Login::Phase::Quitting: return LoginQuitEnded();
    }
}

void FtpSession::CancelLogin()
{
    if (!login_) return;
    switch (login_->phase) {
    case Login::Phase::Resolving:
        return LoginFail("Host Lookup Canceled", ErrorReason::LookupCanceled, Leaving::Unconnected);
    case Login::Phase::Connecting:
        return LoginConnectFailed("Connection Canceled", ErrorReason::ConnectCanceled);
    case Login::Phase::Securing:
        return LoginFail("TLS handshake canceled", ErrorReason::Canceled, Leaving::Drop);
    case Login::Phase::Asked:
        // Not one more byte to a server whose certificate nobody accepted, not even QUIT.
        if (login_->asked == Question::Kind::Certificate)
            return LoginFail("Socket readln aborted", ErrorReason::Canceled, Leaving::Drop);
        [[fallthrough]];
    case Login::Phase::Replies:
    case Login::Phase::Setup:
        // The user who cancelled the login is not kept waiting for the server's goodbye: QUIT
        // goes out and the connection closes at once.
        return LoginFail("Socket readln aborted", ErrorReason::Canceled, Leaving::AtOnce);
    case Login::Phase::Quitting:
        ftp_->ListenForReplies(nullptr);
        if (ftp_->Connected) ftp_->DropSession();
        return LoginQuitEnded();
    }
}

void FtpSession::LoginFail(const std::string& message, ErrorReason reason, Leaving leaving)
{
    TVaskFTP& ftp = *ftp_;
    Login& login = *login_;
    const transfer::Outcome outcome = Failed(message, reason);
    ftp.listenerLines_ = nullptr;
    if (leaving != Leaving::Quit) ftp.ListenForReplies(nullptr);
    switch (leaving) {
    case Leaving::Unconnected: return LoginEnd(outcome);
    case Leaving::AtOnce: ftp.LeaveAtOnce(); break;
    case Leaving::Drop: ftp.DropSession(); break;
    case Leaving::Quit: {
        if (!ftp.Connected) break;
        // As Disconnect: QUIT goes out at once, and its answer (after whatever is still owed) is
        // awaited a second at most.
        login.phase = Login::Phase::Quitting;
        login.failure = outcome;
        ftp.ReportStatus(1, LogoutOperation().Start().status);
        ftp.ListParser.reset();
        ftp.Vendor = vendorAutoDetect;
        ftp.ForgetFeatures();
        ftp.ForgetTls();
        ftp.ReplyCode = 0;
        ftp.LastReply.clear();
        // The reply that failed the login may still be being read: its listener goes on.
        if (!ftp.replyListener_) LoginListen(0);
        LoginProgressed();
        login.timer->SetInterval(static_cast<uint32_t>(ReplyReader::kQuitGraceMs));
        login.timer->SetEnabled(true);
        try {
            ftp.SendWithoutWaiting("QUIT");
        } catch (const std::exception&) {
            return LoginQuitEnded();
        }
        return;
    }
    }
    ftp.ReportStatus(1, "Disconnected");
    LoginEnd(outcome);
}

void FtpSession::LoginQuitEnded()
{
    if (!login_ || login_->phase != Login::Phase::Quitting) return;
    TVaskFTP& ftp = *ftp_;
    ftp.ListenForReplies(nullptr);
    try {
        if (ftp.Connected) ftp.TWirecore::Disconnect();
    } catch (const std::exception&) {
    }
    ftp.ReportStatus(1, "Disconnected");
    LoginEnd(login_->failure);
}

void FtpSession::LoginEnd(const transfer::Outcome& outcome)
{
    const std::unique_ptr<Login> login = std::move(login_);
    if (!login) return;
    TVaskFTP& ftp = *ftp_;
    ftp.OnControlEvent = nullptr;
    ftp.listenerLines_ = nullptr;
    login->timer->SetEnabled(false);
    if (login->shown) ftp.OnStatus = std::move(*login->shown);
    login->use.reset();
    // OnConnect and the caller are told from the event loop: whoever ended the login (the reader
    // of the last reply, Cancel) is left first, so that a handler may start what it likes.
    if (!loginPoster_) {
        loginPoster_ = std::make_unique<platform::NotificationWindow>(
            [this](int message, uintptr_t, intptr_t) {
                if (message != kLoginEndedMessage || !loginEnded_) return intptr_t{0};
                const std::function<void()> ended = std::move(loginEnded_);
                loginEnded_ = nullptr;
                ended();
                return intptr_t{0};
            });
    }
    loginEnded_ = [this, outcome, done = std::move(login->done)] {
        if (outcome.ok && ftp_->OnConnect) ftp_->OnConnect(ftp_.get());
        if (done) done(outcome);
    };
    loginPoster_->Post(kLoginEndedMessage, 0, 0);
}
