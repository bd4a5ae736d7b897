#include "app/FolderSessions.h"

#include "ftp/FtpSession.h"

#include <algorithm>

namespace app {

std::unique_ptr<transfer::Session> SessionLike(TVaskFTP& window)
{
    auto ftp = std::make_unique<TVaskFTP>(nullptr);
    ftp->Host = window.Host;
    ftp->Port = window.Port;
    ftp->UserID = window.UserID;
    ftp->Password = window.Password;
    // Passive whatever the window's session uses: a run has no way back to passive for one
    // item, and behind a router active mode fails; the sessions' active mode also stalls
    // against some servers when several log in at once.
    ftp->Passive = true;
    ftp->TimeOut = window.TimeOut;
    ftp->AcceptTimeOut = window.AcceptTimeOut;
    ftp->Proxy = window.Proxy;
    ftp->ProxyPort = window.ProxyPort;
    ftp->FirewallType = window.FirewallType;
    ftp->FWAuthenticate = window.FWAuthenticate;
    ftp->FWUserID = window.FWUserID;
    ftp->FWPassword = window.FWPassword;
    ftp->KeepTimes = window.KeepTimes;
    ftp->Verify = window.Verify;
    ftp->TlsMode = window.TlsMode;
    ftp->TlsCaFiles = window.TlsCaFiles;
    ftp->TlsSystemTrust = window.TlsSystemTrust;
    ftp->TlsPinnedFingerprints = window.TlsPinnedFingerprints;
    ftp->TlsResumeSessions = window.TlsResumeSessions;
    ftp->TlsRequireResumedData = window.TlsRequireResumedData;
    if (window.TlsActive()) {
        // A server that spoke TLS to the window and not to this session is someone in between.
        ftp->TlsMode = tlsRequired;
        const std::string& accepted = window.PeerCertificate().Fingerprint;
        auto& pinned = ftp->TlsPinnedFingerprints;
        if (!accepted.empty() && std::find(pinned.begin(), pinned.end(), accepted) == pinned.end())
            pinned.push_back(accepted);
    } else {
        ftp->OnTlsRefused = [](const std::string&, bool& goOn) { goOn = true; };
    }
    // OnCertificate stays unassigned: a certificate the window's session did not carry is
    // refused without asking.
    return std::make_unique<FtpSession>(std::move(ftp));
}

} // namespace app
