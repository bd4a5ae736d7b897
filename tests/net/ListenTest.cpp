// Listening, accepting and the local address texts of the socket component, with loopback peers.
#include "StreamPeer.h"
#include "support/EventLoop.h"
#include "support/Loopback.h"

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

// A plain client connected to 127.0.0.1:port (the handshake completes in the listen queue).
testsupport::UniqueFd ConnectClient(int port)
{
    return testsupport::ConnectLoopback(static_cast<uint16_t>(port));
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

TEST(WirecoreListen, AcceptsALoopbackPeerThatThenTalksToTheComponent)
{
    TWirecore socket(nullptr);
    socket.ReportLevel = 4;
    std::vector<std::string> reported;
    socket.OnStatus = [&](TComponent*, const std::string& text) { reported.push_back(text); };
    socket.Port = 0;
    socket.Listen(true);
    const int port = PortFromText(socket.LocalPortText());
    ASSERT_GT(port, 0);

    testsupport::UniqueFd connection = ConnectClient(port);
    const uint16_t clientPort = testsupport::LocalPort(connection.Get());
    streamtest::Peer client(std::move(connection));
    const platform::SocketHandle accepted = socket.Accept();
    ASSERT_NE(accepted, platform::kNoSocket);
    EXPECT_TRUE(socket.Connected);
    EXPECT_EQ(socket.RemoteAddress.address, platform::ParseDottedAddress("127.0.0.1"));
    EXPECT_EQ(platform::NetworkToHost16(socket.RemoteAddress.port), clientPort);
    EXPECT_EQ(reported, std::vector<std::string>{"Accepting"});

    // What the data connection does next: close the listening socket, take the accepted one. Its
    // notifications reach this component, so a line and the peer's close are seen.
    platform::CloseSocket(socket.SocketHandle);
    socket.SocketHandle = accepted;
    client.Send("150 here it comes\r\n");
    EXPECT_EQ(socket.ReadLn(), "150 here it comes\r\n");
    client.Close();
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !socket.Connected; }));
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

TEST(WirecoreLocalAddress, AddressTextOfALoopbackConnectionIs127001)
{
    TWirecore socket(nullptr);
    auto peer = streamtest::ConnectPair(socket);
    EXPECT_EQ(socket.LocalAddressText(), "127,0,0,1");
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
