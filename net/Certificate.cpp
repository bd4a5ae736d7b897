#include "net/Certificate.h"

#include <algorithm>
#include <cctype>

bool TCertificateInfo::Has(TCertificateProblem problem) const
{
    return std::find(Problems.begin(), Problems.end(), problem) != Problems.end();
}

std::optional<std::string> CanonicalFingerprint(const std::string& text)
{
    constexpr size_t kDigestBytes = 32;
    std::string digits;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isxdigit(u)) {
            digits += static_cast<char>(std::toupper(u));
        } else if (c != ':' && c != ' ') {
            return std::nullopt;
        }
    }
    if (digits.size() != 2 * kDigestBytes) return std::nullopt;
    std::string canonical;
    for (size_t i = 0; i < digits.size(); i += 2) {
        if (i > 0) canonical += ':';
        canonical.append(digits, i, 2);
    }
    return canonical;
}

std::string ProblemText(TCertificateProblem problem)
{
    switch (problem) {
    case TCertificateProblem::UntrustedIssuer: return "issued by an authority that is not trusted";
    case TCertificateProblem::SelfSigned: return "self-signed and not trusted";
    case TCertificateProblem::Expired: return "the certificate has expired";
    case TCertificateProblem::NotYetValid: return "the certificate is not yet valid";
    case TCertificateProblem::NameMismatch: return "issued for another host name";
    case TCertificateProblem::NoCertificate: return "the server sent no certificate";
    case TCertificateProblem::Other: break;
    }
    return "the certificate chain does not verify";
}
