#pragma once
// A real OpenSSH server for the SFTP tests: sshd on 127.0.0.1 and a free port, with a host key,
// a configuration and the authorized keys of its own in a temporary directory, logging in the
// user who runs the tests (root in CI) with keys generated here. Stopped by its process id.
#include "support/RealServers.h"

#include <string>

namespace sftptest {

inline constexpr const char* kSshd = "/usr/sbin/sshd";
inline constexpr const char* kSshKeygen = "/usr/bin/ssh-keygen";

class TestSshd : public testsupport::RealServer {
public:
    TestSshd();
    static bool Available();
    ::testing::AssertionResult Start();
    // Before Start: SFTP sessions begin in Root() instead of the user's home directory.
    void StartSftpInRoot() { sftpInRoot_ = true; }

    std::string User() const;
    // Private key files: one plain, one encrypted with Passphrase(); both authorized.
    std::string ClientKey() const { return state_->File("client_key"); }
    std::string LockedClientKey() const { return state_->File("locked_key"); }
    static std::string Passphrase() { return "abre-te sesamo"; }
    // A key the server does not know.
    std::string StrangerKey() const { return state_->File("stranger_key"); }
    // The host key's public line ("ssh-ed25519 AAAA...") and its "SHA256:..." fingerprint.
    std::string HostKeyLine() const;
    std::string HostKeyFingerprint() const;
    // A known-hosts line for this server with another key: what a changed key looks like.
    std::string OtherKeyKnownHostsLine() const;
    std::string OtherKeyFingerprint() const;
    std::string KnownHostsLine() const;

private:
    std::string FingerprintOf(const std::string& publicKey) const;

    bool sftpInRoot_ = false;
};

} // namespace sftptest
