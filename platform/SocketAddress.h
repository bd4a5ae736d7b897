#pragma once
// The address of one end of a TCP connection, IPv4 or IPv6, as a small value: what a connect is
// aimed at, what a listening socket is bound to, what the system says about either end of a
// connection. Ports and IPv4 words are kept in network byte order, as the sockets calls take them.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Address families as the classic sockets library numbers them, whatever the system's own are.
inline constexpr uint16_t kFamilyInet = 2;
inline constexpr uint16_t kFamilyInet6 = 23;

struct SocketAddress {
    uint16_t family = 0;
    uint16_t port = 0;                  // network byte order
    uint32_t address = 0;               // IPv4: the address word, network byte order
    std::array<uint8_t, 16> address6{}; // IPv6: the sixteen address bytes
    uint32_t scopeId = 0;               // IPv6: the interface a link-local address belongs to

    bool IsInet6() const { return family == kFamilyInet6; }
    // No address known: IPv4 0.0.0.0 or IPv6 "::" (both are the any-address, never a peer).
    bool IsNull() const;
    // The IPv4 word of an IPv4 address or of an IPv4-mapped IPv6 one (::ffff:a.b.c.d).
    std::optional<uint32_t> Inet4Word() const;
};

// Whether two addresses name the same host, ports aside. An IPv4-mapped IPv6 address is the IPv4
// host it maps: a dual-stack socket sees an IPv4 peer that way.
bool SameHost(const SocketAddress& a, const SocketAddress& b);

// A literal address in `text` (port 0), or nothing when the text is not one, i.e. a name:
//  - IPv4 in every form inet_aton takes ("127.0.0.1", the shorthand "127.1", "0x7f.1",
//    "2130706433"); "0.0.0.0" is a literal, the null address;
//  - IPv6 as inet_pton takes it ("::1", "::ffff:127.0.0.1"), alone or in brackets ("[::1]"),
//    with an optional "%scope" (an interface name or number).
std::optional<SocketAddress> ParseAddressLiteral(const std::string& text);

// The address as text: dotted decimal for IPv4, the shortest IPv6 form (no brackets, no scope:
// a scope means something only on this host).
std::string AddressText(const SocketAddress& address);

// The any-address of a family (0.0.0.0 or ::), port 0: what a listening socket binds.
SocketAddress AnyAddress(uint16_t family);

} // namespace platform
