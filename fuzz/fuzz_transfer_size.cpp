// ParseTransferSize against a second reading of its rule: the first run of digits that stands
// after a blank or "(" (so never the line's own code at its start) and is followed by optional
// blanks and the word "byte" or "bytes" in any case, not running on into a longer word; as a
// 64-bit number, 0 when there is none or it does not fit.
#include "ftp/VaskFtp.h"

#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

namespace {

int64_t Reference(const std::string& reply)
{
    // std::regex has no look-behind; the character before the run is matched and left out.
    static const std::regex count("[ (]([0-9]+) *[bB][yY][tT][eE]([sS])?");
    for (auto it = std::sregex_iterator(reply.begin(), reply.end(), count);
         it != std::sregex_iterator(); ++it) {
        const std::smatch& match = *it;
        const size_t after = static_cast<size_t>(match.position(0) + match.length(0));
        // A letter, digit, underscore or upper-half byte right after the word makes it another.
        if (after < reply.size()) {
            const auto next = static_cast<unsigned char>(reply[after]);
            if (std::isalnum(next) || next == '_' || next >= 0x80) continue;
        }
        int64_t value = 0;
        const std::string digits = match.str(1);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size()) return 0;
        return value;
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const int64_t size64 = ParseTransferSize(reply);
    if (size64 < 0 || size64 != Reference(reply)) std::abort();
    return 0;
}
