// The text-to-integer conversion behind the window's port field, against a second reading of
// its rule: leading blanks, an optional sign, decimal digits or hexadecimal ones after "$" or
// "0x", nothing after them; decimal within the signed 32-bit range, hexadecimal within 32 bits.
#include "platform/Conversions.h"
#include "platform/Exception.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

std::optional<int32_t> Reference(const std::string& text)
{
    size_t i = text.find_first_not_of(' ');
    if (i == std::string::npos) return std::nullopt;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    unsigned base = 10;
    if (text.compare(i, 1, "$") == 0) {
        base = 16;
        i += 1;
    } else if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return std::nullopt;
    const std::string digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (text.find_first_not_of(digits, i) != std::string::npos) return std::nullopt;
    // Leading zeros aside, a number of more than ten significant digits fits nowhere.
    const size_t significant = text.find_first_not_of('0', i);
    if (significant != std::string::npos && text.size() - significant > 10) return std::nullopt;
    const unsigned long long magnitude =
        std::stoull(text.substr(i), nullptr, static_cast<int>(base));
    const unsigned long long limit =
        base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    if (magnitude > limit) return std::nullopt;
    uint32_t bits = static_cast<uint32_t>(magnitude);
    if (negative) bits = 0u - bits;
    return static_cast<int32_t>(bits);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<int32_t> expected = Reference(text);
    int32_t value = 0;
    const bool ok = platform::TryStrToInt(text, value);
    if (ok != expected.has_value() || (ok && value != *expected)) std::abort();
    try {
        if (platform::StrToInt(text) != value || !ok) std::abort();
    } catch (const ConvertError& error) {
        if (ok || error.Message() != "'" + text + "' is not a valid integer value") std::abort();
    }
    return 0;
}
