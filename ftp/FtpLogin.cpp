// Login and logout: the loops around their machines (LoginOperation, SetupOperation,
// LogoutOperation), and what the session does for them on the control connection.
#include "ftp/LogoutOperation.h"
#include "ftp/SetupOperation.h"
#include "ftp/VaskFtp.h"
#include "platform/ScopedGuards.h"

#include <cstdint>
#include <functional>
#include <optional>

// The passwords are read as they are when each text goes out, since an OnAuthenticationNeeded
// handler may fill one in halfway.
TOnStatus TVaskFTP::MaskingPasswords(TOnStatus shown)
{
    return [this, shown](TComponent* sender, const std::string& text) {
        LastStatus = WithoutSecrets(text);
        if (shown) shown(sender, LastStatus);
    };
}

std::string TVaskFTP::WithoutSecrets(std::string text) const
{
    return MaskSecret(MaskSecret(std::move(text), FWPassword), Password);
}

void TVaskFTP::Connect()
{
    ControlUse use(*this);
    Canceled = false;
    if (Connected) return;
    ForgetFeatures();
    ForgetTls();
    ClearInput();
    TWirecore::Connect();
    replies_.Restart();

    // A server may repeat a password in any reply of the login, or of the logout after a failed
    // one: none of them reaches a status text unmasked.
    std::optional<platform::ScopedValue<TOnStatus>> masked;
    masked.emplace(OnStatus, MaskingPasswords(OnStatus));
    // From here on the connection is up: any failure logs out again before it is passed on, so a
    // caller sees either a complete login or an exception with the component not connected.
    try {
        RunLogin();
        // Before OnConnect, so that its handler already reads names in the session's charset.
        RunSetup();
        // The handler's own commands are none of the login's business.
        masked.reset();
        if (OnConnect) OnConnect(this);
    } catch (const Exception& error) {
        // The user who cancelled the login is not kept waiting for the server's goodbye: QUIT
        // goes out and the connection closes at once.
        if (error.Reason() == ErrorReason::Canceled) {
            LeaveAtOnce();
        } else {
            Disconnect();
        }
        ReportStatus(1, "Disconnected");
        throw;
    } catch (...) {
        // Should QUIT itself be refused, that exception is the one the caller gets.
        Disconnect();
        ReportStatus(1, "Disconnected");
        throw;
    }
}

void TVaskFTP::LeaveAtOnce()
{
    if (!Connected) return;
    ReportStatus(1, LogoutOperation().Start().status);
    try {
        replies_.Send("QUIT");
    } catch (const std::exception&) {
    }
    DropSession();
}

LoginOperation::Settings TVaskFTP::LoginSettings() const
{
    LoginOperation::Settings settings;
    settings.tlsMode = TlsMode;
    settings.firewallLogin = FWAuthenticate;
    settings.firewallUser = FWUserID;
    settings.firewallPassword = FWPassword;
    settings.user = UserID;
    settings.password = Password;
    settings.throughProxy = !Proxy.empty();
    settings.proxyForm = FirewallType;
    settings.host = Host;
    return settings;
}

// The loop around the login's machine: it does what the machine asks -- reads and sends on the
// control connection (each read waits through the one wait), runs the TLS handshake, puts its
// questions to the handlers -- and feeds it the outcome, until the machine says how it ended.
void TVaskFTP::RunLogin()
{
    using Do = LoginOperation::Step::Do;
    LoginOperation login(LoginSettings());
    TCertificateInfo questioned; // the certificate the user was asked about
    LoginOperation::Step step = login.Start();
    for (;;) {
        for (const std::string& text : step.status) ReportStatus(1, text);
        switch (step.what) {
        case Do::ReadReply: step = login.Reply(LoginGreeting()); break;
        case Do::Send: step = login.Reply(LoginExchange(step.command)); break;
        case Do::Secure: step = login.Secured(SecureControlConnection()); break;
        case Do::AskCertificate:
            // The handler may connect elsewhere or disconnect, which would change what the
            // component's certificate is; the question is about this one.
            questioned = PeerCertificate();
            step = login.Certificate(AcceptCertificate(questioned), Connected);
            break;
        case Do::AskClearLogin: {
            bool goOnInClear = true;
            if (OnTlsRefused) OnTlsRefused(WithoutSecrets(step.reply), goOnInClear);
            step = login.ClearLogin(goOnInClear, Connected);
            break;
        }
        case Do::AskCredentials: {
            // The handler may fill in the credentials; the login goes on with whatever it leaves.
            bool handled = false;
            if (OnAuthenticationNeeded) OnAuthenticationNeeded(handled);
            step = login.Credentials(UserID, Password);
            break;
        }
        case Do::Finish: return;
        case Do::Fail: FailLogin(step, questioned);
        }
    }
}

FtpReply TVaskFTP::LoginGreeting()
{
    ReplyCode = 0;
    const std::string greeting = WithoutSecrets(replies_.ReadCommandReply());
    LastReply = greeting;
    return {ReplyCode, greeting, greeting.empty()};
}

// The loop around the machine of the work after login, as RunLogin's. OPTS MLST waits for the
// first listing (AskMlstFacts): a caller that only fetches a file never needs it.
void TVaskFTP::RunSetup()
{
    using Do = SetupOperation::Step::Do;
    SetupOperation setup({TlsActive(), TlsMandatory(), true});
    SetupOperation::Step step = setup.Start();
    const ReplyReader::LineSeen seen = [&setup](const std::string& line) { setup.Line(line); };
    for (;;) {
        // A server that has hung up is told by the step's failure, before its command is shown.
        if (step.what == Do::Send && !Connected) step = setup.Reply(FtpReply::Closed());
        for (size_t i = 0; i < step.status.size(); ++i) {
            ReportStatus(1, step.status[i]);
            if (i == 0 && step.dataInClear && OnTlsWarning) OnTlsWarning(TTlsWarning::DataInClear);
        }
        switch (step.what) {
        case Do::Send: step = setup.Reply(LoginExchange(step.command, seen)); break;
        case Do::Finish:
            features_ = setup.Features();
            utf8_ = setup.Utf8();
            dataProtected_ = setup.DataProtected();
            return;
        case Do::Fail:
            if (OnConnectionFailed) OnConnectionFailed(this);
            throw FTPException(step.failure.message, step.failure.reason);
        }
    }
}

FtpReply TVaskFTP::LoginExchange(const std::string& command, const ReplyReader::LineSeen& seen)
{
    // The server may have hung up while the last reply was read.
    if (!Connected) return FtpReply::Closed();
    RequireSingleLine(command);
    const std::string reply = WithoutSecrets(replies_.Command(command, seen));
    LastReply = WithoutSecrets(LastReply);
    return {ReplyCode, reply, reply.empty()};
}

void TVaskFTP::FailLogin(const LoginOperation::Step& step, const TCertificateInfo& certificate)
{
    if (step.withoutQuit) {
        const std::string message = "Certificate of " + tlsServerName_ + " not trusted (" +
                                    certificate.Problem + "); SHA-256 fingerprint " +
                                    certificate.Fingerprint;
        if (OnConnectionFailed) OnConnectionFailed(this);
        // Not one more byte to a server nobody trusts, not even QUIT.
        DropSession();
        throw CertificateRejectedError(message, certificate);
    }
    if (OnConnectionFailed) OnConnectionFailed(this);
    throw FTPException(step.failure.message, step.failure.reason);
}

void TVaskFTP::Disconnect()
{
    ControlUse use(*this);
    Canceled = false;
    if (!Connected) return;
    LogoutOperation logout;
    const LogoutOperation::Step quit = logout.Start();
    ReportStatus(1, quit.status);
    // The socket is closed however QUIT goes; a refused QUIT is raised after that. QUIT goes out
    // at once, even with replies still owed: they are read before its own, within a courtesy wait
    // (a second at most), and a server that lets it pass unanswered is left all the same.
    try {
        ListParser.reset();
        Vendor = vendorAutoDetect;
        ForgetFeatures();
        ForgetTls();
        const std::string reply = replies_.Quit();
        const LogoutOperation::Step end = logout.Reply({ReplyCode, reply, reply.empty()});
        if (end.what == LogoutOperation::Step::Do::CloseAndFail)
            throw FTPException(end.failure.message, end.failure.reason);
    } catch (...) {
        // Unless the failure has closed the connection already (a reset, say).
        if (Connected) TWirecore::Disconnect();
        throw;
    }
    if (Connected) TWirecore::Disconnect();
}
