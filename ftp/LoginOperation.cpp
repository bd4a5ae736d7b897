// The login as a state machine: see LoginOperation.h.
#include "ftp/LoginOperation.h"

namespace {

using Step = LoginOperation::Step;
using Do = Step::Do;

Step Ask(Do question)
{
    Step step;
    step.what = question;
    return step;
}

} // namespace

const char* LoginOperation::Name(State state)
{
    switch (state) {
    case State::Securing: return "Securing";
    case State::CertificateAsked: return "CertificateAsked";
    case State::Greeting: return "Greeting";
    case State::AuthTls: return "AuthTls";
    case State::ClearLoginAsked: return "ClearLoginAsked";
    case State::FirewallUser: return "FirewallUser";
    case State::FirewallPass: return "FirewallPass";
    case State::CredentialsAsked: return "CredentialsAsked";
    case State::ProxyUser: return "ProxyUser";
    case State::ProxyCommand: return "ProxyCommand";
    case State::User: return "User";
    case State::Pass: return "Pass";
    case State::LoggedIn: return "LoggedIn";
    case State::Failed: return "Failed";
    }
    return "?";
}

Step LoginOperation::Enter(State next, Step step)
{
    state_ = next;
    return step;
}

Step LoginOperation::Send(State next, const std::string& command, const std::string& status)
{
    Step step;
    step.what = Do::Send;
    step.command = command;
    if (!status.empty()) step.status.push_back(status);
    return Enter(next, std::move(step));
}

Step LoginOperation::Fail(FtpFailure failure, bool withoutQuit)
{
    Step step;
    step.what = Do::Fail;
    step.failure = std::move(failure);
    step.withoutQuit = withoutQuit;
    return Enter(State::Failed, std::move(step));
}

bool LoginOperation::Rejected(const FtpReply& reply)
{
    // Any code above 400 turns the client away; a server that hangs up has not let it in either.
    return reply.closed || reply.first.empty() || (reply.code > 400 && reply.code < 600);
}

Step LoginOperation::Start()
{
    // With implicit TLS not a byte, not even the greeting, is read before the handshake.
    if (settings_.tlsMode == tlsImplicit) return Enter(State::Securing, Ask(Do::Secure));
    return Enter(State::Greeting, Ask(Do::ReadReply));
}

Step LoginOperation::Reply(const FtpReply& reply)
{
    switch (state_) {
    case State::Greeting:
        // There is no upper bound here: any code above 400, 421 "too many users" the usual one.
        if (reply.closed || reply.first.empty() || reply.code > 400)
            return Fail(FtpFailure::Refusal(reply));
        greeted_ = true;
        return AfterGreeting();
    case State::AuthTls:
        if (reply.closed || reply.first.empty() || reply.code == 421)
            return Fail(FtpFailure::Refusal(reply));
        if (reply.code == 234) return Enter(State::Securing, Ask(Do::Secure));
        // "500 AUTH not understood", "530 Please login with USER and PASS": the server speaks
        // no TLS -- or someone between us and it answered for it, to read the password.
        if (settings_.tlsMode == tlsRequired)
            return Fail({"TLS refused by the server: " + reply.first, ErrorReason::TlsUnavailable});
        refusal_ = reply.first;
        {
            Step question = Ask(Do::AskClearLogin);
            question.reply = reply.first;
            return Enter(State::ClearLoginAsked, std::move(question));
        }
    case State::FirewallUser:
        if (Rejected(reply)) return Fail(FtpFailure::Refusal(reply));
        if (reply.code == 331)
            return Send(State::FirewallPass, "PASS " + settings_.firewallPassword, "PASS ");
        return CheckCredentials();
    case State::FirewallPass:
        if (Rejected(reply)) return Fail(FtpFailure::Refusal(reply));
        return CheckCredentials();
    case State::ProxyUser:
        // The proxy passes this USER on to the server, so its refusal is the server's refusal
        // of the login, and is judged like one.
        if (Rejected(reply)) return Fail(FtpFailure::Refusal(reply));
        return PassIfAsked(reply);
    case State::ProxyCommand:
        // Proxies answer OPEN and SITE in their own ways, so the reply is not judged; only a
        // proxy that hangs up stops the login.
        if (reply.closed || reply.first.empty()) return Fail(FtpFailure::Refusal(reply));
        return User();
    case State::User:
        if (Rejected(reply)) return Fail(FtpFailure::Refusal(reply));
        return PassIfAsked(reply);
    case State::Pass:
        if (Rejected(reply)) return Fail(FtpFailure::Refusal(reply));
        return Enter(State::LoggedIn, Ask(Do::Finish));
    default: break;
    }
    // A reply nobody asked for: the session and the login are out of step.
    return Fail({"Reply out of turn: " + reply.first, ErrorReason::OutOfStep});
}

Step LoginOperation::AfterGreeting()
{
    // Before anything else is sent: the firewall's password too goes only where TLS protects
    // it, when TLS is to be had.
    if (settings_.tlsMode == tlsIfAvailable || settings_.tlsMode == tlsRequired)
        return Send(State::AuthTls, "AUTH TLS", "AUTH TLS");
    return Firewall();
}

Step LoginOperation::Secured(bool trusted)
{
    if (state_ != State::Securing) return Fail({"Handshake out of turn", ErrorReason::OutOfStep});
    if (!trusted) return Enter(State::CertificateAsked, Ask(Do::AskCertificate));
    return AfterSecured();
}

Step LoginOperation::AfterSecured()
{
    if (!greeted_) return Enter(State::Greeting, Ask(Do::ReadReply));
    return Firewall();
}

Step LoginOperation::Certificate(bool accepted, bool connected)
{
    if (state_ != State::CertificateAsked)
        return Fail({"Answer out of turn", ErrorReason::OutOfStep});
    // The message names the certificate, which the session holds; it writes it.
    if (!accepted) return Fail({{}, ErrorReason::CertificateRejected}, true);
    // The answer may have taken its time; a server that hung up meanwhile is no login.
    if (!connected) return Fail(FtpFailure::Refusal(FtpReply::Closed()));
    return AfterSecured();
}

Step LoginOperation::ClearLogin(bool goOn, bool connected)
{
    if (state_ != State::ClearLoginAsked)
        return Fail({"Answer out of turn", ErrorReason::OutOfStep});
    if (!goOn)
        return Fail({"TLS refused by the server, and the login was not sent in clear: " + refusal_,
                     ErrorReason::ClearLoginDeclined});
    if (!connected) return Fail(FtpFailure::Refusal(FtpReply::Closed()));
    Step step = Firewall();
    // Said before whatever comes next goes out.
    step.status.insert(step.status.begin(), "TLS not available: the session goes on in clear");
    return step;
}

Step LoginOperation::Firewall()
{
    if (settings_.firewallLogin) return Send(State::FirewallUser, "USER " + settings_.firewallUser);
    return CheckCredentials();
}

Step LoginOperation::CheckCredentials()
{
    if (settings_.user.empty() || settings_.password.empty())
        return Enter(State::CredentialsAsked, Ask(Do::AskCredentials));
    return ThroughProxy();
}

Step LoginOperation::Credentials(const std::string& user, const std::string& password)
{
    if (state_ != State::CredentialsAsked)
        return Fail({"Answer out of turn", ErrorReason::OutOfStep});
    // The login goes on with whatever the answer leaves, empty or not.
    settings_.user = user;
    settings_.password = password;
    return ThroughProxy();
}

Step LoginOperation::ThroughProxy()
{
    if (!settings_.throughProxy) return User();
    switch (settings_.proxyForm) {
    case FTUser: return Send(State::ProxyUser, "USER " + settings_.user + "@" + settings_.host);
    case FtOpen: return Send(State::ProxyCommand, "OPEN " + settings_.host);
    case FtSite: return Send(State::ProxyCommand, "SITE " + settings_.host);
    }
    return User();
}

Step LoginOperation::User()
{
    return Send(State::User, "USER " + settings_.user, "USER " + settings_.user);
}

Step LoginOperation::PassIfAsked(const FtpReply& reply)
{
    if (reply.code == 331) return Send(State::Pass, "PASS " + settings_.password, "PASS ");
    return Enter(State::LoggedIn, Ask(Do::Finish));
}
