#include "net/Wirecore.h"
#include "platform/SocketErrors.h"

#include <gtest/gtest.h>

TEST(SocketErrors, TableGivesNumberAndText)
{
    EXPECT_EQ(TWirecore::ErrorMessageFor(10061), "10061:Connection refused");
    EXPECT_EQ(TWirecore::ErrorMessageFor(10054), "10054:Connection reset by peer");
    EXPECT_EQ(TWirecore::ErrorMessageFor(11004),
              "11004:Valid name, no data record of requested type");
    EXPECT_EQ(TWirecore::ErrorMessageFor(10101), "Unknown Error No. 10101");
    EXPECT_EQ(TWirecore::ErrorMessageFor(0), "");
    EXPECT_EQ(TWirecore::ErrorTextFor(10061), "Connection refused");
    EXPECT_EQ(TWirecore::ErrorTextFor(10101), "");
}

TEST(SocketErrors, CheckFiresOnErrorBeforeRaising)
{
    TWirecore socket(nullptr);
    socket.ReportLevel = 8;
    std::vector<std::string> seen;
    socket.OnStatus = [&](TComponent*, const std::string& status) { seen.push_back(status); };
    socket.OnError = [&](TComponent* sender, uint16_t number, const std::string& message) {
        EXPECT_EQ(sender, &socket);
        seen.push_back("OnError " + std::to_string(number) + " " + message);
    };
    platform::SetLastSocketError(10054);
    try {
        socket.CheckSocketError(10035);
        FAIL() << "no exception";
    } catch (const ESockError& error) {
        EXPECT_EQ(error.Message(), "10054:Connection reset by peer");
        seen.push_back("raised");
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "Looking Up Error Message");
    EXPECT_EQ(seen[1], "OnError 10054 10054:Connection reset by peer");
    EXPECT_EQ(seen[2], "raised");
    EXPECT_EQ(socket.LastError, 10054);
}

TEST(SocketErrors, ToleratedAndLowNumbersPassQuietly)
{
    TWirecore socket(nullptr);
    int errors = 0;
    socket.OnError = [&](TComponent*, uint16_t, const std::string&) { ++errors; };
    for (int number : {10035, 10000, 0}) {
        platform::SetLastSocketError(number);
        EXPECT_EQ(socket.CheckSocketError(10035), "");
        EXPECT_EQ(socket.LastError, number);
    }
    EXPECT_EQ(errors, 0);
}
