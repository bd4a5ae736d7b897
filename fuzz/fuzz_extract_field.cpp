// ExtractField against a plain reading of its rule: cut the text at every separator, take the
// index-th piece (from 1), or nothing. Input: separator byte, two index bytes, the text.
#include "net/TextFields.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Reference(const std::string& text, char separator, int index)
{
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == separator)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (index < 1 || static_cast<size_t>(index) > fields.size()) return {};
    return fields[static_cast<size_t>(index) - 1];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    const char separator = static_cast<char>(data[0]);
    // -128 .. 32767 covers the absurd as well as the ordinary indexes.
    const int index = static_cast<int16_t>(data[1] | (data[2] << 8)) % 40;
    const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
    if (ExtractField(text, separator, index) != Reference(text, separator, index)) std::abort();
    return 0;
}
