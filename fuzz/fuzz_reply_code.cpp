// The two ways a reply code is read: ReplyCodeOf (the greeting, and Transaction's rule) and
// LeadingReplyCode (the framing of replies). Both take the leading digits; they must agree on
// every line whose code is a plausible one, never go negative, and raise nothing but RangeError.
#include "net/ReplyCode.h"
#include "platform/Exception.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    int64_t expected = 0;
    for (size_t i = 0; i < digits && i < 10; ++i) expected = expected * 10 + (line[i] - '0');
    if (expected > INT32_MAX) expected = 0;

    const int final = LeadingReplyCode(line);
    if (final < 0) std::abort();
    try {
        const int16_t code = ReplyCodeOf(line);
        if (code < 0 || code != expected) std::abort();
        if (digits <= 4 && final != code) std::abort();
    } catch (const RangeError&) {
        if (expected <= INT16_MAX) std::abort();
    }
    return 0;
}
