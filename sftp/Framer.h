#pragma once
// Splits the byte stream from the server into packets. Bytes arrive in whatever pieces the
// transport delivers; a packet comes out once it is whole. A length past the limit is refused as
// soon as it is read, so a hostile server cannot make us hold more than one packet's worth.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sftp {

// Our largest READ is far below this; OpenSSH's server sends at most 256 KiB in one packet.
inline constexpr size_t kMaxPacketLength = 1024 * 1024;

class Framer {
public:
    explicit Framer(size_t maxPacketLength = kMaxPacketLength) : max_(maxPacketLength) {}
    void Feed(std::string_view bytes) { buffer_.append(bytes); }
    // The next whole packet without its length, or nothing yet. Throws ProtocolError for a
    // length of 0 or past the limit.
    std::optional<std::string> Next();
    size_t Buffered() const { return buffer_.size() - start_; }

private:
    size_t max_;
    std::string buffer_;
    size_t start_ = 0; // where the unread bytes begin
};

} // namespace sftp
