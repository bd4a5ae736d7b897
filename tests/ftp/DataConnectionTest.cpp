// The data connection shared by listings and transfers, against a scripted server: PASV and PORT
// set-up, the reply checks and failure protocol, draining, the release and nesting.
#include "ScriptedSession.h"

#include "ftp/FtpDataConnection.h"
#include "support/Outcome.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

using ftptest::ScriptedSession;
using Lines = std::vector<std::string>;

void RecordFailures(ScriptedSession& s, bool handle)
{
    s.ftp.OnFailure = [&s, handle](bool& handled, TCmdType type) {
        s.events.push_back(std::string("OnFailure ") + CmdTypeName(type));
        handled = handle;
    };
}

TEST(PassivePort, ComesFromTheLastTwoNumbersOrRaisesTheConversionError)
{
    EXPECT_EQ(ftpdata::PassivePort("227 Entering Passive Mode (192,168,1,2,7,138).\r\n"),
              std::optional<int32_t>(1930));
    const char* const broken[] = {"227 Entering Passive Mode\r\n",                  // no numbers
                                  "227 Entering Passive Mode 127,0,0,1,7,138\r\n"}; // no ")"
    for (const char* reply : broken) {
        try {
            ftpdata::PassivePort(reply);
            ADD_FAILURE() << "no exception for " << reply;
        } catch (const ConvertError& error) {
            EXPECT_EQ(error.Message(), "'' is not a valid integer value");
        }
    }
    // Numbers that cannot name a port name none, rather than being truncated into another one.
    EXPECT_EQ(ftpdata::PassivePort("227 (1,2,3,4,256,0)\r\n"), std::nullopt);
}

TEST(ExtendedPassivePort, TakesOnlyTheDelimitedFormWithAPortThatExists)
{
    const std::pair<const char*, std::optional<int32_t>> rows[] = {
        {"229 Entering Extended Passive Mode (|||6446|)\r\n", 6446},
        {"229 Any delimiter will do (!!!6446!)\r\n", 6446},
        {"229 Text (in parentheses) comes first (|||21|)\r\n", 21},
        {"229 Entering Extended Passive Mode (||6446|)\r\n", std::nullopt},   // two delimiters
        {"229 Entering Extended Passive Mode (|||6446)\r\n", std::nullopt},   // none closing
        {"229 Entering Extended Passive Mode (|||6446|\r\n", std::nullopt},   // no ")"
        {"229 Entering Extended Passive Mode (|||0|)\r\n", std::nullopt},     // no port
        {"229 Entering Extended Passive Mode (|||65536|)\r\n", std::nullopt}, // too high
        {"229 Entering Extended Passive Mode (|||165535|)\r\n", std::nullopt},
        {"229 Entering Extended Passive Mode (|||x|)\r\n", std::nullopt},
        {"229 Entering Extended Passive Mode (11164461)\r\n", std::nullopt}, // digit delimiter
        {"229 Entering Extended Passive Mode (|1|::1|6446|)\r\n", std::nullopt},
        {"229 Entering Extended Passive Mode\r\n", std::nullopt},
    };
    for (const auto& [reply, port] : rows)
        EXPECT_EQ(ftpdata::ExtendedPassivePort(reply), port) << reply;
}

// Over IPv6 the data channel is opened with EPSV or EPRT, each as the other end answers it. The
// data connection goes to the control connection's peer; an active one is announced with the
// control connection's own address.
struct Ipv6ChannelRow {
    const char* why;
    bool passive;
    std::string reply; // to EPSV or EPRT
    std::optional<ErrorReason> failure;
};

class Ipv6Channel : public ::testing::TestWithParam<Ipv6ChannelRow> {};

TEST_P(Ipv6Channel, IsOpenedWithTheExtendedCommands)
{
    const Ipv6ChannelRow& row = GetParam();
    ScriptedSession s(testsupport::IpFamily::V6);
    s.ftp.Passive = row.passive;
    RecordFailures(s, false);
    auto& script = s.LoggedIn();
    if (row.passive)
        script.PassiveListen().Expect("EPSV").ReplyPasv(row.reply);
    else
        script.ExpectPrefix("EPRT |2|::1|").Reply(row.reply);
    if (!row.failure) {
        script.Expect("LIST").Reply("150 ok");
        row.passive ? script.AcceptData() : script.ConnectBack();
        script.SendData("a\r\n").CloseData().Reply("226 done");
    }
    script.Expect("NOOP").Reply("200 ok");
    platform::SocketAddress dataPeer;
    s.ftp.OnTransactionStart = [&](TComponent*) {
        platform::GetPeerAddress(s.ftp.DataSocket->SocketHandle, &dataPeer);
    };
    s.StartLoggedIn();

    EXPECT_EQ(testsupport::ReasonRaisedBy([&] { s.ftp.ListDirectory(); }), row.failure);
    if (!row.failure) {
        EXPECT_EQ(platform::AddressText(dataPeer), "::1");
    }
    s.ftp.SendCommand("NOOP");
    EXPECT_EQ(s.ftp.ReplyCode, 200);
    EXPECT_TRUE(s.server.Verify());
    const Lines lines = s.Lines();
    ASSERT_GE(lines.size(), 3u);
    if (!row.passive) {
        EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(EPRT \|2\|::1\|\d+\|)")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Ipv6Channel,
    ::testing::Values(
        Ipv6ChannelRow{"EpsvWithThePort", true, "229 Entering Extended Passive Mode (|||{port}|)",
                       std::nullopt},
        Ipv6ChannelRow{"EpsvWithoutAPort", true, "229 Entering Extended Passive Mode (||{port}|)",
                       ErrorReason::BadReply},
        // PASV cannot carry IPv6: there is nothing to fall back to.
        Ipv6ChannelRow{"EpsvRefused", true, "500 EPSV not understood", ErrorReason::ServerRefused},
        Ipv6ChannelRow{"EprtAccepted", false, "200 EPRT command successful", std::nullopt},
        Ipv6ChannelRow{"EprtRefused", false, "522 Network protocol not supported, use (1)",
                       ErrorReason::DataConnectionFailed}),
    [](const auto& info) { return std::string(info.param.why); });

// A 4xx answer to PASV is parsed like any other, and its address is never used.
TEST(DataConnection, PassiveConnectsToTheControlHostWhateverTheReplySays)
{
    ScriptedSession s;
    s.ftp.Passive = true;
    RecordFailures(s, true);
    s.LoggedIn()
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv("425 Try (192,168,1,2,{p1},{p2})")
        .Expect("LIST")
        .Reply("150 ok")
        .AcceptData()
        .SendData("a\r\n")
        .CloseData()
        .Reply("226 done");
    std::string dataHost;
    s.ftp.OnTransactionStart = [&](TComponent*) { dataHost = s.ftp.DataSocket->Host; };
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(dataHost, "127.0.0.1");
    EXPECT_EQ(s.events, Lines{"OnSuccess ctList"});
    EXPECT_TRUE(s.server.Verify());
}

TEST(DataConnection, PassiveReplyWithoutTheNumbersEndsInTheConversionErrorAndFreesTheSocket)
{
    ScriptedSession s;
    s.ftp.Passive = true;
    RecordFailures(s, false);
    s.LoggedIn()
        .Expect("TYPE I")
        .Reply("200 binary")
        .Expect("PASV")
        .Reply("227 Entering Passive Mode 127,0,0,1,7,138");
    s.StartLoggedIn();

    try {
        s.ftp.Download("f", "");
        ADD_FAILURE() << "no exception";
    } catch (const ConvertError& error) {
        EXPECT_EQ(error.Message(), "'' is not a valid integer value");
    }
    EXPECT_EQ(s.ftp.DataSocket, nullptr);
    EXPECT_FALSE(s.ftp.TransferLock.Held());
    // Not a failure reply: only Download's outer guard reports it.
    EXPECT_EQ(s.events, Lines{"OnFailure ctDownload"});
    EXPECT_TRUE(s.server.Verify());
}

TEST(DataConnection, ActiveSendsTheControlConnectionsAddressAndTheListeningPort)
{
    ScriptedSession s;
    s.LoggedIn()
        .ExpectPrefix("PORT ")
        .Reply("200 ok")
        .Expect("LIST")
        .Reply("150 ok")
        .ConnectBack()
        .SendData("x\r\n")
        .CloseData()
        .Reply("226 done");
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    const Lines lines = s.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(PORT 127,0,0,1,\d{1,3},\d{1,3})")))
        << lines[2];
    EXPECT_EQ(s.events, Lines{"OnSuccess ctList"});
    EXPECT_TRUE(s.server.Verify());
}

TEST(DataConnection, StaleReplyLinesAreDrainedBeforeTheFirstCommand)
{
    ScriptedSession s;
    s.ftp.Passive = true;
    s.LoggedIn()
        .Expect("NOOP")
        .Send("200 ok\r\n226 old transfer\r\n221 older still\r\n")
        .Expect("TYPE I")
        .Reply("200 binary")
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("RETR f")
        .Reply("150 go")
        .AcceptData()
        .CloseData()
        .Reply("226 done");
    testsupport::TempDir dir;
    s.StartLoggedIn();

    s.ftp.SendCommand("NOOP");
    s.ftp.Download("f", dir.File("f"));
    EXPECT_EQ(s.events, (Lines{"OnSuccess ctOtherCommand", "OnSuccess ctDownload"}));
    EXPECT_TRUE(s.server.Verify());
}

TEST(DataConnection, HandledFailureReturnsQuietlyWithEverythingReleased)
{
    ScriptedSession s;
    s.ftp.Passive = true;
    RecordFailures(s, true);
    s.LoggedIn()
        .Expect("TYPE I")
        .Reply("200 binary")
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("RETR f")
        .Reply("550 no such file");
    s.StartLoggedIn();

    EXPECT_NO_THROW(s.ftp.Download("f", ""));
    EXPECT_EQ(s.events, Lines{"OnFailure ctDownload"});
    EXPECT_EQ(s.ftp.DataSocket, nullptr);
    EXPECT_FALSE(s.ftp.TransferLock.Held());
    EXPECT_TRUE(s.server.Verify());
}

TEST(DataConnection, NestedOperationReleasesItsOwnSocketAndNamesTheOuterOneAgain)
{
    ScriptedSession s;
    s.ftp.Passive = true;
    testsupport::TempDir dir;
    const std::string local = dir.File("f");
    testsupport::WriteFileBytes(local, "abc");
    s.LoggedIn()
        .Expect("TYPE I")
        .Reply("200 binary")
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("RETR f")
        .Reply("450 busy, try again")
        .Expect("TYPE I")
        .Reply("200 binary")
        .Expect("SIZE f")
        .Reply("213 7")
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("REST 3")
        .Reply("350 restarting")
        .Expect("RETR f")
        .Reply("150 go")
        .AcceptData()
        .SendData("defg")
        .CloseData()
        .Reply("226 done");
    TWirecore* outer = nullptr;
    TWirecore* inner = nullptr;
    TWirecore* afterInner = nullptr;
    s.ftp.OnTransactionStart = [&](TComponent*) { inner = s.ftp.DataSocket; };
    s.ftp.OnFailure = [&](bool& handled, TCmdType) {
        outer = s.ftp.DataSocket;
        s.ftp.ResumeDownload("f", local);
        afterInner = s.ftp.DataSocket;
        handled = true;
    };
    s.StartLoggedIn();

    s.ftp.Download("f", local);
    ASSERT_NE(outer, nullptr);
    EXPECT_NE(inner, nullptr);
    EXPECT_NE(inner, outer);
    EXPECT_EQ(afterInner, outer);
    EXPECT_EQ(s.ftp.DataSocket, nullptr);
    EXPECT_EQ(testsupport::ReadFileBytes(local), "abcdefg");
    EXPECT_EQ(s.events, Lines{"OnSuccess ctDownload"});
    EXPECT_TRUE(s.server.Verify());
}

} // namespace
