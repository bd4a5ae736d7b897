// The notification contract of the platform's sockets, which every waiting loop relies on.
#include "platform/MessageLoop.h"
#include "platform/SocketErrors.h"
#include "platform/Sockets.h"
#include "support/EventLoop.h"
#include "support/Loopback.h"
#include "support/TestUtil.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace platform;

namespace {

struct Event {
    int message;
    uint16_t code;
    uint16_t error;
};

class Recorder {
public:
    Recorder()
        : window([this](int message, uintptr_t, intptr_t lParam) {
              events.push_back({message, SelectEvent(lParam), SelectError(lParam)});
              return intptr_t{0};
          })
    {
    }
    int Count(uint16_t code) const
    {
        int n = 0;
        for (const Event& e : events) n += e.code == code;
        return n;
    }
    std::vector<Event> events;
    NotificationWindow window;
};

using testsupport::PumpUntil;

// Runs the event loop for `ms` milliseconds: long enough for a wrongly repeated report to show.
void Pump(int ms) { testsupport::PumpFor(ms); }

using testsupport::IpFamily;
constexpr IpFamily kBothFamilies[] = {IpFamily::V4, IpFamily::V6};

SocketAddress LoopbackAddress(int port, IpFamily family = IpFamily::V4)
{
    SocketAddress a = *ParseAddressLiteral(testsupport::LoopbackText(family));
    a.port = HostToNetwork16(static_cast<uint16_t>(port));
    return a;
}

uint16_t FamilyOf(IpFamily family) { return family == IpFamily::V6 ? kFamilyInet6 : kFamilyInet; }

// A connected pair: `local` watched by the recorder, `peer` a plain descriptor.
struct ConnectedPair {
    ConnectedPair(Recorder& recorder, IpFamily family = IpFamily::V4) : listener(8, false, family)
    {
        local = CreateStreamSocket(FamilyOf(family));
        AsyncSelect(local, &recorder.window, kSocketMessage, kStreamEventMask);
        EXPECT_EQ(Connect(local, LoopbackAddress(listener.Port(), family)), -1);
        EXPECT_EQ(LastSocketError(), 10035);
        peer = listener.AcceptOne();
        EXPECT_TRUE(PumpUntil([&] { return recorder.Count(kEventConnect) == 1; }));
    }
    ~ConnectedPair()
    {
        if (local != kNoSocket) CloseSocket(local);
    }
    testsupport::LoopbackListener listener;
    SocketHandle local = kNoSocket;
    testsupport::UniqueFd peer;
};

} // namespace

TEST(SocketNotifications, ConnectAlwaysAnswersWouldBlockAndReportsByNotification)
{
    for (IpFamily family : kBothFamilies) {
        SCOPED_TRACE(testsupport::LoopbackText(family));
        Recorder recorder;
        ConnectedPair pair(recorder, family);
        ASSERT_EQ(recorder.events.size(), 1u);
        EXPECT_EQ(recorder.events[0].message, kSocketMessage);
        EXPECT_EQ(recorder.events[0].error, 0);
        SocketAddress peer;
        ASSERT_EQ(GetPeerAddress(pair.local, &peer), 0);
        EXPECT_EQ(AddressText(peer), testsupport::LoopbackText(family));
        EXPECT_EQ(SocketFamily(pair.local), FamilyOf(family));
    }
}

// An IPv4 socket cannot carry an IPv6 address and says so at once; an IPv6 socket reaches an
// IPv4 host through the mapped form.
TEST(SocketNotifications, OtherFamilyIsRefusedAtOnceExceptIPv4ThroughAnIPv6Socket)
{
    Recorder recorder;
    testsupport::LoopbackListener listener;
    SocketHandle inet = CreateStreamSocket(kFamilyInet);
    EXPECT_EQ(Connect(inet, LoopbackAddress(listener.Port(), IpFamily::V6)), -1);
    EXPECT_EQ(LastSocketError(), kErrAddressFamily);
    CloseSocket(inet);

    SocketHandle inet6 = CreateStreamSocket(kFamilyInet6);
    AsyncSelect(inet6, &recorder.window, kSocketMessage, kStreamEventMask);
    EXPECT_EQ(Connect(inet6, LoopbackAddress(listener.Port(), IpFamily::V4)), -1);
    EXPECT_EQ(LastSocketError(), kErrWouldBlock);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(kEventConnect) == 1; }));
    EXPECT_EQ(recorder.events[0].error, 0);
    EXPECT_TRUE(listener.AcceptOne().Valid());
    CloseSocket(inet6);
}

// A reset that the notifier's own look finds is the owner's news: its next receive reports it,
// instead of the end of the stream that the socket shows once its error has been taken.
TEST(SocketNotifications, AResetSeenByTheNotifierReachesTheNextReceive)
{
    Recorder recorder;
    ConnectedPair pair(recorder);
    const linger abortive{1, 0};
    ASSERT_EQ(::setsockopt(pair.peer.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive), 0);
    pair.peer.Reset();
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(kEventRead) == 1; }));
    char buffer[8];
    EXPECT_EQ(Receive(pair.local, buffer, sizeof buffer), -1);
    EXPECT_EQ(LastSocketError(), 10054);
    EXPECT_EQ(Receive(pair.local, buffer, sizeof buffer), 0); // reported once
}

// A wait that asked to be woken only by more bytes than it has seen must not keep the news from
// another reader of the same socket (a handler's command on a control connection that a data
// wait watches): the next receive ends the raised mark.
TEST(SocketNotifications, AReceiveEndsARaisedWakeMark)
{
    Recorder recorder;
    ConnectedPair pair(recorder);
    ASSERT_EQ(::write(pair.peer.Get(), "abc", 3), 3);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(kEventRead) == 1; }));
    WakeOnMoreThan wake(pair.local, 3);
    char buffer[8];
    EXPECT_EQ(Receive(pair.local, buffer, 3), 3);
    ASSERT_EQ(::write(pair.peer.Get(), "d", 1), 1);
    EXPECT_TRUE(PumpUntil([&] { return recorder.Count(kEventRead) == 2; }));
}

TEST(SocketNotifications, ReadIsReportedOncePerReceive)
{
    Recorder recorder;
    ConnectedPair pair(recorder);
    ASSERT_EQ(::write(pair.peer.Get(), "abc", 3), 3);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(kEventRead) == 1; }));
    // The bytes stay unread: no flood of further reports.
    Pump(50);
    EXPECT_EQ(recorder.Count(kEventRead), 1);

    char buffer[8];
    EXPECT_EQ(Receive(pair.local, buffer, 1, true), 1); // a peek re-arms
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(kEventRead) == 2; }));
    EXPECT_EQ(Receive(pair.local, buffer, sizeof buffer), 3);
    Pump(30);
    EXPECT_EQ(recorder.Count(kEventRead), 2);
}

TEST(SocketNotifications, CloseIsReportedOnceAfterEveryByteIsRead)
{
    Recorder recorder;
    ConnectedPair pair(recorder);
    ASSERT_EQ(::write(pair.peer.Get(), "tail", 4), 4);
    pair.peer.Reset();
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(kEventRead) == 1; }));
    EXPECT_EQ(recorder.Count(kEventClose), 0);

    char buffer[16];
    EXPECT_EQ(Receive(pair.local, buffer, sizeof buffer), 4);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(kEventClose) == 1; }));
    EXPECT_EQ(Receive(pair.local, buffer, sizeof buffer), 0);
    Pump(30);
    EXPECT_EQ(recorder.Count(kEventClose), 1);
}

// A connect to a port nobody listens on: refused, but only ever by notification. Closing the
// socket first drops the notification that is already on its way.
TEST(SocketNotifications, RefusedConnectIsReportedWithItsErrorUnlessTheSocketIsClosed)
{
    for (IpFamily family : kBothFamilies)
        for (bool closeFirst : {false, true}) {
            SCOPED_TRACE(testsupport::LoopbackText(family));
            const int port = testsupport::FreeLoopbackPort(family);
            Recorder recorder;
            SocketHandle s = CreateStreamSocket(FamilyOf(family));
            AsyncSelect(s, &recorder.window, kSocketMessage, kStreamEventMask);
            EXPECT_EQ(Connect(s, LoopbackAddress(port, family)), -1);
            EXPECT_EQ(LastSocketError(), 10035);
            EXPECT_TRUE(recorder.events.empty()); // never synchronously
            if (closeFirst) {
                CloseSocket(s);
                Pump(50);
                EXPECT_TRUE(recorder.events.empty());
                continue;
            }
            ASSERT_TRUE(PumpUntil([&] { return !recorder.events.empty(); }));
            EXPECT_EQ(recorder.events[0].code, kEventConnect);
            EXPECT_EQ(recorder.events[0].error, 10061);
            CloseSocket(s);
        }
}

TEST(SocketNotifications, ListeningSocketReportsAcceptOncePerAccept)
{
    for (IpFamily family : kBothFamilies) {
        SCOPED_TRACE(testsupport::LoopbackText(family));
        Recorder recorder;
        SocketHandle s = CreateStreamSocket(FamilyOf(family));
        ASSERT_EQ(Bind(s, LoopbackAddress(0, family)), 0);
        AsyncSelect(s, &recorder.window, kLookupMessage, kEventAccept);
        ASSERT_EQ(Listen(s, 1), 0);
        SocketAddress local;
        ASSERT_EQ(GetLocalAddress(s, &local), 0);

        testsupport::UniqueFd client =
            testsupport::ConnectLoopback(NetworkToHost16(local.port), 5000, false, family);
        ASSERT_TRUE(client.Valid());
        ASSERT_TRUE(PumpUntil([&] { return recorder.Count(kEventAccept) == 1; }));
        EXPECT_EQ(recorder.events[0].message, kLookupMessage);
        Pump(30);
        EXPECT_EQ(recorder.Count(kEventAccept), 1);

        SocketAddress peer;
        SocketHandle accepted = Accept(s, &peer);
        ASSERT_NE(accepted, kNoSocket);
        EXPECT_EQ(AddressText(peer), testsupport::LoopbackText(family));
        EXPECT_EQ(NetworkToHost16(peer.port), testsupport::LocalPort(client.Get()));
        CloseSocket(accepted);
        CloseSocket(s);
    }
}

TEST(SocketNotifications, IdleWaitBlocksInsteadOfSpinning)
{
    // One pass with nothing to do returns only when its wait's deadline wakes it: a handful of
    // passes per second, not thousands.
    Recorder recorder;
    ConnectedPair pair(recorder);
    QElapsedTimer clock;
    clock.start();
    int passes = 0;
    while (clock.elapsed() < 300) {
        ProcessMessages(20);
        ++passes;
    }
    EXPECT_LT(passes, 50);
}
