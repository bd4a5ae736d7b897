// Reply text routines shared by the transfers.
#include "ftp/VaskFtp.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <limits>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

} // namespace

// The code of a reply's first line by Transaction's rule; the reply reader sets ReplyCode with it.
namespace {

bool IsWordByte(char c)
{
    const unsigned byte = static_cast<unsigned char>(c);
    const unsigned lower = byte | 0x20u;
    // Letters of the code page's upper half count as letters.
    return IsDigit(c) || (lower >= 'a' && lower <= 'z') || c == '_' || byte >= 0x80;
}

// At `at`: optional blanks, then the word "byte" or "bytes" (any case) ending there. The position
// after the word, or npos.
size_t ByteWordAt(const std::string& line, size_t at)
{
    while (at < line.size() && line[at] == ' ') ++at;
    if (at + 4 > line.size()) return std::string::npos;
    for (size_t i = 0; i < 4; ++i)
        if (AsciiUpper(line[at + i]) != "BYTE"[i]) return std::string::npos;
    at += 4;
    if (at < line.size() && AsciiUpper(line[at]) == 'S') ++at;
    if (at < line.size() && IsWordByte(line[at])) return std::string::npos;
    return at;
}

} // namespace

// "150 Opening BINARY mode data connection for big.iso (3221225472 bytes)". Only a count written
// as a count is trusted: a number that merely stands somewhere before the word (the reply's own
// code in "150 Here come the bytes: 21") would make a whole file look short. Sizes past 2 GiB
// are ordinary, so the count is 64-bit; a run too long even for that is no size at all.
int64_t ParseTransferSize(const std::string& reply)
{
    for (size_t begin = 1; begin < reply.size(); ++begin) {
        if (!IsDigit(reply[begin]) || (reply[begin - 1] != ' ' && reply[begin - 1] != '('))
            continue;
        size_t end = begin;
        while (end < reply.size() && IsDigit(reply[end])) ++end;
        if (ByteWordAt(reply, end) == std::string::npos) {
            begin = end;
            continue;
        }
        constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
        int64_t value = 0;
        for (size_t i = begin; i < end; ++i) {
            const int digit = reply[i] - '0';
            if (value > (kMax - digit) / 10) return 0;
            value = value * 10 + digit;
        }
        return value;
    }
    return 0;
}

std::string MaskSecret(std::string text, const std::string& secret)
{
    if (secret.empty()) return text;
    // The code that opens a reply line ("230 " or "230-") is the server's, never a password.
    const bool coded = text.size() >= 4 && IsDigit(text[0]) && IsDigit(text[1]) &&
                       IsDigit(text[2]) && (text[3] == ' ' || text[3] == '-');
    static const std::string kMask = "*****";
    for (size_t at = text.find(secret, coded ? 4 : 0); at != std::string::npos;
         at = text.find(secret, at)) {
        const size_t end = at + secret.size();
        const bool whole = (at == 0 || !IsWordByte(text[at - 1])) &&
                           (end == text.size() || !IsWordByte(text[end]));
        if (!whole) {
            ++at;
            continue;
        }
        text.replace(at, secret.size(), kMask);
        at += kMask.size();
    }
    return text;
}

std::string ReplyText(const std::vector<std::string>& lines)
{
    if (lines.empty()) return {};
    const std::string first = lines.front();
    const bool coded = first.size() >= 4 && IsDigit(first[0]) && IsDigit(first[1]) &&
                       IsDigit(first[2]) && (first[3] == '-' || first[3] == ' ');
    const std::string code = coded ? first.substr(0, 3) : std::string();
    std::string text = code;
    for (std::string line : lines) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (coded && line.compare(0, 3, code) == 0 &&
            (line.size() == 3 || line[3] == '-' || line[3] == ' '))
            line.erase(0, std::min<size_t>(line.size(), 4));
        const size_t begin = line.find_first_not_of(' ');
        if (begin == std::string::npos) continue;
        if (!text.empty()) text += ' ';
        text += line.substr(begin);
    }
    return text;
}
