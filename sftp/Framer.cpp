#include "sftp/Framer.h"

#include "sftp/Wire.h"

namespace sftp {

std::optional<std::string> Framer::Next()
{
    if (Buffered() < 4) return std::nullopt;
    Reader header(std::string_view(buffer_).substr(start_, 4));
    const uint32_t length = header.U32();
    if (length == 0) throw ProtocolError(Fault::Empty, "a packet of length 0");
    if (length > max_)
        throw ProtocolError(Fault::TooLong, "a packet of " + std::to_string(length) +
                                                " bytes, more than the " + std::to_string(max_) +
                                                " accepted");
    if (Buffered() - 4 < length) return std::nullopt;
    std::string packet = buffer_.substr(start_ + 4, length);
    start_ += 4 + length;
    // The consumed front is dropped once it is the larger part, so appending stays cheap.
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    return packet;
}

} // namespace sftp
