#pragma once
// A checksum of a byte stream, fed as the bytes pass by: SHA-256, SHA-1, MD5 (through OpenSSL's
// EVP, which stays private to this layer) or CRC-32. Final() gives the value as the servers write
// it: lower-case hex, eight digits for CRC-32.
//
// A download that is checked this way would otherwise spend as long hashing as receiving, one
// after the other on the one thread. So, once a stream has shown itself long enough to be worth
// it, the hashing moves to a thread of the digest's own: Update() copies the bytes into a small
// ring of fixed blocks and returns, and waits only when the ring is full. The first bytes (and so
// the whole of a small file) are hashed where Update() is called, without a thread. The thread
// touches nothing but the ring and the algorithm's state; Final() and the destructor wait for it.
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
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
    // Bytes hashed where Update() is called before the hashing moves to the digest's thread.
    static constexpr size_t kInlineBytes = 1 << 20;
    // The ring the thread is fed through: kRingBlocks blocks of kRingBlockSize bytes.
    static constexpr size_t kRingBlockSize = 1 << 20;
    static constexpr size_t kRingBlocks = 4;

    explicit Digest(DigestAlgorithm algorithm);
    // Without Final(), bytes not hashed yet are dropped and the thread is stopped.
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    DigestAlgorithm Algorithm() const { return algorithm_; }
    void Update(const void* bytes, size_t length);
    // Where the next bytes may be put before they are passed to Update(), which then does not
    // copy them: the rest of the ring's current block. Empty while the stream is still hashed in
    // place. Waits while the ring is full.
    std::span<char> Room();
    // The value of everything fed so far; the digest is spent afterwards.
    std::string Final();

private:
    class State;
    class Ring;

    DigestAlgorithm algorithm_;
    std::unique_ptr<State> state_;
    std::unique_ptr<Ring> ring_; // from the first byte past kInlineBytes on
    size_t hashedHere_ = 0;
    bool ringFailed_ = false; // no thread could be had: everything is hashed here
};
