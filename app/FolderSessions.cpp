#include "app/FolderSessions.h"

#include "ftp/VaskFtp.h"

namespace app {

void SetUpLike(TVaskFTP& ftp, const TVaskFTP& window)
{
    ftp.Host = window.Host;
    ftp.Port = window.Port;
    ftp.UserID = window.UserID;
    ftp.Password = window.Password;
    // Passive whatever the window's session uses: a run has no way back to passive for one
    // item, and behind a router active mode fails; the sessions' active mode also stalls
    // against some servers when several log in at once.
    ftp.Passive = true;
    ftp.TimeOut = window.TimeOut;
    ftp.AcceptTimeOut = window.AcceptTimeOut;
    ftp.Proxy = window.Proxy;
    ftp.ProxyPort = window.ProxyPort;
    ftp.FirewallType = window.FirewallType;
    ftp.FWAuthenticate = window.FWAuthenticate;
    ftp.FWUserID = window.FWUserID;
    ftp.FWPassword = window.FWPassword;
    ftp.KeepTimes = window.KeepTimes;
    ftp.Verify = window.Verify;
    ftp.TlsMode = window.TlsMode;
    ftp.TlsCaFiles = window.TlsCaFiles;
    ftp.TlsSystemTrust = window.TlsSystemTrust;
    ftp.TlsPinnedFingerprints = window.TlsPinnedFingerprints;
    ftp.TlsResumeSessions = window.TlsResumeSessions;
    ftp.TlsRequireResumedData = window.TlsRequireResumedData;
    // OnCertificate stays unassigned: a certificate the window's session did not carry is
    // refused without asking.
}

} // namespace app
