// Reply text routines shared by the transfers.
#include "ftp/VaskFtp.h"

#include <climits>
#include <cstdint>
#include <limits>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

} // namespace

// The greeting is read without Transaction, so its code is read here, by Transaction's rule.
int16_t ReplyCodeOf(const std::string& line)
{
    int64_t value = 0;
    size_t digits = 0;
    while (digits < line.size() && digits < 10 && IsDigit(line[digits]))
        value = value * 10 + (line[digits++] - '0');
    if (digits == 0 || value > INT32_MAX) return 0;
    if (value > INT16_MAX) throw RangeError();
    return static_cast<int16_t>(value);
}

// "150 Opening BINARY mode data connection for big.iso (3221225472 bytes)" announces the size
// as the run of digits nearest before the word "bytes". Sizes past 2 GiB are ordinary, so the
// count is 64-bit; a run too long even for that is no size at all.
int64_t ParseTransferSize(const std::string& reply)
{
    std::string upper(reply.size(), '\0');
    for (size_t i = 0; i < reply.size(); ++i) upper[i] = AsciiUpper(reply[i]);
    const size_t word = upper.find("BYTE");
    if (word == std::string::npos) return 0;

    size_t end = word; // one past the last digit of the run
    while (end > 0 && !IsDigit(reply[end - 1])) --end;
    if (end == 0) return 0;
    size_t begin = end - 1;
    while (begin > 0 && IsDigit(reply[begin - 1])) --begin;

    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t value = 0;
    for (size_t i = begin; i < end; ++i) {
        const int digit = reply[i] - '0';
        if (value > (kMax - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}
