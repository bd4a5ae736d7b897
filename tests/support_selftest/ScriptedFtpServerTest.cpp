#include "support/ScriptedFtpServer.h"
#include "RawClient.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using selftest::RawSocket;
using testsupport::ScriptedFtpServer;

namespace {

bool Contains(const std::vector<std::string>& texts, const std::string& part)
{
    for (const auto& text : texts)
        if (text.find(part) != std::string::npos) return true;
    return false;
}

} // namespace

TEST(ScriptedFtpServer, PlaysRepliesChecksCommandsAndRecordsLinesAfterTheScript)
{
    ScriptedFtpServer server;
    server.Reply("220-first").Reply(" indented").Reply("220 hi").Send("331 no line end");
    server.Expect("USER bob").Send("\r\n");
    server.Start();

    RawSocket client = RawSocket::Connect(server.Port());
    EXPECT_EQ(client.ReadLine(), "220-first");
    EXPECT_EQ(client.ReadLine(), " indented");
    EXPECT_EQ(client.ReadLine(), "220 hi");
    ASSERT_TRUE(client.SendLine("USER bob"));
    EXPECT_EQ(client.ReadLine(), "331 no line end");
    ASSERT_TRUE(client.SendLine("QUIT")); // after the script: recorded, connection stays up
    client.Close();

    EXPECT_TRUE(server.Verify());
    ASSERT_TRUE(server.WaitUntilClosed(10s));
    EXPECT_EQ(server.ReceivedLines(), (std::vector<std::string>{"USER bob", "QUIT"}));
}

TEST(ScriptedFtpServer, MismatchFailsAndClosesTheConnection)
{
    ScriptedFtpServer server;
    server.Reply("220 hi").Expect("USER bob").Reply("331 never sent");
    server.Start();

    RawSocket client = RawSocket::Connect(server.Port());
    EXPECT_EQ(client.ReadLine(), "220 hi");
    ASSERT_TRUE(client.SendLine("USER eve"));
    EXPECT_EQ(client.ReadLine(), "<eof>");

    EXPECT_FALSE(server.Verify());
    EXPECT_TRUE(Contains(server.Failures(), "expected 'USER bob', got 'USER eve'"));
}

TEST(ScriptedFtpServer, BareLineFeedAndTimeoutAreFailures)
{
    ScriptedFtpServer bareLf;
    bareLf.Expect("NOOP");
    bareLf.Start();
    RawSocket client = RawSocket::Connect(bareLf.Port());
    ASSERT_TRUE(client.SendAll("NOOP\n"));
    EXPECT_FALSE(bareLf.Verify());
    EXPECT_TRUE(Contains(bareLf.Failures(), "bare LF"));

    ScriptedFtpServer silent;
    silent.SetTimeout(200ms).Expect("NOOP");
    silent.Start();
    RawSocket quiet = RawSocket::Connect(silent.Port());
    EXPECT_FALSE(silent.Verify());
    EXPECT_TRUE(Contains(silent.Failures(), "timeout"));
    EXPECT_EQ(quiet.ReadLine(), "<eof>");
}

TEST(ScriptedFtpServer, DestructorStopsAScriptThatIsWaiting)
{
    RawSocket client;
    {
        ScriptedFtpServer server;
        server.Reply("220 hi").Expect("USER bob").Pause(60s);
        server.Start();
        client = RawSocket::Connect(server.Port());
        EXPECT_EQ(client.ReadLine(), "220 hi");
    }
    EXPECT_EQ(client.ReadLine(), "<eof>");
}

TEST(ScriptedFtpServer, ConnectBackRefusesAddressesOffThisMachine)
{
    ScriptedFtpServer server;
    server.ExpectAny().ConnectBack();
    server.Start();
    RawSocket client = RawSocket::Connect(server.Port());
    ASSERT_TRUE(client.SendLine("PORT 10,0,0,1,4,1"));
    EXPECT_FALSE(server.Verify());
    EXPECT_TRUE(Contains(server.Failures(), "not a loopback address"));
}
