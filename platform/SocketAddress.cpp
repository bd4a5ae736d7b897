#include "platform/SocketAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace platform {

namespace {

bool AllZero(const std::array<uint8_t, 16>& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// "eth0" or "2": the interface of a link-local address. 0 when there is no such interface.
uint32_t ScopeIdOf(const std::string& scope)
{
    uint32_t number = 0;
    const char* end = scope.data() + scope.size();
    const auto [rest, error] = std::from_chars(scope.data(), end, number);
    if (error == std::errc() && rest == end) return number;
    return ::if_nametoindex(scope.c_str());
}

std::optional<SocketAddress> ParseInet6(std::string text)
{
    // Brackets are how an IPv6 address is written beside a port (URLs, "[::1]:21"); a user may
    // well type them in the host field, and they are no part of the address.
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    SocketAddress result;
    result.family = kFamilyInet6;
    const size_t percent = text.find('%');
    if (percent != std::string::npos) {
        result.scopeId = ScopeIdOf(text.substr(percent + 1));
        if (result.scopeId == 0) return std::nullopt;
        text.resize(percent);
    }
    in6_addr bytes{};
    if (::inet_pton(AF_INET6, text.c_str(), &bytes) != 1) return std::nullopt;
    std::memcpy(result.address6.data(), &bytes, sizeof bytes);
    return result;
}

} // namespace

bool SocketAddress::IsNull() const { return IsInet6() ? AllZero(address6) : address == 0; }

std::optional<uint32_t> SocketAddress::Inet4Word() const
{
    if (!IsInet6()) return address;
    static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(address6.data(), kMappedPrefix, sizeof kMappedPrefix) != 0) return std::nullopt;
    uint32_t word = 0;
    std::memcpy(&word, address6.data() + 12, sizeof word);
    return word;
}

bool SameHost(const SocketAddress& a, const SocketAddress& b)
{
    const std::optional<uint32_t> a4 = a.Inet4Word();
    const std::optional<uint32_t> b4 = b.Inet4Word();
    if (a4 || b4) return a4 == b4;
    return a.address6 == b.address6 && a.scopeId == b.scopeId;
}

std::optional<SocketAddress> ParseAddressLiteral(const std::string& text)
{
    in_addr word{};
    // inet_aton rather than inet_pton: it also takes the classic shorthand forms ("127.1"). It
    // also stops at the first blank and ignores what follows ("127.0.0.1 x"), which is no address
    // at all; only digits, letters (hex) and dots may make one.
    const bool plain = text.find_first_not_of("0123456789abcdefxABCDEFX.") == std::string::npos;
    if (plain && ::inet_aton(text.c_str(), &word) != 0) {
        SocketAddress result;
        result.family = kFamilyInet;
        result.address = word.s_addr;
        return result;
    }
    return ParseInet6(text);
}

std::string AddressText(const SocketAddress& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.IsInet6()) {
        ::inet_ntop(AF_INET6, address.address6.data(), text, sizeof text);
    } else {
        in_addr word{};
        word.s_addr = address.address;
        ::inet_ntop(AF_INET, &word, text, sizeof text);
    }
    return text;
}

SocketAddress AnyAddress(uint16_t family)
{
    SocketAddress any;
    any.family = family == kFamilyInet6 ? kFamilyInet6 : kFamilyInet;
    return any;
}

} // namespace platform
