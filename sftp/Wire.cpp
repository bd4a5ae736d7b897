#include "sftp/Wire.h"

namespace sftp {

Writer::Writer(PacketType type)
{
    bytes_.assign(4, '\0');
    U8(static_cast<uint8_t>(type));
}

void Writer::U32(uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) U8(static_cast<uint8_t>(value >> shift));
}

void Writer::U64(uint64_t value)
{
    U32(static_cast<uint32_t>(value >> 32));
    U32(static_cast<uint32_t>(value));
}

void Writer::String(std::string_view value)
{
    U32(static_cast<uint32_t>(value.size()));
    bytes_.append(value);
}

std::string Writer::Finish() &&
{
    const auto length = static_cast<uint32_t>(bytes_.size() - 4);
    for (int i = 0; i < 4; ++i) bytes_[i] = static_cast<char>(length >> (24 - 8 * i));
    return std::move(bytes_);
}

std::string_view Reader::Take(size_t count)
{
    if (count > rest_.size())
        throw ProtocolError(Fault::Truncated, "a field runs past the end of the packet");
    auto taken = rest_.substr(0, count);
    rest_.remove_prefix(count);
    return taken;
}

uint8_t Reader::U8() { return static_cast<uint8_t>(Take(1)[0]); }

uint32_t Reader::U32()
{
    const auto bytes = Take(4);
    uint32_t value = 0;
    for (char byte : bytes) value = (value << 8) | static_cast<uint8_t>(byte);
    return value;
}

uint64_t Reader::U64()
{
    const uint64_t high = U32();
    return (high << 32) | U32();
}

std::string_view Reader::StringView() { return Take(U32()); }

std::string Reader::String() { return std::string(StringView()); }

void Reader::End() const
{
    if (!rest_.empty())
        throw ProtocolError(Fault::TrailingBytes,
                            std::to_string(rest_.size()) + " bytes after the last field");
}

} // namespace sftp
