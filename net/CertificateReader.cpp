#include "net/CertificateReader.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// Most specific part first, as "CN=localhost,O=Example"; characters beyond ASCII stay UTF-8
// instead of being escaped.
std::string NameText(const X509_NAME* name)
{
    if (name == nullptr) return {};
    std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
    if (!out) return {};
    constexpr unsigned long kFlags = XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB;
    if (X509_NAME_print_ex(out.get(), name, 0, kFlags) < 0) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

void ReadTime(const ASN1_TIME* time, std::string& text, std::chrono::sys_seconds& when)
{
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return;
    when = std::chrono::sys_seconds(std::chrono::seconds(::timegm(&parts)));
    char buffer[32];
    if (std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &parts) > 0) text = buffer;
}

std::string Sha256Fingerprint(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
        text += pair;
    }
    return text;
}

TCertificateProblem ProblemOf(int verifyError)
{
    switch (verifyError) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT: return TCertificateProblem::SelfSigned;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED: return TCertificateProblem::UntrustedIssuer;
    case X509_V_ERR_CERT_HAS_EXPIRED: return TCertificateProblem::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID: return TCertificateProblem::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return TCertificateProblem::NameMismatch;
    default: return TCertificateProblem::Other;
    }
}

} // namespace

TCertificateInfo DescribeCertificate(X509* certificate)
{
    TCertificateInfo info;
    if (certificate == nullptr) return info;
    info.Subject = NameText(X509_get_subject_name(certificate));
    info.Issuer = NameText(X509_get_issuer_name(certificate));
    ReadTime(X509_get0_notBefore(certificate), info.NotBefore, info.NotBeforeTime);
    ReadTime(X509_get0_notAfter(certificate), info.NotAfter, info.NotAfterTime);
    info.Fingerprint = Sha256Fingerprint(certificate);
    return info;
}

void AddVerifyProblem(TCertificateInfo& info, int verifyError)
{
    const TCertificateProblem problem = ProblemOf(verifyError);
    // "Other" covers many errors, each worth its own words.
    const std::string words = problem == TCertificateProblem::Other
                                  ? X509_verify_cert_error_string(verifyError)
                                  : ProblemText(problem);
    if (info.Has(problem) &&
        (problem != TCertificateProblem::Other || info.Problem.find(words) != std::string::npos))
        return;
    if (!info.Has(problem)) info.Problems.push_back(problem);
    if (!info.Problem.empty()) info.Problem += "; ";
    info.Problem += words;
}
