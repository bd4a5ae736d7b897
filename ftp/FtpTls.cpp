// FTP over TLS (RFC 4217): "AUTH TLS" after the greeting (or TLS from the first byte), the verdict
// on the server's certificate before anything of the login is sent, and what the data connections
// take from the control connection's TLS ("PBSZ 0" and "PROT P" are SetupOperation's).
//
// Proxies and firewalls. The TLS session is with whatever the control connection reaches. A
// firewall login (FWAuthenticate) therefore comes after "AUTH TLS", so that its password is
// protected like the user's; with TLS required it is never sent in clear. Behind a proxy (any
// FirewallType) the control connection reaches the proxy: its certificate is the one checked,
// against the proxy's name, and "OPEN", "SITE" or "USER user@host" travel inside that session.
// Such a proxy holds the TLS session, so it must relay the data connections too; they are
// checked against the same name and resume the same session.
#include "ftp/VaskFtp.h"

#include "platform/SocketErrors.h"

namespace {

// The name a certificate must carry for `host`: an IPv6 address without the brackets it may be
// written with.
std::string ServerNameOf(const std::string& host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

} // namespace

TTlsSettings TVaskFTP::TlsSettingsFor(const std::string& serverName) const
{
    TTlsSettings settings;
    settings.ServerName = serverName;
    settings.SystemTrust = TlsSystemTrust;
    settings.CaFiles = TlsCaFiles;
    settings.PinnedFingerprints = TlsPinnedFingerprints;
    if (!acceptedFingerprint_.empty()) settings.PinnedFingerprints.push_back(acceptedFingerprint_);
    return settings;
}

TTlsSettings TVaskFTP::DataTlsSettings() const
{
    TTlsSettings settings = TlsSettingsFor(tlsServerName_);
    // Servers check that whoever connects for the data is who logged in by the session resumed.
    if (TlsResumeSessions) settings.Resume = TlsSession();
    // The data connections of a session present the control connection's certificate, which
    // has been judged already.
    const std::string& controlFingerprint = PeerCertificate().Fingerprint;
    if (!controlFingerprint.empty()) settings.PinnedFingerprints.push_back(controlFingerprint);
    return settings;
}

void TVaskFTP::ForgetTls()
{
    tlsServerName_.clear();
    acceptedFingerprint_.clear();
    dataProtected_ = false;
    unresumedDataWarned_ = false;
}

TTlsSettings TVaskFTP::ControlTlsSettings()
{
    tlsServerName_ = ServerNameOf(Proxy.empty() ? Host : Proxy);
    return TlsSettingsFor(tlsServerName_);
}

bool TVaskFTP::SecureControlConnection()
{
    try {
        StartTls(ControlTlsSettings());
    } catch (const ESockError& error) {
        // A handshake the server broke off is its refusal of the session; a cancelled or timed
        // out one is not.
        if (error.Reason() == ErrorReason::TlsHandshakeFailed && OnConnectionFailed)
            OnConnectionFailed(this);
        throw;
    }
    return PeerCertificate().Trusted();
}

bool TVaskFTP::AcceptCertificate(const TCertificateInfo& certificate)
{
    TCertificateAnswer answer = TCertificateAnswer::Reject;
    if (OnCertificate) OnCertificate(certificate, answer);
    if (answer == TCertificateAnswer::Reject) return false;
    // The handler may have taken its time; a server that hung up meanwhile is no login, and its
    // certificate is accepted for nothing.
    if (!Connected) return true;
    acceptedFingerprint_ = certificate.Fingerprint;
    ReportStatus(1, "Certificate accepted: SHA-256 " + certificate.Fingerprint);
    return true;
}

void TVaskFTP::CheckDataSessionResumed(const TWirecore& data)
{
    if (!TlsResumeSessions || data.TlsResumed()) return;
    if (TlsRequireResumedData)
        throw FTPException("The data connection did not resume the TLS session of the control "
                           "connection; it may not come from the server" +
                               (TlsResumeAdvice.empty() ? "" : " (" + TlsResumeAdvice + ")"),
                           ErrorReason::TlsDataNotResumed);
    if (unresumedDataWarned_) return;
    unresumedDataWarned_ = true;
    ReportStatus(1, "Data connection without the control connection's TLS session");
    if (OnTlsWarning) OnTlsWarning(TTlsWarning::DataSessionNotResumed);
}

bool TVaskFTP::ControlInputWaiting()
{
    // Over TLS only decrypted bytes count: a session ticket alone is no reply.
    return TlsActive() ? InputWaiting() : platform::PendingBytes(SocketHandle) > 0;
}

long TVaskFTP::ControlPending() { return PendingInput(); }
