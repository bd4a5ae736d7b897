#include "net/CertificateReader.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

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

std::string Asn1Text(const ASN1_STRING* text)
{
    if (text == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                       static_cast<size_t>(ASN1_STRING_length(text)));
}

// An address of an alternative name as people write it.
std::string AddressText(const ASN1_OCTET_STRING* address)
{
    const unsigned char* bytes = ASN1_STRING_get0_data(address);
    const int length = ASN1_STRING_length(address);
    char text[64] = {};
    if (length == 4) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    } else if (length == 16) {
        std::string v6;
        for (int i = 0; i < 16; i += 2) {
            char group[8];
            std::snprintf(group, sizeof group, i == 0 ? "%x" : ":%x",
                          static_cast<unsigned>(bytes[i] << 8 | bytes[i + 1]));
            v6 += group;
        }
        return v6;
    }
    return text;
}

struct NamesFree {
    void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};

// The names a host name or address is checked against: the alternative names, or the common
// name when there are none. Bounded, so that a certificate with thousands of names stays short.
std::vector<std::string> NamesOf(X509* certificate)
{
    constexpr size_t kMaxNames = 32;
    std::vector<std::string> names;
    std::unique_ptr<GENERAL_NAMES, NamesFree> alternatives(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
        if (names.size() == kMaxNames) break;
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives.get(), i);
        if (name->type == GEN_DNS) names.push_back(Asn1Text(name->d.dNSName));
        if (name->type == GEN_IPADD) names.push_back(AddressText(name->d.iPAddress));
    }
    if (!names.empty()) return names;
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index >= 0)
        names.push_back(Asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index))));
    return names;
}

// The names a certificate holds, for a message: "localhost, ftp.example.com".
std::string NameListText(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

// Words for a name check that failed, saying what the certificate does name.
std::string MismatchText(const TCertificateInfo& info, int verifyError)
{
    std::string words = verifyError == X509_V_ERR_IP_ADDRESS_MISMATCH
                            ? "the certificate does not name the address connected to"
                            : ProblemText(TCertificateProblem::NameMismatch);
    if (info.Names.empty()) return words;
    words += " (it names " + NameListText(info.Names) + ")";
    // An address is seldom in a certificate; the name the server is known by is.
    if (verifyError == X509_V_ERR_IP_ADDRESS_MISMATCH) words += "; connect by one of those names";
    return words;
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
    info.Names = NamesOf(certificate);
    return info;
}

void AddVerifyProblem(TCertificateInfo& info, int verifyError)
{
    const TCertificateProblem problem = ProblemOf(verifyError);
    // "Other" covers many errors, each worth its own words.
    const std::string words =
        problem == TCertificateProblem::Other          ? X509_verify_cert_error_string(verifyError)
        : problem == TCertificateProblem::NameMismatch ? MismatchText(info, verifyError)
                                                       : ProblemText(problem);
    if (info.Has(problem) &&
        (problem != TCertificateProblem::Other || info.Problem.find(words) != std::string::npos))
        return;
    if (!info.Has(problem)) info.Problems.push_back(problem);
    if (!info.Problem.empty()) info.Problem += "; ";
    info.Problem += words;
}
