#include "net/Digest.h"

#include "platform/Exception.h"

#include <array>
#include <cctype>
#include <openssl/evp.h>

namespace {

constexpr const char* kHexDigits = "0123456789abcdef";

std::string Hex(const unsigned char* bytes, size_t length)
{
    std::string hex;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        hex += kHexDigits[bytes[i] >> 4];
        hex += kHexDigits[bytes[i] & 0x0f];
    }
    return hex;
}

// The reflected CRC-32 of zip and Ethernet (polynomial 0xEDB88320), which XCRC and HASH CRC32
// answer with. OpenSSL has no such digest.
const std::array<unsigned long, 256>& CrcTable()
{
    static const std::array<unsigned long, 256> table = [] {
        std::array<unsigned long, 256> built{};
        for (unsigned long n = 0; n < 256; ++n) {
            unsigned long c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320UL ^ (c >> 1) : c >> 1;
            built[n] = c;
        }
        return built;
    }();
    return table;
}

const EVP_MD* EvpOf(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Sha256: return EVP_sha256();
    case DigestAlgorithm::Sha1: return EVP_sha1();
    case DigestAlgorithm::Md5: return EVP_md5();
    case DigestAlgorithm::Crc32: break;
    }
    return nullptr;
}

} // namespace

const char* DigestName(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Sha256: return "SHA-256";
    case DigestAlgorithm::Sha1: return "SHA-1";
    case DigestAlgorithm::Md5: return "MD5";
    case DigestAlgorithm::Crc32: return "CRC32";
    }
    return "";
}

std::optional<DigestAlgorithm> DigestByName(std::string_view name)
{
    std::string upper(name);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (DigestAlgorithm algorithm : {DigestAlgorithm::Sha256, DigestAlgorithm::Sha1,
                                      DigestAlgorithm::Md5, DigestAlgorithm::Crc32})
        if (upper == DigestName(algorithm)) return algorithm;
    return std::nullopt;
}

size_t DigestHexLength(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Sha256: return 64;
    case DigestAlgorithm::Sha1: return 40;
    case DigestAlgorithm::Md5: return 32;
    case DigestAlgorithm::Crc32: return 8;
    }
    return 0;
}

struct Digest::Evp {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~Evp() { EVP_MD_CTX_free(context); }
};

Digest::Digest(DigestAlgorithm algorithm) : algorithm_(algorithm)
{
    const EVP_MD* md = EvpOf(algorithm);
    if (!md) {
        crc_ = 0xFFFFFFFFUL;
        return;
    }
    evp_ = std::make_unique<Evp>();
    if (!evp_->context || EVP_DigestInit_ex(evp_->context, md, nullptr) != 1)
        throw Exception(std::string("Cannot compute ") + DigestName(algorithm),
                        ErrorReason::Unknown);
}

Digest::~Digest() = default;

void Digest::Update(const void* bytes, size_t length)
{
    if (evp_) {
        EVP_DigestUpdate(evp_->context, bytes, length);
        return;
    }
    const auto* in = static_cast<const unsigned char*>(bytes);
    const auto& table = CrcTable();
    unsigned long c = crc_;
    for (size_t i = 0; i < length; ++i) c = table[(c ^ in[i]) & 0xff] ^ (c >> 8);
    crc_ = c;
}

std::string Digest::Final()
{
    if (!evp_) {
        const unsigned long value = (crc_ ^ 0xFFFFFFFFUL) & 0xFFFFFFFFUL;
        const unsigned char bytes[4] = {
            static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
            static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
        return Hex(bytes, sizeof bytes);
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(evp_->context, value, &length);
    return Hex(value, length);
}
