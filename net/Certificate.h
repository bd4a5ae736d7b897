#pragma once
// What a TLS server's certificate says about itself, and what checking it found: the facts a
// person needs to decide whether to trust a certificate that did not verify, and the fingerprint
// by which such a decision is remembered.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Why a certificate did not verify. A certificate may have several problems at once.
enum class TCertificateProblem {
    UntrustedIssuer, // signed by an authority that is not among the trust anchors
    SelfSigned,      // signed by itself and not itself a trust anchor
    Expired,
    NotYetValid,
    NameMismatch,  // issued for another host name or address
    NoCertificate, // the server sent none
    Other,         // anything else the chain check found (bad signature, wrong purpose, ...)
};

struct TCertificateInfo {
    // Distinguished names, most specific part first ("CN=localhost,O=Example"), in UTF-8.
    std::string Subject;
    std::string Issuer;
    // The validity period as text ("2026-12-07 12:22:34 UTC") and as time.
    std::string NotBefore;
    std::string NotAfter;
    std::chrono::sys_seconds NotBeforeTime{};
    std::chrono::sys_seconds NotAfterTime{};
    // SHA-256 of the certificate's DER form: upper-case hex pairs joined by colons.
    std::string Fingerprint;
    // The host names and addresses it is issued for (its alternative names, or its common name
    // when it has none), as written in it.
    std::vector<std::string> Names;
    // Empty when the certificate verified against the trust anchors and names the host.
    std::vector<TCertificateProblem> Problems;
    // The problems in words, joined by "; "; empty when it verified.
    std::string Problem;
    // Its fingerprint is one the caller accepted beforehand, whatever the problems.
    bool Pinned = false;

    bool Verified() const { return Problems.empty(); }
    // Verified, or accepted by its fingerprint.
    bool Trusted() const { return Problems.empty() || Pinned; }
    bool Has(TCertificateProblem problem) const;
};

// A SHA-256 fingerprint as people write it (hex pairs with or without colons, spaces or any
// case) in the form TCertificateInfo uses; nullopt when it is not 32 bytes of hex.
std::optional<std::string> CanonicalFingerprint(const std::string& text);

// One problem in words ("the certificate has expired", ...).
std::string ProblemText(TCertificateProblem problem);
