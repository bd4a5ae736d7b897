#pragma once
// An FTP component pointed at a scripted server, with everything it reports written down: status
// texts and the component's events in the order they fired.
#include "ftp/FtpSession.h"
#include "ftp/VaskFtp.h"
#include "support/EventLoop.h"
#include "support/ScriptedFtpServer.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ftptest {

struct ScriptedSession {
    // Declared first so that it outlives the component, which may still close its socket.
    testsupport::ScriptedFtpServer server;
    TVaskFTP ftp{nullptr};
    std::vector<std::string> status;
    std::vector<std::string> events;

    // The server waits on the family's loopback address, where the component is pointed.
    explicit ScriptedSession(testsupport::IpFamily family = testsupport::IpFamily::V4)
        : server(family)
    {
        ftp.Host = testsupport::LoopbackText(family);
        ftp.Port = server.Port();
        ftp.UserID = "ana";
        ftp.Password = "s3nh@";
        ftp.ReportLevel = 1;
        ftp.OnStatus = [this](TComponent*, const std::string& text) { status.push_back(text); };
        ftp.OnConnect = [this](TComponent*) { events.push_back("OnConnect"); };
        ftp.OnDisconnect = [this](TComponent*) { events.push_back("OnDisconnect"); };
        ftp.OnConnectionFailed = [this](TComponent*) { events.push_back("OnConnectionFailed"); };
        ftp.OnAuthenticationFailed = [this](bool&) { events.push_back("OnAuthenticationFailed"); };
        ftp.OnSuccess = [this](TCmdType t) {
            events.push_back(std::string("OnSuccess ") + CmdTypeName(t));
        };
        ftp.OnUnSupportedFunction = [this](TCmdType t) {
            events.push_back(std::string("OnUnSupportedFunction ") + CmdTypeName(t));
        };
    }

    // The start of a script that logs "ana" in without a password prompt, at a server that
    // knows no FEAT.
    testsupport::ScriptedFtpServer& LoggedIn()
    {
        return server.Reply("220 pronto").Expect("USER ana").Reply("230 bem-vinda").NoFeatures();
    }

    // Starts the script and logs in; the status texts and events of the login are forgotten.
    void StartLoggedIn()
    {
        server.Start();
        ftp.Connect();
        status.clear();
        events.clear();
    }

    std::vector<std::string> Lines() const { return server.ReceivedLines(); }

    // A non-blocking session whose component is set up as `ftp` is (server, credentials, proxy,
    // firewall, TLS and its handlers), reporting to the same status texts and events.
    std::unique_ptr<FtpSession> Session()
    {
        auto owned = std::make_unique<TVaskFTP>(nullptr);
        TVaskFTP& c = *owned;
        c.Host = ftp.Host;
        c.Port = ftp.Port;
        c.UserID = ftp.UserID;
        c.Password = ftp.Password;
        c.ReportLevel = ftp.ReportLevel;
        c.TimeOut = ftp.TimeOut;
        c.Proxy = ftp.Proxy;
        c.ProxyPort = ftp.ProxyPort;
        c.FirewallType = ftp.FirewallType;
        c.FWAuthenticate = ftp.FWAuthenticate;
        c.FWUserID = ftp.FWUserID;
        c.FWPassword = ftp.FWPassword;
        c.TlsMode = ftp.TlsMode;
        c.TlsCaFiles = ftp.TlsCaFiles;
        c.TlsSystemTrust = ftp.TlsSystemTrust;
        c.TlsPinnedFingerprints = ftp.TlsPinnedFingerprints;
        c.OnCertificate = ftp.OnCertificate;
        c.OnTlsRefused = ftp.OnTlsRefused;
        c.OnTlsWarning = ftp.OnTlsWarning;
        c.OnStatus = ftp.OnStatus;
        c.OnConnect = [this](TComponent*) { events.push_back("OnConnect"); };
        c.OnDisconnect = ftp.OnDisconnect;
        c.OnConnectionFailed = ftp.OnConnectionFailed;
        return std::make_unique<FtpSession>(std::move(owned));
    }

    // Opens `session` and runs the event loop until it says how (nothing after `ms`).
    static std::optional<transfer::Outcome> Open(FtpSession& session, int ms = 5000)
    {
        const auto opened = std::make_shared<std::optional<transfer::Outcome>>();
        session.Open([opened](const transfer::Outcome& outcome) { *opened = outcome; });
        testsupport::PumpUntil([&] { return opened->has_value(); }, ms);
        return *opened;
    }
};

} // namespace ftptest
