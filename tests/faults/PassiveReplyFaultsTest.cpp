// PASV replies that are broken or hostile: numbers that name no port, a missing parenthesis, an
// address that is not the server's. The data connection goes to the server or nowhere.
#include "FaultSession.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

using faults::FaultSession;
using faults::Lines;

// A listener on 127.0.0.1 that should never see a connection: the port a client would dial if
// it cut a PASV port down to 16 bits.
class Decoy {
public:
    Decoy()
    {
        if (!listener_.Valid()) throw std::runtime_error("decoy listener");
    }
    int High() const { return listener_.Port() >> 8; }
    int Low() const { return listener_.Port() & 0xFF; }
    // A connection that completed is in the accept queue by the time the client's connect
    // returned, so a look without waiting is enough.
    bool WasDialled() { return listener_.AcceptOne(0).Valid(); }

private:
    testsupport::LoopbackListener listener_{4, true};
};

std::string PasvReply(int p1, int p2)
{
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(p1) + "," + std::to_string(p2) +
           ").";
}

TEST(PassiveReplyFaults, NumbersThatNameNoPortFailWithTheReplyAndDialNothing)
{
    Decoy decoy;
    // Each of these, cut down to 16 bits, is the decoy's port; the last is port 0.
    const std::string replies[] = {
        PasvReply(decoy.High() + 256, decoy.Low()),
        PasvReply(decoy.High() - 1, decoy.Low() + 256),
        PasvReply(decoy.High() - 256, decoy.Low()),
        PasvReply(decoy.High(), decoy.Low() - 65536),
        PasvReply(0, 0),
    };
    for (const std::string& reply : replies) {
        SCOPED_TRACE(reply);
        FaultSession s;
        s.LoggedIn()
            .Expect("PASV")
            .Reply(reply)
            .Expect("TYPE I")
            .Reply("200 binary")
            .Expect("PASV")
            .Reply(reply)
            .Expect("NOOP")
            .Reply("200 ok");
        s.StartLoggedIn();

        // Without a handler, the reply line is the error; with one, the failure is reported.
        EXPECT_EQ(faults::MessageOf([&] { s.ftp.ListDirectory(); }), reply + "\r\n");
        EXPECT_EQ(s.events, Lines{"OnFailure ctList"});
        s.handleFailures = true;
        EXPECT_NO_THROW(s.ftp.Download("f", s.dir.File("f")));
        EXPECT_EQ(s.Count("OnFailure ctDownload"), 1u);
        EXPECT_EQ(s.Count("OnTransactionStart"), 0u);
        EXPECT_FALSE(decoy.WasDialled());
        faults::ExpectNextCommandWorks(s);
        EXPECT_TRUE(s.server.Verify());
    }
}

TEST(PassiveReplyFaults, AReplyWithoutParenthesesFailsWithTheConversionErrorAndTheSessionGoesOn)
{
    FaultSession s;
    s.LoggedIn()
        .Expect("PASV")
        .Reply("227 Entering Passive Mode 127,0,0,1,7,138")
        .Expect("PASV")
        .Reply("227 Entering Passive Mode =127,0,0,1,7,138")
        .Expect("NOOP")
        .Reply("200 ok");
    s.StartLoggedIn();

    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(faults::MessageOf([&] { s.ftp.ListDirectory(); }),
                  "'' is not a valid integer value");
    EXPECT_FALSE(s.ftp.ListInProgress);
    faults::ExpectNextCommandWorks(s);
    EXPECT_TRUE(s.server.Verify());
}

// The address in a PASV reply is the server's to choose and ours to ignore: whatever it says,
// the data connection goes to the host the control connection went to.
class ForeignPassiveAddress : public ::testing::TestWithParam<const char*> {};

TEST_P(ForeignPassiveAddress, IsIgnoredAndTheDataComesFromTheServer)
{
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        FaultSession s;
        s.ftp.Host = host;
        s.ftp.OnListItem = [&](const std::string& line) { s.events.push_back(line); };
        std::string dataHost;
        platform::SocketAddress dataPeer;
        s.ftp.OnTransactionStart = [&](TComponent*) {
            dataHost = s.ftp.DataSocket->Host;
            platform::GetPeerAddress(s.ftp.DataSocket->SocketHandle, &dataPeer);
        };
        // The server listens on 127.0.0.1 only; a client that dialled the reply's address would
        // find nobody there.
        s.LoggedIn()
            .PassiveListen()
            .Expect("PASV")
            .ReplyPasv(GetParam())
            .Expect("LIST")
            .Reply("150 aqui")
            .AcceptData()
            .SendData("arquivo\r\n")
            .CloseData()
            .Reply("226 fim")
            .Expect("NOOP")
            .Reply("200 ok");
        s.StartLoggedIn();

        s.ftp.ListDirectory();
        EXPECT_EQ(s.events, (Lines{"arquivo", "OnSuccess ctList"}));
        // The address the control connection reached, not the name once more.
        EXPECT_EQ(dataHost, "127.0.0.1");
        EXPECT_EQ(platform::DottedAddressText(dataPeer.address), "127.0.0.1");
        faults::ExpectNextCommandWorks(s);
        EXPECT_TRUE(s.server.Verify());
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, ForeignPassiveAddress,
                         ::testing::Values("227 Entering Passive Mode (127,0,0,2,{p1},{p2})",
                                           "227 Entering Passive Mode (0,0,0,0,{p1},{p2})",
                                           "227 Entering Passive Mode (255,255,255,255,{p1},{p2})",
                                           "227 Entering Passive Mode (999,-1,x,,{p1},{p2})",
                                           "227 =127,0,0,2,{p1},{p2})"));

} // namespace
