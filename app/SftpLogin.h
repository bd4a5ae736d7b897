#pragma once
// The window's SFTP sessions: what the server field and the login fields make of one, and what
// the window shows of it that the session interface does not tell.
#include "net/TransferSession.h"
#include "sftp/HostKey.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace app {

struct SftpLogin {
    std::string host;
    uint16_t port = 22;
    std::string user;
    // Tried for password and keyboard-interactive logins, and as the passphrase of a key.
    std::string password;
    int timeoutMs = 30000;
    // While idle, a sign of life after this many seconds, for up to the limit (0: never).
    int keepAliveSeconds = 0;
    int keepAliveLimitSeconds = 0;
    // An unknown host key; a key known from ~/.ssh/known_hosts or the trust file is not asked
    // about, and a changed one is refused without asking.
    sftp::HostKeyQuestion askUnknownHostKey;
};

// A session that logs in with the agent's keys, ~/.ssh/id_ed25519, id_ecdsa and id_rsa, then
// keyboard-interactive and the password.
std::unique_ptr<transfer::Session> MakeSftpSession(const SftpLogin& login);

// The sessions of a folder transfer beside the window's SFTP session `first`: logged in as
// `login` says, each accepting the key `first` accepted and no other, nobody asked about it.
// They keep the files' times both ways.
std::function<std::unique_ptr<transfer::Session>()> SftpFolderSessions(const SftpLogin& login,
                                                                       transfer::Session& first);

// "chacha20-poly1305@openssh.com": the cipher of an SFTP session; empty for any other session.
std::string SftpCipher(transfer::Session& session);

// A refusal of the host key because it is not the one on record: the fingerprints on record
// and now ("SHA256:..."). Nothing when `outcome` is no such refusal.
struct ChangedHostKey {
    std::string known, now;
};
bool IsChangedHostKey(const std::string& message, ErrorReason reason, ChangedHostKey& key);

} // namespace app
