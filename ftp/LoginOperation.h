#pragma once
// Internal to the FTP component: the login as a state machine. It knows the order of the login's
// commands in every form (a firewall's own USER and PASS, the proxy forms USER user@host, OPEN
// and SITE, then USER and PASS), where TLS is negotiated, and which replies end it. It touches no
// socket: the session sends what it asks for, feeds it the whole replies, runs the TLS handshake
// when asked, and puts the questions it pauses on (an untrusted certificate, a login in clear,
// missing credentials) to whoever answers them.
//
//   state              entered when                                left on
//   Securing           implicit TLS: at once; AUTH TLS got 234     Secured()
//   CertificateAsked   the handshake found no trusted certificate  Certificate()
//   Greeting           plain or explicit TLS: at once; implicit:   the greeting
//                      once the connection is secured
//   AuthTls            explicit TLS, after the greeting            its reply
//   ClearLoginAsked    AUTH TLS refused where TLS is only welcome  ClearLogin()
//   FirewallUser       FWAuthenticate                              its reply
//   FirewallPass       ... answered 331                            its reply
//   CredentialsAsked   the user name or password is empty          Credentials()
//   ProxyUser          FTUser proxy: "USER user@host"              its reply
//   ProxyCommand       FtOpen / FtSite proxy: "OPEN" / "SITE" host its reply
//   User               no proxy, or FtOpen / FtSite                its reply
//   Pass               the last USER answered 331                  its reply
//   LoggedIn, Failed   the end
#include "ftp/FtpReply.h"
#include "ftp/FtpTypes.h"

#include <string>
#include <vector>

class LoginOperation {
public:
    enum class State {
        Securing,
        CertificateAsked,
        Greeting,
        AuthTls,
        ClearLoginAsked,
        FirewallUser,
        FirewallPass,
        CredentialsAsked,
        ProxyUser,
        ProxyCommand,
        User,
        Pass,
        LoggedIn,
        Failed,
    };

    // The settings the login goes by, taken when it starts (the credentials again when the
    // question for them is answered).
    struct Settings {
        TTlsMode tlsMode = tlsNone;
        bool firewallLogin = false; // FWAuthenticate
        std::string firewallUser;
        std::string firewallPassword;
        std::string user;
        std::string password;
        bool throughProxy = false; // Proxy is set
        TFirewallType proxyForm = FTUser;
        std::string host; // the FTP server, which the proxy command names
    };

    // What the session does next.
    struct Step {
        enum class Do {
            ReadReply,      // read the next whole reply (the greeting) and feed it
            Send,           // send `command`, read its whole reply and feed it
            Secure,         // run the TLS handshake, then say whether the certificate is trusted
            AskCertificate, // may the untrusted certificate be accepted?
            AskClearLogin,  // AUTH TLS was refused (`reply`): may the login go on in clear?
            AskCredentials, // the user name or password is missing: ask, then pass them on
            Finish,         // logged in
            Fail,           // the login failed: `failure`; OnConnectionFailed first
        };
        Do what = Do::Fail;
        std::string command;
        // Reported at level 1, in this order, before anything else happens ("USER name",
        // "PASS " -- never the password).
        std::vector<std::string> status;
        std::string reply;
        FtpFailure failure;
        // The certificate was refused: not one more byte to that server, not even QUIT.
        bool withoutQuit = false;
    };

    explicit LoginOperation(Settings settings) : settings_(std::move(settings)) {}

    Step Start();
    // The whole reply to what was sent (or the greeting).
    Step Reply(const FtpReply& reply);
    // The handshake is done; `trusted`: the certificate verified or is pinned.
    Step Secured(bool trusted);
    // The answers to the questions; `connected`: the connection is still up after the answer,
    // which may have taken the user a while.
    Step Certificate(bool accepted, bool connected);
    Step ClearLogin(bool goOn, bool connected);
    Step Credentials(const std::string& user, const std::string& password);

    State Current() const { return state_; }
    static const char* Name(State state);

private:
    // The one place the state changes.
    Step Enter(State next, Step step);
    Step Send(State next, const std::string& command, const std::string& status = {});
    Step Fail(FtpFailure failure, bool withoutQuit = false);
    // Rejected login commands: a reply above 400 and below 600, or none at all.
    static bool Rejected(const FtpReply& reply);

    Step AfterGreeting();
    Step AfterSecured();
    Step Firewall();
    Step CheckCredentials();
    Step ThroughProxy();
    Step User();
    Step PassIfAsked(const FtpReply& reply);

    Settings settings_;
    State state_ = State::Greeting;
    bool greeted_ = false;
    std::string refusal_; // the refusal of AUTH TLS, while the question about it is open
};
