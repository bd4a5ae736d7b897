// Addresses of either family as the host field and the system give them.
#include "platform/SocketAddress.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

SocketAddress Parsed(const std::string& text)
{
    return ParseAddressLiteral(text).value_or(SocketAddress{});
}

} // namespace

TEST(SocketAddress, LiteralsOfEitherFamilyAndWhatIsLeftForTheResolver)
{
    struct Case {
        const char* text;
        uint16_t family; // 0: not a literal
        const char* asText;
        bool null;
    };
    const Case cases[] = {
        {"127.0.0.1", kFamilyInet, "127.0.0.1", false},
        {"127.1", kFamilyInet, "127.0.0.1", false},       // shorthand: the last number fills up
        {"2130706433", kFamilyInet, "127.0.0.1", false},  // one number for all four bytes
        {"0x7f.1", kFamilyInet, "127.0.0.1", false},      // hexadecimal parts
        {"0177.0.0.01", kFamilyInet, "127.0.0.1", false}, // octal parts
        {"127.0.1", kFamilyInet, "127.0.0.1", false},
        {"10.65535", kFamilyInet, "10.0.255.255", false}, // the last part fills 24 bits
        {"0.0.0.0", kFamilyInet, "0.0.0.0", true},        // a literal, but no host
        {"::1", kFamilyInet6, "::1", false},
        {"[::1]", kFamilyInet6, "::1", false}, // as written beside a port
        {"2001:DB8:0:0:0:0:0:1", kFamilyInet6, "2001:db8::1", false},
        {"::ffff:127.0.0.1", kFamilyInet6, "::ffff:127.0.0.1", false},
        {"::", kFamilyInet6, "::", true},
        {"fe80::1%1", kFamilyInet6, "fe80::1", false}, // the scope is not part of the text
        {"[::1", 0, "", false},
        {"::1]", 0, "", false},
        {"[127.0.0.1]", 0, "", false}, // brackets hold IPv6 only
        {"1::2::3", 0, "", false},
        {"fe80::1%no-such-interface", 0, "", false},
        {"localhost", 0, "", false},
        {"256.1.1.1", 0, "", false},
        {"127.0.0.1 x", 0, "", false}, // nothing may follow the address
        {"127.0.0.1 ", 0, "", false},
        {"1.2.3.4.5", 0, "", false},
        {"1.2.3.", 0, "", false},
        {"1..2", 0, "", false},
        {"10.16777216", 0, "", false}, // more than the 24 bits left
        {"08.1.1.1", 0, "", false},    // 8 is no octal digit
        {"4294967296", 0, "", false},  // more than 32 bits
        {"", 0, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<SocketAddress> literal = ParseAddressLiteral(c.text);
        ASSERT_EQ(literal.has_value(), c.family != 0);
        if (!literal) continue;
        EXPECT_EQ(literal->family, c.family);
        EXPECT_EQ(AddressText(*literal), c.asText);
        EXPECT_EQ(literal->IsNull(), c.null);
    }
}

TEST(SocketAddress, SameHostIgnoresPortsAndSeesIPv4BehindItsMappedForm)
{
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"::1", "[::1]", true},
        {"::1", "::2", false},
        {"::ffff:127.0.0.1", "127.0.0.1", true}, // a dual-stack socket's view of an IPv4 peer
        {"::ffff:127.0.0.2", "127.0.0.1", false},
        {"::1", "127.0.0.1", false},
        {"::", "0.0.0.0", false}, // the IPv6 any-address is no IPv4 host
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        SocketAddress a = Parsed(c.a);
        a.port = 21;
        EXPECT_EQ(SameHost(a, Parsed(c.b)), c.same);
        EXPECT_EQ(SameHost(Parsed(c.b), a), c.same);
    }
}
