#include "platform/PrintableText.h"

namespace platform {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendHex(std::string& out, const char* prefix, unsigned value)
{
    out += prefix;
    out += kHex[(value >> 4) & 0xF];
    out += kHex[value & 0xF];
}

// The length of the well-formed UTF-8 sequence starting at `at`, 0 when there is none.
size_t SequenceLength(std::string_view text, size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if (next < 0x80 || next > 0xBF) return 0;
    }
    return length;
}

} // namespace

std::string PrintableText(std::string_view text, LineBreaks lineBreaks)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            const bool keep =
                lineBreaks == LineBreaks::Keep &&
                (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n'));
            if (keep)
                out += static_cast<char>(c);
            else if (c == '\t')
                out += "\\t";
            else if (c == '\r')
                out += "\\r";
            else if (c == '\n')
                out += "\\n";
            else
                AppendHex(out, "\\x", c);
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        const size_t length = SequenceLength(text, i);
        if (length == 0) {
            if (c <= 0x9F)
                AppendHex(out, "\\x", c);
            else
                out += static_cast<char>(c);
            continue;
        }
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if (c == 0xC2 && second <= 0x9F)
            AppendHex(out, "\\u00", second);
        else
            out.append(text.substr(i, length));
        i += length - 1;
    }
    return out;
}

} // namespace platform
