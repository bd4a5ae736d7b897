// Listening, accepting and the local address texts of the socket component, with loopback peers.
#include "StreamPeer.h"
#include "support/EventLoop.h"
#include "support/Loopback.h"
#include "support/Outcome.h"

#include "net/Wirecore.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Port number from the ",p1,p2" text.
int PortFromText(const std::string& text)
{
    int high = -1, low = -1;
    if (std::sscanf(text.c_str(), ",%d,%d", &high, &low) != 2) return -1;
    return high * 256 + low;
}

using testsupport::IpFamily;

uint16_t FamilyOf(IpFamily family)
{
    return family == IpFamily::V6 ? platform::kFamilyInet6 : platform::kFamilyInet;
}

// A plain client connected to the family's loopback address and `port` (the handshake completes
// in the listen queue).
testsupport::UniqueFd ConnectClient(int port, IpFamily family = IpFamily::V4)
{
    return testsupport::ConnectLoopback(static_cast<uint16_t>(port), 5000, false, family);
}

// Whether this process may bind the port on the any-address (a low port needs privileges and
// must be free).
bool PortIsBindable(int port)
{
    testsupport::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    return ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

} // namespace

// An IPv6 data socket (for a server reached over IPv6) listens on "::" and accepts a peer of
// that family just as an IPv4 one does.
TEST(WirecoreListen, AcceptsALoopbackPeerThatThenTalksToTheComponent)
{
    for (IpFamily family : {IpFamily::V4, IpFamily::V6}) {
        SCOPED_TRACE(testsupport::LoopbackText(family));
        TWirecore socket(nullptr);
        socket.ReportLevel = 4;
        std::vector<std::string> reported;
        socket.OnStatus = [&](TComponent*, const std::string& text) { reported.push_back(text); };
        socket.UseSocketFamily(FamilyOf(family));
        socket.Port = 0;
        socket.Listen(true);
        EXPECT_EQ(platform::AddressText(socket.LocalAddress()),
                  family == IpFamily::V6 ? "::" : "0.0.0.0");
        const int port = PortFromText(socket.LocalPortText());
        ASSERT_GT(port, 0);

        testsupport::UniqueFd connection = ConnectClient(port, family);
        const uint16_t clientPort = testsupport::LocalPort(connection.Get());
        streamtest::Peer client(std::move(connection));
        const platform::SocketHandle accepted = socket.Accept();
        ASSERT_NE(accepted, platform::kNoSocket);
        EXPECT_TRUE(socket.Connected);
        EXPECT_EQ(platform::AddressText(socket.RemoteAddress), testsupport::LoopbackText(family));
        EXPECT_EQ(platform::NetworkToHost16(socket.RemoteAddress.port), clientPort);
        EXPECT_EQ(reported, std::vector<std::string>{"Accepting"});

        // What the data connection does next: close the listening socket, take the accepted one.
        // Its notifications reach this component, so a line and the peer's close are seen.
        platform::CloseSocket(socket.SocketHandle);
        socket.SocketHandle = accepted;
        client.Send("150 here it comes\r\n");
        EXPECT_EQ(socket.ReadLn(), "150 here it comes\r\n");
        client.Close();
        EXPECT_TRUE(testsupport::PumpUntil([&] { return !socket.Connected; }));
    }
}

TEST(WirecoreListen, WithSocketMessageAcceptKeepsWaitingUntilCancel)
{
    TWirecore socket(nullptr);
    int acceptReady = 0;
    socket.OnAcceptReady = [&](TComponent*) {
        ++acceptReady;
        // Still waiting after the notification: only a cancel ends it.
        QTimer::singleShot(100, [&] { socket.Cancel(); });
    };
    socket.Listen(false);
    streamtest::Peer client(ConnectClient(PortFromText(socket.LocalPortText())));
    try {
        socket.Accept();
        FAIL() << "Accept returned";
    } catch (const ESockError& error) {
        EXPECT_EQ(error.Message(), "Accepting Canceled");
    }
    EXPECT_EQ(acceptReady, 1);
    EXPECT_TRUE(socket.Connected);
    EXPECT_TRUE(socket.Canceled);
}

TEST(WirecoreListen, CancelOrTimeOutBeforeAnyPeerEndsAccept)
{
    TWirecore socket(nullptr);
    socket.Listen(true);
    socket.Cancel();
    try {
        socket.Accept();
        FAIL() << "Accept returned";
    } catch (const ESockError& error) {
        EXPECT_EQ(error.Message(), "Accepting Canceled");
    }
    EXPECT_TRUE(socket.Canceled); // Accept leaves the flag for the caller

    // Accept arms no timer, but one left running by another operation ends the wait.
    TWirecore timed(nullptr);
    timed.TimeOut = 50;
    timed.Listen(true);
    timed.StartTimer();
    EXPECT_THROW(timed.Accept(), ESockError);
    EXPECT_TRUE(timed.TimedOut);
}

TEST(WirecoreLocalAddress, PortTextSplitsThePortIntoHighAndLowByte)
{
    int checked = 0;
    for (int port : {21, 256}) {
        if (!PortIsBindable(port)) continue;
        TWirecore socket(nullptr);
        socket.Port = port;
        socket.Listen(true);
        EXPECT_EQ(socket.LocalPortText(), port == 21 ? ",0,21" : ",1,0");
        ++checked;
    }
    // Any port shows the same split.
    TWirecore socket(nullptr);
    socket.Listen(true);
    const std::string text = socket.LocalPortText();
    platform::SocketAddress local;
    ASSERT_EQ(platform::GetLocalAddress(socket.SocketHandle, &local), 0);
    const unsigned port = platform::NetworkToHost16(local.port);
    EXPECT_EQ(text, "," + std::to_string(port / 256) + "," + std::to_string(port % 256));
    if (checked < 2) GTEST_SKIP() << "ports 21 and 256 are not bindable here";
}

// The PORT pieces are IPv4 only; the addresses themselves come in either family.
TEST(WirecoreLocalAddress, EndsOfALoopbackConnectionInEitherFamily)
{
    struct Case {
        IpFamily family;
        const char* portArgument; // or the error
    };
    const Case cases[] = {
        {IpFamily::V4, "127,0,0,1"},
        {IpFamily::V6, "10047:Address family not supported by protocol family"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testsupport::LoopbackText(c.family));
        TWirecore socket(nullptr);
        auto peer = streamtest::ConnectPair(socket, c.family);
        const std::string error = testsupport::MessageOf([&] { socket.LocalAddressText(); });
        EXPECT_EQ(error == "(no exception)" ? socket.LocalAddressText() : error, c.portArgument);
        EXPECT_EQ(platform::AddressText(socket.LocalAddress()),
                  testsupport::LoopbackText(c.family));
        EXPECT_EQ(platform::AddressText(socket.PeerAddress()), testsupport::LoopbackText(c.family));
        EXPECT_EQ(socket.SocketFamily(), FamilyOf(c.family));
        // A connection is never swapped for a socket of another family.
        const uint16_t other = FamilyOf(c.family == IpFamily::V4 ? IpFamily::V6 : IpFamily::V4);
        EXPECT_EQ(testsupport::ReasonRaisedBy([&] { socket.UseSocketFamily(other); }),
                  ErrorReason::AlreadyConnected);
    }
}

TEST(WirecoreLocalAddress, SocketWithoutALocalAddressIsAnError)
{
    TWirecore socket(nullptr);
    const platform::SocketHandle own = socket.SocketHandle;
    socket.SocketHandle = platform::kNoSocket;
    for (auto text : {&TWirecore::LocalAddressText, &TWirecore::LocalPortText}) {
        try {
            (socket.*text)();
            ADD_FAILURE() << "a text for no address";
        } catch (const ESockError& error) {
            EXPECT_EQ(error.Message(), "10009:Bad file number");
        }
    }
    socket.SocketHandle = own;
}
