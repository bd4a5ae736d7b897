#include "support/RealServers.h"
#include "RawClient.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

using selftest::RawSocket;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

// Under CI a missing server must fail the test, never skip it quietly.
TEST(RealServers, RequireFailsInsteadOfSkippingUnderCi) {
    const char* old = std::getenv("CI");
    std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("CI", "true", 1);
    EXPECT_FATAL_FAILURE(TAVOLEN_REQUIRE(false, "some server"), "CI=true forbids skipping");
    if (saved)
        ::setenv("CI", saved->c_str(), 1);
    else
        ::unsetenv("CI");
}

TEST(RealServers, PyftpdlibAcceptsItsUser) {
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());

    RawSocket client = RawSocket::Connect(server.Port());
    EXPECT_EQ(client.ReadReply().substr(0, 4), "220 ");
    client.SendLine("USER " + server.User());
    EXPECT_EQ(client.ReadReply().substr(0, 4), "331 ");
    client.SendLine("PASS " + server.Password());
    EXPECT_EQ(client.ReadReply().substr(0, 4), "230 ");
}

// Also proves the file ownership story: vsftpd reads what the test wrote (active mode) and the
// test reads what vsftpd stored in the writable directory (passive mode).
TEST(RealServers, VsftpdServesAnonymousInBothModes) {
    TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd (as root)");
    testsupport::VsftpdServer server;
    ASSERT_TRUE(server.Start());
    const std::string payload = testsupport::AllByteValuesWithCrLf();
    WriteFileBytes(server.Root() + "/in.bin", payload);

    RawSocket client = RawSocket::Connect(server.Port());
    EXPECT_EQ(client.ReadReply().substr(0, 4), "220 ");
    client.SendLine("USER " + server.User());
    std::string reply = client.ReadReply();
    if (reply.rfind("331 ", 0) == 0) {
        client.SendLine("PASS " + server.Password());
        reply = client.ReadReply();
    }
    ASSERT_EQ(reply.substr(0, 4), "230 ") << reply;
    client.SendLine("TYPE I");
    EXPECT_EQ(client.ReadReply().substr(0, 4), "200 ");

    uint16_t port = 0;
    RawSocket listener = RawSocket::Listen(&port);
    client.SendLine(selftest::PortCommand(port));
    EXPECT_EQ(client.ReadReply().substr(0, 4), "200 ");
    client.SendLine("RETR in.bin");
    EXPECT_EQ(client.ReadReply().substr(0, 4), "150 ");
    RawSocket active = listener.Accept();
    EXPECT_EQ(active.ReadAll(), payload);
    EXPECT_EQ(client.ReadReply().substr(0, 4), "226 ");

    client.SendLine("PASV");
    reply = client.ReadReply();
    RawSocket passive = RawSocket::Connect(selftest::PasvPort(reply));
    ASSERT_TRUE(passive.Valid()) << reply;
    client.SendLine("STOR " + server.WritableFtpPath() + "/out.bin");
    EXPECT_EQ(client.ReadReply().substr(0, 4), "150 ");
    passive.SendAll(payload);
    passive.Close();
    EXPECT_EQ(client.ReadReply().substr(0, 4), "226 ");
    EXPECT_EQ(ReadFileBytes(server.WritableDir() + "/out.bin"), payload);
}
