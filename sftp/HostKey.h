#pragma once
// The server's host key as the owner of a connection sees it, and what the owner decides about
// a key nobody knows yet.
#include <functional>
#include <string>

namespace sftp {

struct HostKey {
    std::string type;        // "ssh-ed25519", "ecdsa-sha2-nistp256", ...
    std::string fingerprint; // "SHA256:" and the base64 of the key's SHA-256, as OpenSSH shows it
    // The line of a known-hosts file that names it for this host and port.
    std::string knownHostsLine;
};

enum class HostKeyDecision {
    TrustAlways, // connect, and write the key to the trust file
    TrustOnce,   // connect this time
    Cancel,
};

// Asked when the key is in neither known-hosts file; `answer` may be called later, from the
// event loop (the window asks the user). A changed key is never asked about: it is refused.
using HostKeyQuestion =
    std::function<void(const HostKey& key, std::function<void(HostKeyDecision)> answer)>;

// Writes `key.knownHostsLine` to the known-hosts file at `path` (and its directory, private to
// the user), in place of any line the file had for the same host and port: accepting a key
// replaces the one on record instead of adding a second. Throws FileWriteError.
void RememberHostKey(const std::string& path, const HostKey& key);

// ~/.config/tavolen/known_hosts, under XDG_CONFIG_HOME when that is set to an absolute path.
std::string DefaultTrustFile();
// ~/.ssh/known_hosts.
std::string UserKnownHostsFile();

} // namespace sftp
