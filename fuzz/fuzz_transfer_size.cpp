// ParseTransferSize against a second reading of its rule: the run of digits nearest before the
// first "BYTE" in any case, as a 64-bit number, 0 when there is none or it does not fit.
#include "ftp/VaskFtp.h"

#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

int64_t Reference(const std::string& reply)
{
    std::string upper = reply;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t word = upper.find("BYTE");
    if (word == std::string::npos) return 0;
    const std::string before = reply.substr(0, word);
    const size_t last = before.find_last_of("0123456789");
    if (last == std::string::npos) return 0;
    const size_t notDigit = before.find_last_not_of("0123456789", last);
    const size_t first = notDigit == std::string::npos ? 0 : notDigit + 1;
    int64_t value = 0;
    const auto [end, error] =
        std::from_chars(before.data() + first, before.data() + last + 1, value);
    if (error != std::errc() || end != before.data() + last + 1) return 0;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const int64_t size64 = ParseTransferSize(reply);
    if (size64 < 0 || size64 != Reference(reply)) std::abort();
    return 0;
}
