#include "support/ScriptedFtpServer.h"
#include "RawClient.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using selftest::RawSocket;
using testsupport::ScriptedFtpServer;

namespace {

bool Contains(const std::vector<std::string>& texts, const std::string& part) {
    for (const auto& text : texts)
        if (text.find(part) != std::string::npos) return true;
    return false;
}

} // namespace

TEST(ScriptedFtpServer, PlaysRepliesChecksCommandsAndRecordsLinesAfterTheScript) {
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

TEST(ScriptedFtpServer, MismatchFailsAndClosesTheConnection) {
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

TEST(ScriptedFtpServer, BareLineFeedAndTimeoutAreFailures) {
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

TEST(ScriptedFtpServer, DestructorStopsAScriptThatIsWaiting) {
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

TEST(ScriptedFtpServer, PassiveDownloadDeliversEveryByte) {
    const std::string payload = testsupport::AllByteValuesWithCrLf();
    testsupport::TempDir dir;
    std::string big = dir.File("sparse.bin");
    testsupport::CreateSparseFile(big, 3 * 1024 * 1024 + 7);

    ScriptedFtpServer server;
    server.Reply("220 hi").PassiveListen().Expect("PASV").ReplyPasv();
    server.AcceptData().SendData(payload).SendDataFromFile(big).CloseData().Reply("226 done");
    server.Start();

    RawSocket client = RawSocket::Connect(server.Port());
    EXPECT_EQ(client.ReadLine(), "220 hi");
    ASSERT_TRUE(client.SendLine("PASV"));
    std::string pasv = client.ReadLine();
    EXPECT_EQ(pasv.rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u) << pasv;
    RawSocket data = RawSocket::Connect(selftest::PasvPort(pasv));
    ASSERT_TRUE(data.Valid());
    std::string received = data.ReadAll();
    EXPECT_EQ(client.ReadLine(), "226 done");

    EXPECT_EQ(received.size(), payload.size() + 3 * 1024 * 1024 + 7);
    EXPECT_EQ(received.substr(0, payload.size()), payload);
    EXPECT_EQ(received.find_first_not_of('\0', payload.size()), std::string::npos);
    EXPECT_TRUE(server.Verify());
}

TEST(ScriptedFtpServer, ActiveUploadConnectsBackToTheClientsPort) {
    const std::string payload = testsupport::AllByteValuesWithCrLf();
    ScriptedFtpServer server;
    server.Reply("220 hi").ExpectPrefix("PORT ").Reply("200 ok");
    server.ConnectBack().ReceiveData().Reply("226 stored");
    server.Start();

    RawSocket client = RawSocket::Connect(server.Port());
    EXPECT_EQ(client.ReadLine(), "220 hi");
    uint16_t port = 0;
    RawSocket listener = RawSocket::Listen(&port);
    ASSERT_TRUE(client.SendLine(selftest::PortCommand(port)));
    EXPECT_EQ(client.ReadLine(), "200 ok");
    RawSocket data = listener.Accept();
    ASSERT_TRUE(data.SendAll(payload));
    data.Close();
    EXPECT_EQ(client.ReadLine(), "226 stored");

    EXPECT_TRUE(server.Verify());
    ASSERT_EQ(server.ReceivedData().size(), 1u);
    EXPECT_EQ(server.ReceivedData()[0], payload);
}

TEST(ScriptedFtpServer, ConnectBackRefusesAddressesOffThisMachine) {
    ScriptedFtpServer server;
    server.ExpectAny().ConnectBack();
    server.Start();
    RawSocket client = RawSocket::Connect(server.Port());
    ASSERT_TRUE(client.SendLine("PORT 10,0,0,1,4,1"));
    EXPECT_FALSE(server.Verify());
    EXPECT_TRUE(Contains(server.Failures(), "not a loopback address"));
}
