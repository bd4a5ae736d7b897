#include "sftp/SshTransportImpl.h"

#include <fstream>
#include <string>
#include <vector>

namespace sftp {

namespace {

std::string Fingerprint(ssh_key key)
{
    unsigned char* hash = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != 0) return "";
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    ssh_clean_pubkey_hash(&hash);
    std::string fingerprint = text ? text : "";
    ssh_string_free_char(text);
    return fingerprint;
}

std::string HostText(const ConnectOptions& options)
{
    return options.port == 22 ? options.host
                              : "[" + options.host + "]:" + std::to_string(options.port);
}

// The fingerprints the known-hosts files record for `host` ("name", or "[name]:port"), read
// line by line: libssh names the key on record only when it is the one the server showed.
std::string RecordedFingerprints(const std::string& host, const std::vector<std::string>& files)
{
    constexpr size_t kMostLines = 100000;
    std::string found;
    for (const std::string& file : files) {
        if (file.empty()) continue;
        std::ifstream in(file);
        std::string line;
        for (size_t read = 0; read < kMostLines && std::getline(in, line); ++read) {
            if (line.empty() || line[0] == '#') continue;
            ssh_knownhosts_entry* entry = nullptr;
            if (ssh_known_hosts_parse_line(host.c_str(), line.c_str(), &entry) == SSH_OK && entry &&
                entry->publickey) {
                const std::string fingerprint = Fingerprint(entry->publickey);
                const std::string shown =
                    fingerprint + " (" + ssh_key_type_to_char(ssh_key_type(entry->publickey)) + ")";
                if (!fingerprint.empty() && found.find(shown) == std::string::npos)
                    found += (found.empty() ? "" : ", ") + shown;
            }
            ssh_knownhosts_entry_free(entry);
        }
    }
    return found;
}

} // namespace

bool SshTransport::Impl::CheckHostKey()
{
    ssh_key server = nullptr;
    if (ssh_get_server_publickey(session, &server) != SSH_OK) {
        Fail("The server showed no host key", ErrorReason::CertificateRejected);
        return false;
    }
    key.type = ssh_key_type_to_char(ssh_key_type(server));
    key.fingerprint = Fingerprint(server);
    ssh_key_free(server);
    char* line = nullptr;
    if (ssh_session_export_known_hosts_entry(session, &line) == SSH_OK && line) {
        key.knownHostsLine = line;
        ssh_string_free_char(line);
    }
    const std::string host = HostText(options);

    ssh_knownhosts_entry* known = nullptr;
    const ssh_known_hosts_e verdict = ssh_session_get_known_hosts_entry(session, &known);
    std::string knownFingerprint;
    if (known) {
        if (known->publickey)
            knownFingerprint = Fingerprint(known->publickey) + " (" +
                               ssh_key_type_to_char(ssh_key_type(known->publickey)) + ")";
        ssh_knownhosts_entry_free(known);
    }
    // A pin accepts the key it names, and no other; a key other than the one on record is
    // refused all the same, as below.
    const bool changed = verdict == SSH_KNOWN_HOSTS_CHANGED || verdict == SSH_KNOWN_HOSTS_OTHER;
    if (!options.pinnedFingerprint.empty() && !changed) {
        if (key.fingerprint == options.pinnedFingerprint) return true;
        Fail("The host key of " + host + " is " + key.fingerprint + " (" + key.type +
                 "), not the pinned " + options.pinnedFingerprint + ": refused",
             ErrorReason::CertificateRejected);
        return false;
    }
    switch (verdict) {
    case SSH_KNOWN_HOSTS_OK: return true;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
        if (knownFingerprint.empty())
            knownFingerprint =
                RecordedFingerprints(host, {options.trustFile, options.userKnownHosts});
        Fail("WARNING: the host key of " + host + " has changed. Known: " +
                 (knownFingerprint.empty() ? std::string("a key of another type")
                                           : knownFingerprint) +
                 "; now: " + key.fingerprint + " (" + key.type +
                 "). Someone may be listening in; the connection was refused",
             ErrorReason::CertificateRejected);
        return false;
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
        if (!options.askUnknownHostKey) {
            Fail("The host key of " + host + " is not known: " + key.fingerprint + " (" + key.type +
                     "): refused",
                 ErrorReason::CertificateRejected);
            return false;
        }
        stage = Stage::AwaitingDecision;
        WatchSocket();
        {
            const std::weak_ptr<bool> token = alive;
            options.askUnknownHostKey(key, [this, token](HostKeyDecision decision) {
                if (token.expired()) return;
                Later([this, decision] { Decided(decision); });
            });
        }
        return false;
    case SSH_KNOWN_HOSTS_ERROR: break;
    }
    Fail("The known-hosts files could not be read: " + LibraryError(),
         ErrorReason::CertificateRejected);
    return false;
}

void SshTransport::Impl::Decided(HostKeyDecision decision)
{
    if (stage != Stage::AwaitingDecision) return;
    if (decision == HostKeyDecision::Cancel) {
        Fail("The host key " + key.fingerprint + " was not accepted",
             ErrorReason::CertificateRejected);
        return;
    }
    if (decision == HostKeyDecision::TrustAlways && !options.trustFile.empty()) {
        try {
            RememberHostKey(options.trustFile, key);
        } catch (const Exception& error) {
            Fail(error.Message(), error.Reason());
            return;
        }
    }
    stage = Stage::Authenticating;
    Progress();
    Pump();
}

} // namespace sftp
