// Login and logout: the greeting, the firewall and proxy forms of the login, USER and PASS, QUIT.
#include "ftp/VaskFtp.h"

#include <cstdint>

namespace {

// A password must not show up in a status text or an error message, not even when a server
// repeats it in its reply.
std::string Masked(std::string text, const std::string& secret)
{
    if (secret.empty()) return text;
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 5))
        text.replace(at, secret.size(), "*****");
    return text;
}

// While it lives, status texts reach the OnStatus handler, and LastStatus, with `secret` masked.
class MaskedStatus {
public:
    MaskedStatus(TWirecore& socket, const std::string& secret)
        : socket_(socket), saved_(socket.OnStatus)
    {
        if (secret.empty()) return;
        socket_.OnStatus = [this, secret](TComponent* sender, const std::string& text) {
            socket_.LastStatus = Masked(text, secret);
            if (saved_) saved_(sender, socket_.LastStatus);
        };
        installed_ = true;
    }
    ~MaskedStatus()
    {
        if (installed_) socket_.OnStatus = saved_;
    }
    MaskedStatus(const MaskedStatus&) = delete;
    MaskedStatus& operator=(const MaskedStatus&) = delete;

private:
    TWirecore& socket_;
    TOnStatus saved_;
    bool installed_ = false;
};

} // namespace

void TVaskFTP::Connect()
{
    ControlUse use(*this);
    Canceled = false;
    if (Connected) return;
    unsolicitedLine_.clear();
    ClearInput();
    TWirecore::Connect();

    // From here on the connection is up: any failure logs out again before it is passed on, so a
    // caller sees either a complete login or an exception with the component not connected.
    try {
        LoginGreeting();
        if (FWAuthenticate) {
            LoginCommand("USER " + FWUserID);
            if (ReplyCode == 331) {
                ReportStatus(1, "PASS ");
                LoginCommand("PASS " + FWPassword, FWPassword);
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
            LoginCommand("PASS " + Password, Password);
        }
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
    const std::string greeting = ReadReplyLine();
    if (!greeting.empty()) ReportStatus(1, greeting);
    LastReply = greeting;
    ReplyCode = ReplyCodeOf(greeting);
    ConsumeContinuationLines(greeting);
    // A server that hangs up at once has not let us in; without this check the login would go on
    // as if a greeting without a code had arrived.
    if (greeting.empty()) RejectLogin({});
    // Any code above 400 turns the client away, 421 "too many users" being the usual one.
    if (ReplyCode > 400) RejectLogin(greeting);
}

void TVaskFTP::LoginCommand(const std::string& command, const std::string& secret)
{
    // The server may have hung up while the last reply was read.
    if (!Connected) RejectLogin({});
    // Lines still waiting cannot answer a command not yet sent: they are what is left of an
    // earlier reply (a greeting whose continuation lines were not marked as such), and taken for
    // this command's reply they would put the whole login out of step.
    if (DataAvailable()) Read(0);
    std::string reply;
    {
        MaskedStatus masked(*this, secret);
        reply = Masked(Transaction(command), secret);
        LastReply = Masked(LastReply, secret);
    }
    if (reply.empty()) RejectLogin({});
    if (ReplyCode > 400 && ReplyCode < 600) RejectLogin(reply);
}

void TVaskFTP::LoginProxyCommand()
{
    std::string command;
    switch (FirewallType) {
    case FTUser: command = "USER " + UserID + "@" + Host; break;
    case FtOpen: command = "OPEN " + Host; break;
    case FtSite: command = "SITE " + Host; break;
    }
    // Proxies answer these in their own ways, so the reply is not judged; only a proxy that
    // hangs up stops the login.
    if (!Connected || Transaction(command).empty()) RejectLogin({});
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
    // The socket is closed however QUIT goes; a refused QUIT is raised after that.
    try {
        ListParser.reset();
        Vendor = vendorAutoDetect;
        if (DataAvailable()) Read(0);
        const std::string reply = Transaction("QUIT");
        if (ReplyCode > 300 && ReplyCode < 600) throw FTPException::Refusal(reply);
    } catch (...) {
        // Unless the failure has closed the connection already (a reset, say).
        if (Connected) TWirecore::Disconnect();
        throw;
    }
    if (Connected) TWirecore::Disconnect();
}
