#include "NetTestUtil.h"

#include "net/Wirecore.h"
#include "platform/HostLookup.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

// Makes the platform's host lookup answer as a test wants, and puts the system one back.
class ScriptedLookup {
public:
    enum class Mode { NotFound, Never, Address };
    explicit ScriptedLookup(Mode mode, uint32_t address = 0)
    {
        platform::SetHostLookupService(
            [this, mode, address](const std::string& name,
                                  std::function<void(platform::LookupAnswer)> answer) {
                names.push_back(name);
                if (mode == Mode::Never) return;
                platform::LookupAnswer result;
                result.found = mode == Mode::Address;
                result.address = address;
                // Answer from the event loop, as a real lookup does.
                QTimer::singleShot(0, [answer, result] { answer(result); });
            });
    }
    ~ScriptedLookup() { platform::SetHostLookupService(nullptr); }
    std::vector<std::string> names;
};

struct Recorder {
    std::vector<std::string> events;
    void Attach(TWirecore& socket)
    {
        socket.OnConnect = [this](TComponent*) { events.push_back("OnConnect"); };
        socket.OnConnectionFailed = [this](TComponent*) { events.push_back("OnConnectionFailed"); };
        socket.OnHostResolved = [this](TComponent*) { events.push_back("OnHostResolved"); };
        socket.OnDisconnect = [this](TComponent*) { events.push_back("OnDisconnect"); };
    }
};

std::string ConnectError(TWirecore& socket)
{
    try {
        socket.Connect();
    } catch (const ESockError& error) {
        return error.Message();
    }
    return "connected";
}

uint32_t Loopback() { return platform::ParseDottedAddress("127.0.0.1"); }

} // namespace

TEST(WirecoreConnect, ConnectsToListeningPortByDottedAddressWithoutLookup)
{
    ScriptedLookup lookup(ScriptedLookup::Mode::NotFound);
    nettest::LoopbackListener listener;
    TWirecore socket(nullptr);
    Recorder recorder;
    recorder.Attach(socket);
    socket.Host = "127.0.0.1";
    socket.Port = listener.Port();
    socket.Connect();
    EXPECT_TRUE(socket.Connected);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"OnConnect"});
    EXPECT_TRUE(lookup.names.empty());
    EXPECT_EQ(socket.RemoteAddress.address, Loopback());
    EXPECT_FALSE(socket.TimeoutTimer->Enabled());

    EXPECT_EQ(ConnectError(socket), "Already connected");
}

TEST(WirecoreConnect, RefusedPortFailsAfterOnErrorAndOnConnectionFailed)
{
    TWirecore socket(nullptr);
    Recorder recorder;
    recorder.Attach(socket);
    // The system's reason is reported like any socket error, with its text.
    socket.OnError = [&](TComponent*, uint16_t number, const std::string& text) {
        recorder.events.push_back("OnError " + std::to_string(number) + " " + text);
    };
    socket.Host = "127.0.0.1";
    socket.Port = nettest::ClosedLoopbackPort();
    try {
        socket.Connect();
        ADD_FAILURE() << "connected";
    } catch (const ESockError& error) {
        EXPECT_EQ(error.Message(), "Connection Failed");
        // The system's reason travels with it, so that a caller can say why.
        EXPECT_EQ(error.Reason(), ErrorReason::ConnectFailed);
        EXPECT_EQ(error.ErrorNumber(), 10061);
    }
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"OnError 10061 10061:Connection refused",
                                                         "OnConnectionFailed"}));
    EXPECT_FALSE(socket.Connected);
    EXPECT_FALSE(socket.LastEventOk);

    // The component can connect again at once.
    nettest::LoopbackListener listener;
    socket.Port = listener.Port();
    EXPECT_EQ(ConnectError(socket), "connected");
}

TEST(WirecoreConnect, CancelDuringWaitEndsWithConnectionCanceled)
{
    nettest::SilentListener silent;
    TWirecore socket(nullptr);
    Recorder recorder;
    recorder.Attach(socket);
    socket.Host = "127.0.0.1";
    socket.Port = silent.Port();
    QTimer::singleShot(50, [&] { socket.Cancel(); });
    EXPECT_EQ(ConnectError(socket), "Connection Canceled");
    EXPECT_TRUE(socket.Canceled);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"OnConnectionFailed"});
    // A connection completing later must not turn up on its own.
    nettest::PumpFor(50);
    EXPECT_FALSE(socket.Connected);
}

TEST(WirecoreConnect, TimeOutEndsWaitWithConnectionTimedOut)
{
    nettest::SilentListener silent;
    TWirecore socket(nullptr);
    Recorder recorder;
    recorder.Attach(socket);
    socket.Host = "127.0.0.1";
    socket.Port = silent.Port();
    socket.TimeOut = 100;
    EXPECT_EQ(ConnectError(socket), "Connection Timed out");
    EXPECT_TRUE(socket.TimedOut);
    // The base Abort cancels too; the time-out message takes precedence.
    EXPECT_TRUE(socket.Canceled);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"OnConnectionFailed"});
    EXPECT_FALSE(socket.TimeoutTimer->Enabled());
}

TEST(WirecoreConnect, NegativeTimeOutIsARangeError)
{
    TWirecore socket(nullptr);
    socket.TimeOut = -1;
    EXPECT_THROW(socket.StartTimer(), RangeError);
}

// The numeric forms the classic address parser takes are addresses, never names to look up.
TEST(WirecoreConnect, ShorthandLoopbackAddressesConnectWithoutLookup)
{
    ScriptedLookup lookup(ScriptedLookup::Mode::NotFound);
    nettest::LoopbackListener listener;
    for (const char* host : {"127.1", "127.0.1", "2130706433", "0x7f.1"}) {
        TWirecore socket(nullptr);
        socket.Host = host;
        socket.Port = listener.Port();
        EXPECT_EQ(ConnectError(socket), "connected") << host;
        EXPECT_EQ(socket.RemoteAddress.address, Loopback()) << host;
    }
    EXPECT_TRUE(lookup.names.empty());
}

TEST(WirecoreConnect, AnyAddressIsTreatedAsUnresolved)
{
    TWirecore socket(nullptr);
    socket.Host = "0.0.0.0";
    socket.Port = 21;
    EXPECT_EQ(ConnectError(socket), "Null Remote Address");

    int asked = 0;
    socket.OnInvalidHost = [&](bool& handled) {
        ++asked;
        handled = true; // but the host stays the same
    };
    EXPECT_EQ(ConnectError(socket), "Null Remote Address");
    EXPECT_EQ(asked, 1);
}

TEST(WirecoreConnect, InvalidHostHandlerMayNameAnotherHost)
{
    ScriptedLookup lookup(ScriptedLookup::Mode::NotFound);
    nettest::LoopbackListener listener;
    TWirecore socket(nullptr);
    socket.Host = "no-such-host";
    socket.Port = listener.Port();
    socket.OnInvalidHost = [&](bool& handled) {
        socket.Host = "127.0.0.1";
        handled = true;
    };
    EXPECT_EQ(ConnectError(socket), "connected");
    EXPECT_EQ(lookup.names, std::vector<std::string>{"no-such-host"});
}

TEST(WirecoreConnect, UnresolvableNameWithoutHandlerIsNullRemoteAddress)
{
    ScriptedLookup lookup(ScriptedLookup::Mode::NotFound);
    TWirecore socket(nullptr);
    socket.Host = "no-such-host";
    bool declined = false;
    EXPECT_EQ(ConnectError(socket), "Null Remote Address");
    socket.OnInvalidHost = [&](bool&) { declined = true; };
    EXPECT_EQ(ConnectError(socket), "Null Remote Address");
    EXPECT_TRUE(declined);
}

TEST(WirecoreConnect, NameTheResolverRefusesIsNullRemoteAddress)
{
    // A label longer than 63 characters is refused by the resolver itself, without asking the
    // network.
    TWirecore socket(nullptr);
    socket.Host = std::string(70, 'a') + ".invalid";
    EXPECT_EQ(ConnectError(socket), "Null Remote Address");
}

TEST(WirecoreConnect, OverlongNameIsRejectedLikeAnUnresolvableOne)
{
    ScriptedLookup lookup(ScriptedLookup::Mode::Address, Loopback());
    TWirecore socket(nullptr);
    socket.Host = std::string(70000, 'a');
    EXPECT_EQ(ConnectError(socket), "Null Remote Address");
    EXPECT_TRUE(lookup.names.empty());
}

TEST(WirecoreConnect, LocalhostIsResolvedThroughTheLookup)
{
    nettest::LoopbackListener listener;
    TWirecore socket(nullptr);
    Recorder recorder;
    recorder.Attach(socket);
    socket.Host = "localhost";
    socket.Port = listener.Port();
    EXPECT_EQ(ConnectError(socket), "connected");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"OnHostResolved", "OnConnect"}));
    EXPECT_EQ(socket.RemoteAddress.address, Loopback());
}

TEST(WirecoreConnect, LookupThatNeverAnswersEndsByCancelOrTimeOut)
{
    ScriptedLookup lookup(ScriptedLookup::Mode::Never);
    TWirecore socket(nullptr);
    socket.Host = "silent-resolver";
    QTimer::singleShot(30, [&] { socket.Cancel(); });
    EXPECT_EQ(ConnectError(socket), "Host Lookup Canceled");

    socket.TimeOut = 50;
    EXPECT_EQ(ConnectError(socket), "Host Lookup Timed Out");
    EXPECT_FALSE(socket.TimeoutTimer->Enabled());
}

TEST(WirecoreConnect, ProxyIsResolvedAndItsPortUsed)
{
    ScriptedLookup lookup(ScriptedLookup::Mode::Address, Loopback());
    nettest::LoopbackListener proxy;
    TWirecore socket(nullptr);
    socket.Host = "the-real-server";
    socket.Port = 1; // not used with a proxy
    socket.Proxy = "the-proxy";
    socket.ProxyPort = proxy.Port();
    EXPECT_EQ(ConnectError(socket), "connected");
    EXPECT_EQ(lookup.names, std::vector<std::string>{"the-proxy"});
}

TEST(WirecoreConnect, PeerClosingIdleConnectionFiresOnDisconnectFromEventLoop)
{
    nettest::LoopbackListener listener;
    TWirecore socket(nullptr);
    Recorder recorder;
    recorder.Attach(socket);
    socket.Host = "127.0.0.1";
    socket.Port = listener.Port();
    socket.Connect();
    int peer = listener.AcceptOne();
    ASSERT_GE(peer, 0);
    const auto oldHandle = socket.SocketHandle;
    ::close(peer);
    EXPECT_TRUE(nettest::PumpUntil([&] { return !socket.Connected; }));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"OnConnect", "OnDisconnect"}));
    EXPECT_NE(socket.SocketHandle, platform::kNoSocket);
    (void)oldHandle;

    // A fresh socket is ready: connect again.
    EXPECT_EQ(ConnectError(socket), "connected");
}

TEST(WirecoreConnect, DisconnectClosesAndReportsOnce)
{
    nettest::LoopbackListener listener;
    TWirecore socket(nullptr);
    Recorder recorder;
    recorder.Attach(socket);
    socket.ReportLevel = 8;
    std::vector<std::string> statuses;
    socket.OnStatus = [&](TComponent*, const std::string& s) { statuses.push_back(s); };
    socket.Host = "127.0.0.1";
    socket.Port = listener.Port();
    socket.Connect();
    statuses.clear();
    socket.Disconnect();
    EXPECT_FALSE(socket.Connected);
    EXPECT_EQ(statuses, (std::vector<std::string>{"Disconnecting", "Request Close Socket"}));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"OnConnect", "OnDisconnect"}));
}

TEST(WirecoreConnect, CheckConnectionAsksHandlerOnce)
{
    TWirecore socket(nullptr);
    try {
        socket.CheckConnection();
        FAIL();
    } catch (const ESockError&) {
        FAIL() << "must be the plain exception class";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Not Connected");
    }

    int asked = 0;
    socket.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        handled = true; // claims success without connecting
    };
    EXPECT_THROW(socket.CheckConnection(), Exception);
    EXPECT_EQ(asked, 1);

    nettest::LoopbackListener listener;
    socket.OnConnectionRequired = [&](bool& handled) {
        socket.Host = "127.0.0.1";
        socket.Port = listener.Port();
        socket.Connect();
        handled = true;
    };
    EXPECT_NO_THROW(socket.CheckConnection());
    EXPECT_TRUE(socket.Connected);
}
