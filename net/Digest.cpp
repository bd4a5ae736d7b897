#include "net/Digest.h"

#include "platform/Exception.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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
// answer with. OpenSSL has no such digest. Eight bytes at a time ("slicing by eight"): table k
// gives what a byte does to the register with k more bytes after it, so eight lookups replace
// eight rounds that each wait for the one before. A byte at a time was slower than the download
// it checks.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

const CrcTables& CrcTable()
{
    static const CrcTables tables = [] {
        CrcTables built{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            built[0][n] = c;
        }
        for (size_t k = 1; k < built.size(); ++k)
            for (uint32_t n = 0; n < 256; ++n)
                built[k][n] = (built[k - 1][n] >> 8) ^ built[0][built[k - 1][n] & 0xff];
        return built;
    }();
    return tables;
}

uint32_t LittleEndian32(const unsigned char* in)
{
    return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

uint32_t CrcUpdate(uint32_t c, const unsigned char* in, size_t length)
{
    const CrcTables& t = CrcTable();
    for (; length >= 8; in += 8, length -= 8) {
        const uint32_t low = c ^ LittleEndian32(in);
        const uint32_t high = LittleEndian32(in + 4);
        c = t[7][low & 0xff] ^ t[6][(low >> 8) & 0xff] ^ t[5][(low >> 16) & 0xff] ^
            t[4][low >> 24] ^ t[3][high & 0xff] ^ t[2][(high >> 8) & 0xff] ^
            t[1][(high >> 16) & 0xff] ^ t[0][high >> 24];
    }
    for (; length > 0; ++in, --length) c = t[0][(c ^ *in) & 0xff] ^ (c >> 8);
    return c;
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

// The algorithm and what it has seen: used by one thread at a time, the caller's or the ring's.
class Digest::State {
public:
    explicit State(DigestAlgorithm algorithm)
    {
        const EVP_MD* md = EvpOf(algorithm);
        if (!md) return;
        context_ = EVP_MD_CTX_new();
        if (!context_ || EVP_DigestInit_ex(context_, md, nullptr) != 1) {
            EVP_MD_CTX_free(context_);
            throw Exception(std::string("Cannot compute ") + DigestName(algorithm),
                            ErrorReason::Unknown);
        }
    }
    ~State() { EVP_MD_CTX_free(context_); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void Update(const void* bytes, size_t length)
    {
        if (context_) {
            EVP_DigestUpdate(context_, bytes, length);
            return;
        }
        crc_ = CrcUpdate(crc_, static_cast<const unsigned char*>(bytes), length);
    }

    std::string Final()
    {
        if (!context_) {
            const uint32_t value = crc_ ^ 0xFFFFFFFFu;
            const unsigned char bytes[4] = {
                static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
            return Hex(bytes, sizeof bytes);
        }
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_, value, &length);
        return Hex(value, length);
    }

private:
    EVP_MD_CTX* context_ = nullptr; // all but CRC-32
    uint32_t crc_ = 0xFFFFFFFFu;
};

// The blocks between the caller and the hashing thread. The caller fills block `filled_` (of
// kRingBlocks, taken in turn) while the thread hashes the blocks before it; a block is the
// caller's again once the thread is done with it. Counts only grow: `filled_ - hashed_` blocks
// are with the thread, and the caller waits while that is the whole ring.
class Digest::Ring {
public:
    explicit Ring(State& state)
        : state_(state),
          memory_(std::make_unique_for_overwrite<char[]>(kRingBlocks * kRingBlockSize))
    {
        thread_ = std::thread([this] { Run(); });
    }
    // Waits for the thread; what it has not hashed yet is dropped unless Drain() came first.
    ~Ring()
    {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        toThread_.notify_one();
        thread_.join();
    }
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    std::span<char> Room()
    {
        if (!block_) block_ = NextBlock();
        return {block_ + fill_, kRingBlockSize - fill_};
    }

    void Feed(const char* bytes, size_t length)
    {
        if (block_ && bytes == block_ + fill_ && length <= kRingBlockSize - fill_) {
            // Put there through Room(): already where it belongs.
            fill_ += length;
            if (fill_ == kRingBlockSize) Hand();
            return;
        }
        while (length > 0) {
            if (!block_) block_ = NextBlock();
            const size_t room = kRingBlockSize - fill_;
            const size_t part = std::min(room, length);
            std::memcpy(block_ + fill_, bytes, part);
            fill_ += part;
            bytes += part;
            length -= part;
            if (fill_ == kRingBlockSize) Hand();
        }
    }

    // Everything fed is hashed when this returns; the thread has ended.
    void Drain()
    {
        if (fill_ > 0) Hand();
        {
            std::lock_guard lock(mutex_);
            draining_ = true;
        }
        toThread_.notify_one();
        thread_.join();
    }

private:
    char* Block(uint64_t count) { return memory_.get() + (count % kRingBlocks) * kRingBlockSize; }

    char* NextBlock()
    {
        std::unique_lock lock(mutex_);
        toCaller_.wait(lock, [this] { return filled_ - hashed_ < kRingBlocks; });
        return Block(filled_);
    }

    void Hand()
    {
        {
            std::lock_guard lock(mutex_);
            lengths_[filled_ % kRingBlocks] = fill_;
            ++filled_;
        }
        toThread_.notify_one();
        block_ = nullptr;
        fill_ = 0;
    }

    void Run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            toThread_.wait(lock, [this] { return stopping_ || draining_ || hashed_ < filled_; });
            if (stopping_ || hashed_ == filled_) return;
            const char* block = Block(hashed_);
            const size_t length = lengths_[hashed_ % kRingBlocks];
            lock.unlock();
            state_.Update(block, length);
            lock.lock();
            ++hashed_;
            toCaller_.notify_one();
        }
    }

    State& state_;
    std::unique_ptr<char[]> memory_;
    // The caller's alone.
    char* block_ = nullptr;
    size_t fill_ = 0;
    // Under mutex_.
    std::mutex mutex_;
    std::condition_variable toThread_;
    std::condition_variable toCaller_;
    std::array<size_t, kRingBlocks> lengths_{};
    uint64_t filled_ = 0;
    uint64_t hashed_ = 0;
    bool draining_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

Digest::Digest(DigestAlgorithm algorithm)
    : algorithm_(algorithm), state_(std::make_unique<State>(algorithm))
{
}

// The ring goes first: its thread uses the state.
Digest::~Digest() { ring_.reset(); }

void Digest::Update(const void* bytes, size_t length)
{
    if (length == 0) return;
    if (!ring_ && !ringFailed_ && hashedHere_ + length > kInlineBytes) {
        try {
            ring_ = std::make_unique<Ring>(*state_);
        } catch (const std::system_error&) {
            ringFailed_ = true; // no thread to be had: slower, but the value is the same
        }
    }
    if (ring_) return ring_->Feed(static_cast<const char*>(bytes), length);
    state_->Update(bytes, length);
    hashedHere_ += length;
}

std::span<char> Digest::Room() { return ring_ ? ring_->Room() : std::span<char>(); }

std::string Digest::Final()
{
    if (ring_) {
        ring_->Drain();
        ring_.reset();
    }
    return state_->Final();
}
