#pragma once
// What a client TLS handshake is given: whom the certificate must name, which authorities are
// trusted besides the system's, which certificates were accepted beforehand, and a session to
// resume.
#include <memory>
#include <string>
#include <vector>

// The memory of an established TLS session (its keys and the verdict on the server's
// certificate), for another connection to the same server to resume. Opaque; shared, so that a
// control connection can hand it to each of its data connections.
class TTlsSession;
using TTlsSessionRef = std::shared_ptr<const TTlsSession>;

struct TTlsSettings {
    // The host name or address the certificate must name, and (a name only) the one sent to the
    // server to choose its certificate. Empty: what the component connected to (Proxy or Host).
    std::string ServerName;
    // Verify against the system's trust anchors.
    bool SystemTrust = true;
    // PEM files of further trust anchors.
    std::vector<std::string> CaFiles;
    // SHA-256 fingerprints (any form CanonicalFingerprint reads) of certificates to accept even
    // though they do not verify.
    std::vector<std::string> PinnedFingerprints;
    // A session of an earlier connection to resume; the handshake falls back to a full one when
    // the server declines.
    TTlsSessionRef Resume;
};
