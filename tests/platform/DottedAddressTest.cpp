// Numeric IPv4 addresses as the classic sockets library reads them: what is an address, and what
// is left to the host lookup as a name.
#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct AddressRow {
    const char* text;
    const char* address; // dotted quad, or nullptr when the text is no address
};

class DottedAddress : public ::testing::TestWithParam<AddressRow> {};

TEST_P(DottedAddress, ParsesTheNumericFormsAndNothingElse)
{
    const uint32_t parsed = platform::ParseDottedAddress(GetParam().text);
    if (!GetParam().address)
        EXPECT_EQ(parsed, platform::kAddressNone) << GetParam().text;
    else
        EXPECT_EQ(platform::DottedAddressText(parsed), GetParam().address) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DottedAddress,
    ::testing::Values(AddressRow{"192.168.1.2", "192.168.1.2"}, AddressRow{"127.1", "127.0.0.1"},
                      AddressRow{"127.0.1", "127.0.0.1"}, AddressRow{"10.65535", "10.0.255.255"},
                      AddressRow{"2130706433", "127.0.0.1"}, AddressRow{"0x7f.1", "127.0.0.1"},
                      AddressRow{"0177.0.0.01", "127.0.0.1"}, AddressRow{"0.0.0.0", "0.0.0.0"},
                      AddressRow{"256.1.1.1", nullptr}, AddressRow{"1.2.3.4.5", nullptr},
                      AddressRow{"1.2.3.", nullptr}, AddressRow{"1..2", nullptr},
                      AddressRow{"10.16777216", nullptr}, AddressRow{"08.1.1.1", nullptr},
                      AddressRow{"0x", nullptr}, AddressRow{"4294967296", nullptr},
                      AddressRow{"127.0.0.1 ", nullptr}, AddressRow{"localhost", nullptr},
                      AddressRow{"", nullptr}));

} // namespace
