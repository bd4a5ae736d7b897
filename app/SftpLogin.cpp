#include "app/SftpLogin.h"

#include "sftp/SftpSession.h"
#include "sftp/SftpSessionFactory.h"

#include <cstdlib>
#include <regex>

namespace app {

namespace {

std::string SshFile(const char* name)
{
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.ssh/" + name : std::string();
}

sftp::ConnectOptions OptionsOf(const SftpLogin& login)
{
    sftp::ConnectOptions options;
    options.host = login.host;
    options.port = login.port;
    options.user = login.user;
    options.password = login.password;
    options.passphrase = login.password;
    for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"})
        if (const std::string file = SshFile(name); !file.empty())
            options.identityFiles.push_back(file);
    options.userKnownHosts = sftp::UserKnownHostsFile();
    options.trustFile = sftp::DefaultTrustFile();
    options.askUnknownHostKey = login.askUnknownHostKey;
    options.timeoutMs = login.timeoutMs;
    options.keepAliveSeconds = login.keepAliveSeconds;
    options.keepAliveLimitSeconds = login.keepAliveLimitSeconds;
    return options;
}

} // namespace

std::unique_ptr<transfer::Session> MakeSftpSession(const SftpLogin& login)
{
    return std::make_unique<sftp::SftpSession>(OptionsOf(login));
}

std::function<std::unique_ptr<transfer::Session>()> SftpFolderSessions(const SftpLogin& login,
                                                                       transfer::Session& first)
{
    sftp::ConnectOptions options = OptionsOf(login);
    options.askUnknownHostKey = nullptr;
    if (auto* session = dynamic_cast<sftp::SftpSession*>(&first))
        options.pinnedFingerprint = session->ServerKey().fingerprint;
    auto factory = std::make_shared<sftp::SftpSessionFactory>(std::move(options), true);
    return [factory] { return factory->Make(); };
}

std::string SftpCipher(transfer::Session& session)
{
    auto* sftpSession = dynamic_cast<sftp::SftpSession*>(&session);
    return sftpSession ? sftpSession->Client().Transport().Cipher() : std::string();
}

bool IsChangedHostKey(const std::string& message, ErrorReason reason, ChangedHostKey& key)
{
    if (reason != ErrorReason::CertificateRejected ||
        message.find("has changed") == std::string::npos)
        return false;
    // "... has changed. Known: SHA256:old; now: SHA256:new (type) ..."
    static const std::regex fingerprint("SHA256:[A-Za-z0-9+/=]+");
    std::sregex_iterator found(message.begin(), message.end(), fingerprint);
    const std::size_t known = message.find("Known: ");
    const std::size_t now = message.find("now: ");
    for (; found != std::sregex_iterator(); ++found) {
        const auto at = static_cast<std::size_t>(found->position());
        if (known != std::string::npos && at == known + 7) key.known = found->str();
        if (now != std::string::npos && at == now + 5) key.now = found->str();
    }
    return true;
}

} // namespace app
