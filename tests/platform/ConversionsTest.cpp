#include "platform/Conversions.h"
#include "platform/Exception.h"

#include <gtest/gtest.h>

TEST(StrToInt, AcceptsDecimalHexAndLeadingBlanks)
{
    EXPECT_EQ(platform::StrToInt("21"), 21);
    EXPECT_EQ(platform::StrToInt(" 21"), 21);
    EXPECT_EQ(platform::StrToInt("   -7"), -7);
    EXPECT_EQ(platform::StrToInt("+8"), 8);
    EXPECT_EQ(platform::StrToInt("$15"), 21);
    EXPECT_EQ(platform::StrToInt("0x15"), 21);
    EXPECT_EQ(platform::StrToInt("0X1f"), 31);
    EXPECT_EQ(platform::StrToInt("-$10"), -16);
    EXPECT_EQ(platform::StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(platform::StrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(platform::StrToInt("$FFFFFFFF"), -1);
}

TEST(StrToInt, RejectsAnythingElseWithTheConversionMessage)
{
    for (const char* text : {"", " ", "2 1", "21a", "21 ", "$", "0x", "-", "2147483648",
                             "$1FFFFFFFF", "1e3", "\t21"}) {
        try {
            platform::StrToInt(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const ConvertError& error) {
            EXPECT_EQ(error.Message(), std::string("'") + text + "' is not a valid integer value");
        }
    }
}
