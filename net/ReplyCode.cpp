// The reply-code reader: see ReplyCode.h.
#include "net/ReplyCode.h"

#include "platform/Exception.h"

namespace {

// The value of the leading decimal digits of `line`, the first `most` of them, and how many
// there were.
int64_t LeadingDigits(const std::string& line, size_t most, size_t& digits)
{
    int64_t value = 0;
    digits = 0;
    while (digits < line.size() && digits < most && line[digits] >= '0' && line[digits] <= '9')
        value = value * 10 + (line[digits++] - '0');
    return value;
}

} // namespace

int LeadingReplyCode(const std::string& line)
{
    size_t digits = 0;
    return static_cast<int>(LeadingDigits(line, 9, digits));
}

int16_t ReplyCodeOf(const std::string& line)
{
    size_t digits = 0;
    const int64_t value = LeadingDigits(line, 10, digits);
    if (digits == 0 || value > INT32_MAX) return 0;
    if (value > INT16_MAX) throw RangeError();
    return static_cast<int16_t>(value);
}
