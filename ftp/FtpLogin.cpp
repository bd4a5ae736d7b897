// Login and logout: the greeting, the firewall and proxy forms of the login, USER and PASS, QUIT.
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
        if (TlsMode == tlsImplicit) SecureControlConnection();
        LoginGreeting();
        // Before anything else is sent: the firewall's password too goes only where TLS
        // protects it, when TLS is to be had.
        if (TlsMode == tlsIfAvailable || TlsMode == tlsRequired) NegotiateAuthTls();
        if (FWAuthenticate) {
            LoginCommand("USER " + FWUserID);
            if (ReplyCode == 331) {
                ReportStatus(1, "PASS ");
                LoginCommand("PASS " + FWPassword);
            }
        }
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            // The handler may fill in the credentials; the login goes on with whatever it leaves.
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }
        if (!Proxy.empty()) LoginProxyCommand();
        if (Proxy.empty() || FirewallType != FTUser) {
            ReportStatus(1, "USER " + UserID);
            LoginCommand("USER " + UserID);
        }
        // In FTUser proxy mode this answers the combined USER sent to the proxy.
        if (ReplyCode == 331) {
            ReportStatus(1, "PASS ");
            LoginCommand("PASS " + Password);
        }
        // Before OnConnect, so that its handler already reads names in the session's charset.
        NegotiateFeatures();
        ProtectDataConnections();
        // The handler's own commands are none of the login's business.
        masked.reset();
        if (OnConnect) OnConnect(this);
    } catch (...) {
        // Should QUIT itself be refused, that exception is the one the caller gets.
        Disconnect();
        ReportStatus(1, "Disconnected");
        throw;
    }
}

void TVaskFTP::LoginGreeting()
{
    ReplyCode = 0;
    const std::string greeting = WithoutSecrets(replies_.ReadCommandReply());
    LastReply = greeting;
    // A server that hangs up at once has not let us in; without this check the login would go on
    // as if a greeting without a code had arrived.
    if (greeting.empty()) RejectLogin({});
    // Any code above 400 turns the client away, 421 "too many users" being the usual one.
    if (ReplyCode > 400) RejectLogin(greeting);
}

void TVaskFTP::LoginCommand(const std::string& command)
{
    // The server may have hung up while the last reply was read.
    if (!Connected) RejectLogin({});
    const std::string reply = WithoutSecrets(Transaction(command));
    LastReply = WithoutSecrets(LastReply);
    if (reply.empty()) RejectLogin({});
    if (ReplyCode > 400 && ReplyCode < 600) RejectLogin(reply);
}

void TVaskFTP::LoginProxyCommand()
{
    switch (FirewallType) {
    case FTUser:
        // The proxy passes this USER on to the server, so its refusal is the server's refusal of
        // the login, and is judged like one.
        return LoginCommand("USER " + UserID + "@" + Host);
    case FtOpen:
    case FtSite: {
        const std::string command = (FirewallType == FtOpen ? "OPEN " : "SITE ") + Host;
        // Proxies answer these in their own ways, so the reply is not judged; only a proxy that
        // hangs up stops the login.
        if (!Connected || Transaction(command).empty()) RejectLogin({});
        return;
    }
    }
}

void TVaskFTP::RejectLogin(const std::string& reply)
{
    if (OnConnectionFailed) OnConnectionFailed(this);
    throw FTPException::Refusal(reply);
}

void TVaskFTP::Disconnect()
{
    ControlUse use(*this);
    Canceled = false;
    if (!Connected) return;
    ReportStatus(1, "QUIT");
    // The socket is closed however QUIT goes; a refused QUIT is raised after that. QUIT goes out
    // at once, even with replies still owed: they are read before its own, within a courtesy wait
    // (TimeOut, or a few seconds), and a server that lets it pass unanswered is left all the same.
    try {
        ListParser.reset();
        Vendor = vendorAutoDetect;
        ForgetFeatures();
        ForgetTls();
        const std::string reply = replies_.Quit();
        if (ReplyCode > 300 && ReplyCode < 600) throw FTPException::Refusal(reply);
    } catch (...) {
        // Unless the failure has closed the connection already (a reset, say).
        if (Connected) TWirecore::Disconnect();
        throw;
    }
    if (Connected) TWirecore::Disconnect();
}
