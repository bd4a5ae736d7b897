#pragma once
// A checksum of a byte stream, fed as the bytes pass by: SHA-256, SHA-1, MD5 (through OpenSSL's
// EVP, which stays private to this layer) or CRC-32. Final() gives the value as the servers write
// it: lower-case hex, eight digits for CRC-32.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

enum class DigestAlgorithm { Sha256, Sha1, Md5, Crc32 };

// "SHA-256", "SHA-1", "MD5", "CRC32": the names the HASH command uses.
const char* DigestName(DigestAlgorithm algorithm);
// The algorithm of one of those names, in any case; nothing for another name.
std::optional<DigestAlgorithm> DigestByName(std::string_view name);
// How many hex digits a value of `algorithm` has.
size_t DigestHexLength(DigestAlgorithm algorithm);

class Digest {
public:
    explicit Digest(DigestAlgorithm algorithm);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    DigestAlgorithm Algorithm() const { return algorithm_; }
    void Update(const void* bytes, size_t length);
    // The value of everything fed so far; the digest is spent afterwards.
    std::string Final();

private:
    struct Evp;
    DigestAlgorithm algorithm_;
    std::unique_ptr<Evp> evp_; // all but CRC-32
    unsigned long crc_ = 0;
};
