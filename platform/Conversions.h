#pragma once
// The run-time library's text-to-integer conversion.
#include <cstdint>
#include <string>

namespace platform {

// Leading blanks, an optional sign, then decimal digits, or hexadecimal digits after "$" or
// "0x"; nothing may follow. Raises ConvertError ("'%s' is not a valid integer value") otherwise,
// also when the value does not fit a signed 32-bit integer.
int32_t StrToInt(const std::string& text);

// The same rules; false instead of an exception.
bool TryStrToInt(const std::string& text, int32_t& value);

} // namespace platform
