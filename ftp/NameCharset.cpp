#include "ftp/NameCharset.h"

namespace ftpnames {

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

} // namespace

bool IsUtf8(std::string_view bytes)
{
    size_t at = 0;
    while (at < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[at]);
        if (lead < 0x80) {
            ++at;
            continue;
        }
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF; // the range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;  // overlong
            if (lead == 0xED) high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;  // overlong
            if (lead == 0xF4) high = 0x8F; // above U+10FFFF
        } else {
            return false; // a continuation byte first, an overlong two-byte lead, or 0xF5..0xFF
        }
        if (at + length > bytes.size()) return false;
        const auto second = static_cast<unsigned char>(bytes[at + 1]);
        if (second < low || second > high) return false;
        for (size_t k = 2; k < length; ++k)
            if (!IsContinuation(static_cast<unsigned char>(bytes[at + k]))) return false;
        at += length;
    }
    return true;
}

Evidence Add(Evidence sofar, std::string_view line)
{
    if (sofar == Evidence::NotUtf8) return sofar;
    bool ascii = true;
    for (char c : line)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) return sofar;
    return IsUtf8(line) ? Evidence::Utf8 : Evidence::NotUtf8;
}

void NameCharsetGuess::EndListing()
{
    if (decided_ || listing_ == Evidence::None) return;
    decided_ = true;
    utf8_ = listing_ == Evidence::Utf8;
}

} // namespace ftpnames
