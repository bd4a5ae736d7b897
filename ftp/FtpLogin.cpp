// Login and logout: the greeting, the firewall and proxy forms of the login, USER and PASS, QUIT.
#include "ftp/VaskFtp.h"

#include <climits>
#include <cstdint>

namespace {

// The code of a reply line read without Transaction (the greeting), by the same rule: up to ten
// leading digits; a number past 32 bits counts as none, one past a reply code's 16 bits is a
// range error.
int16_t LeadingReplyCode(const std::string& line)
{
    int64_t value = 0;
    size_t digits = 0;
    while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9')
        value = value * 10 + (line[digits++] - '0');
    if (digits == 0 || value > INT32_MAX) return 0;
    if (value > INT16_MAX) throw RangeError();
    return static_cast<int16_t>(value);
}

} // namespace

void TVaskFTP::Connect()
{
    Canceled = false;
    if (Connected) return;
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
    const std::string greeting = ReadLn();
    if (!greeting.empty()) ReportStatus(1, greeting);
    LastReply = greeting;
    ReplyCode = LeadingReplyCode(greeting);
    ConsumeContinuationLines(greeting);
    // A server that hangs up at once has not let us in; without this check the login would go on
    // as if a greeting without a code had arrived.
    if (greeting.empty()) RejectLogin(kConnectionClosedText);
    // Any code above 400 turns the client away, 421 "too many users" being the usual one.
    if (ReplyCode > 400) RejectLogin(greeting);
}

void TVaskFTP::LoginCommand(const std::string& command)
{
    const std::string reply = Transaction(command);
    if (reply.empty()) RejectLogin(kConnectionClosedText);
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
    if (Transaction(command).empty()) RejectLogin(kConnectionClosedText);
}

void TVaskFTP::RejectLogin(const std::string& message)
{
    if (OnConnectionFailed) OnConnectionFailed(this);
    throw FTPException(message);
}

void TVaskFTP::Disconnect()
{
    Canceled = false;
    if (!Connected) return;
    ReportStatus(1, "QUIT");
    // The socket is closed however QUIT goes; a refused QUIT is raised after that.
    try {
        ListParser.reset();
        Vendor = vendorAutoDetect;
        if (DataAvailable()) Read(0);
        const std::string reply = Transaction("QUIT");
        if (ReplyCode > 300 && ReplyCode < 600) throw FTPException(reply);
    } catch (...) {
        TWirecore::Disconnect();
        throw;
    }
    TWirecore::Disconnect();
}
