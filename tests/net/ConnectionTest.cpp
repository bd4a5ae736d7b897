#include "support/EventLoop.h"
#include "support/Loopback.h"
#include "support/TestUtil.h"

#include "net/Wirecore.h"
#include "platform/HostLookup.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

platform::SocketAddress Literal(const std::string& text)
{
    return platform::ParseAddressLiteral(text).value_or(platform::SocketAddress{});
}

// Makes the platform's host lookup answer as a test wants, and puts the system one back.
class ScriptedLookup {
public:
    enum class Mode { NotFound, Never, Address };
    explicit ScriptedLookup(Mode mode, uint32_t address = 0)
    {
        platform::SocketAddress inet;
        inet.family = platform::kFamilyInet;
        inet.address = address;
        Install(mode, {inet});
    }
    // Every name resolves to these addresses, in this order.
    explicit ScriptedLookup(std::vector<platform::SocketAddress> addresses)
    {
        Install(Mode::Address, std::move(addresses));
    }
    ~ScriptedLookup() { platform::SetHostLookupService(nullptr); }
    std::vector<std::string> names;

private:
    void Install(Mode mode, std::vector<platform::SocketAddress> addresses)
    {
        platform::SetHostLookupService(
            [this, mode, addresses](const std::string& name,
                                    std::function<void(platform::LookupAnswer)> answer) {
                names.push_back(name);
                if (mode == Mode::Never) return;
                platform::LookupAnswer result;
                if (mode == Mode::Address) result.addresses = addresses;
                // Answer from the event loop, as a real lookup does.
                QTimer::singleShot(0, [answer, result] { answer(result); });
            });
    }
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

std::string ConnectError(TWirecore& socket, int* errorNumber = nullptr)
{
    try {
        socket.Connect();
    } catch (const ESockError& error) {
        if (errorNumber) *errorNumber = error.ErrorNumber();
        return error.Message();
    }
    return "connected";
}

uint32_t Loopback() { return platform::ParseDottedAddress("127.0.0.1"); }

} // namespace

TEST(WirecoreConnect, ConnectsToListeningPortByDottedAddressWithoutLookup)
{
    ScriptedLookup lookup(ScriptedLookup::Mode::NotFound);
    testsupport::LoopbackListener listener;
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
    socket.Port = testsupport::FreeLoopbackPort();
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
    testsupport::LoopbackListener listener;
    socket.Port = listener.Port();
    EXPECT_EQ(ConnectError(socket), "connected");
}

TEST(WirecoreConnect, CancelDuringWaitEndsWithConnectionCanceled)
{
    testsupport::SilentListener silent;
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
    testsupport::PumpFor(50);
    EXPECT_FALSE(socket.Connected);
}

TEST(WirecoreConnect, TimeOutEndsWaitWithConnectionTimedOut)
{
    testsupport::SilentListener silent;
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
    testsupport::LoopbackListener listener;
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
    testsupport::LoopbackListener listener;
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
    testsupport::LoopbackListener proxy;
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
    testsupport::LoopbackListener listener;
    TWirecore socket(nullptr);
    Recorder recorder;
    recorder.Attach(socket);
    socket.Host = "127.0.0.1";
    socket.Port = listener.Port();
    socket.Connect();
    testsupport::UniqueFd peer = listener.AcceptOne();
    ASSERT_TRUE(peer.Valid());
    peer.Reset();
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !socket.Connected; }));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"OnConnect", "OnDisconnect"}));
    EXPECT_NE(socket.SocketHandle, platform::kNoSocket);

    // A fresh socket is ready: connect again.
    EXPECT_EQ(ConnectError(socket), "connected");
}

TEST(WirecoreConnect, DisconnectClosesAndReportsOnce)
{
    testsupport::LoopbackListener listener;
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

    testsupport::LoopbackListener listener;
    socket.OnConnectionRequired = [&](bool& handled) {
        socket.Host = "127.0.0.1";
        socket.Port = listener.Port();
        socket.Connect();
        handled = true;
    };
    EXPECT_NO_THROW(socket.CheckConnection());
    EXPECT_TRUE(socket.Connected);
}

// --- IPv6 and names with several addresses -------------------------------------------------------

using testsupport::IpFamily;

// Literal addresses of either family connect without a lookup; text that is neither an address
// nor a possible host name fails without asking any resolver.
TEST(WirecoreConnect, LiteralAddressesOfEitherFamilyNeedNoLookup)
{
    struct Case {
        const char* host;
        IpFamily listenOn;
        const char* outcome;
    };
    const Case cases[] = {
        {"::1", IpFamily::V6, "connected"},
        {"[::1]", IpFamily::V6, "connected"},            // as written beside a port
        {"127.1", IpFamily::V4, "connected"},            // the classic shorthand for 127.0.0.1
        {"::ffff:127.0.0.1", IpFamily::V4, "connected"}, // IPv4-mapped: the IPv4 host
        {"[::1", IpFamily::V6, "Null Remote Address"},   // half a bracket pair: no address
        {"::1]", IpFamily::V6, "Null Remote Address"},
        {"[127.0.0.1]", IpFamily::V4, "Null Remote Address"}, // brackets are for IPv6 only
        {"::", IpFamily::V6, "Null Remote Address"},          // the any-address names no host
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        ScriptedLookup lookup(ScriptedLookup::Mode::Address, Loopback());
        testsupport::LoopbackListener listener(8, false, c.listenOn);
        TWirecore socket(nullptr);
        Recorder recorder;
        recorder.Attach(socket);
        socket.Host = c.host;
        socket.Port = listener.Port();
        EXPECT_EQ(ConnectError(socket), c.outcome);
        EXPECT_TRUE(lookup.names.empty());
        const bool connected = std::string(c.outcome) == "connected";
        EXPECT_EQ(recorder.events,
                  connected ? std::vector<std::string>{"OnConnect"} : std::vector<std::string>{});
        EXPECT_EQ(listener.AcceptOne(connected ? 5000 : 0).Valid(), connected);
    }
}

TEST(WirecoreConnect, AfterAnIPv6ConnectionTheComponentConnectsOverIPv4Again)
{
    TWirecore socket(nullptr);
    for (IpFamily family : {IpFamily::V6, IpFamily::V4, IpFamily::V6}) {
        SCOPED_TRACE(testsupport::LoopbackText(family));
        testsupport::LoopbackListener listener(8, false, family);
        socket.Host = testsupport::LoopbackText(family);
        socket.Port = listener.Port();
        ASSERT_EQ(ConnectError(socket), "connected");
        EXPECT_TRUE(platform::SameHost(socket.PeerAddress(), Literal(socket.Host)));
        socket.Disconnect();
    }
}

// A name that resolves to several addresses: they are tried in the resolver's order, each under
// the whole TimeOut, until one connects. All of them share the one port.
TEST(WirecoreConnect, NameWithSeveralAddressesTriesThemInOrder)
{
    enum class Answer { Refuses, Accepts, Stalls };
    struct Address {
        IpFamily family;
        Answer answer;
    };
    struct Case {
        const char* why;
        std::vector<Address> addresses;
        int32_t timeOut;
        bool cancelFirst; // Cancel while the first attempt waits
        const char* outcome;
        int reached; // the address that took the connection; -1 none
        int errorNumber;
    };
    const Address refused6{IpFamily::V6, Answer::Refuses}, refused4{IpFamily::V4, Answer::Refuses},
        working6{IpFamily::V6, Answer::Accepts}, working4{IpFamily::V4, Answer::Accepts},
        stalling4{IpFamily::V4, Answer::Stalls};
    const Case cases[] = {
        {"a refused IPv6 address gives way to IPv4",
         {refused6, working4},
         0,
         false,
         "connected",
         1,
         0},
        {"the first that works is taken", {working6, refused4}, 0, false, "connected", 0, 0},
        {"all refused: one failure, the system's reason",
         {refused6, refused4},
         0,
         false,
         "Connection Failed",
         -1,
         10061},
        {"a timed-out attempt goes on to the next",
         {stalling4, working6},
         200,
         false,
         "connected",
         1,
         0},
        {"the last attempt's failure is the one reported",
         {refused6, stalling4},
         200,
         false,
         "Connection Timed out",
         -1,
         0},
        {"Cancel ends every attempt", {stalling4, working6}, 0, true, "Connection Canceled", -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        // The first listener gets a port from the system; the others take the same one.
        uint16_t port = 0;
        std::vector<std::unique_ptr<testsupport::LoopbackListener>> listeners;
        std::vector<std::unique_ptr<testsupport::SilentListener>> stalls;
        std::vector<platform::SocketAddress> resolved;
        for (const Address& a : c.addresses) {
            resolved.push_back(Literal(testsupport::LoopbackText(a.family)));
            listeners.emplace_back();
            if (a.answer == Answer::Accepts) {
                listeners.back() =
                    std::make_unique<testsupport::LoopbackListener>(8, false, a.family, port);
                ASSERT_TRUE(listeners.back()->Valid());
                port = listeners.back()->Port();
            } else if (a.answer == Answer::Stalls) {
                stalls.push_back(std::make_unique<testsupport::SilentListener>(a.family, port));
                port = static_cast<uint16_t>(stalls.back()->Port());
            }
        }
        if (port == 0) port = testsupport::FreeLoopbackPort();
        ScriptedLookup lookup(resolved);
        TWirecore socket(nullptr);
        Recorder recorder;
        recorder.Attach(socket);
        socket.Host = "multi-homed";
        socket.Port = port;
        socket.TimeOut = c.timeOut;
        if (c.cancelFirst) QTimer::singleShot(50, [&] { socket.Cancel(); });

        int errorNumber = 0;
        EXPECT_EQ(ConnectError(socket, &errorNumber), c.outcome);
        EXPECT_EQ(errorNumber, c.errorNumber);
        const bool connected = c.reached >= 0;
        EXPECT_EQ(recorder.events,
                  (std::vector<std::string>{"OnHostResolved",
                                            connected ? "OnConnect" : "OnConnectionFailed"}));
        for (size_t i = 0; i < listeners.size(); ++i) {
            if (!listeners[i]) continue;
            const bool reached = int(i) == c.reached;
            EXPECT_EQ(listeners[i]->AcceptOne(reached ? 5000 : 0).Valid(), reached);
        }
        if (connected) {
            EXPECT_TRUE(platform::SameHost(socket.RemoteAddress, resolved[c.reached]));
        }
    }
}
