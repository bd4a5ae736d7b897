#include "support/EventLoop.h"
#include "support/Loopback.h"

#include "net/Wirecore.h"
#include "platform/SocketLibrary.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(WirecoreLifecycle, FirstInstanceStartsLibraryAndLastCleansUp)
{
    ASSERT_EQ(TWirecore::WinsockRefCount, 0);
    const int startups = platform::SocketLibraryStartups();
    auto* first = new TWirecore(nullptr);
    auto* second = new TWirecore(nullptr);
    EXPECT_EQ(TWirecore::WinsockRefCount, 2);
    EXPECT_EQ(platform::SocketLibraryStartups(), startups + 1);

    ASSERT_EQ(first->WinsockInfo.size(), 6u);
    EXPECT_EQ(first->WinsockInfo[0], "Version= 1.1");
    EXPECT_EQ(first->WinsockInfo[1], "High Version= 1.1");
    EXPECT_EQ(first->WinsockInfo[2].rfind("Description= ", 0), 0u);
    EXPECT_EQ(first->WinsockInfo[3], "System= Running");
    EXPECT_EQ(first->WinsockInfo[4].rfind("Max Sockets= ", 0), 0u);
    EXPECT_EQ(first->WinsockInfo[5], "Max Udp pack size= 65507");
    EXPECT_TRUE(second->WinsockInfo.empty());
    EXPECT_EQ(second->WinsockData.version, 0);

    delete first;
    EXPECT_EQ(TWirecore::WinsockRefCount, 1);
    EXPECT_EQ(platform::SocketLibraryStartups(), startups + 1);
    delete second;
    EXPECT_EQ(TWirecore::WinsockRefCount, 0);
    EXPECT_EQ(platform::SocketLibraryStartups(), startups);
}

TEST(WirecoreLifecycle, DesignModeOpensNothing)
{
    TComponent form(nullptr);
    form.SetDesigning(true);
    const int references = TWirecore::WinsockRefCount;
    auto* socket = new TWirecore(&form);
    EXPECT_EQ(socket->SocketHandle, platform::kNoSocket);
    EXPECT_EQ(TWirecore::WinsockRefCount, references);
    delete socket;
    EXPECT_EQ(TWirecore::WinsockRefCount, references);
}

TEST(WirecoreLifecycle, OwnerFreesWhatItOwns)
{
    auto* owner = new TComponent(nullptr);
    new TWirecore(owner);
    new TWirecore(owner);
    EXPECT_EQ(TWirecore::WinsockRefCount, 2);
    delete owner;
    EXPECT_EQ(TWirecore::WinsockRefCount, 0);
}

TEST(WirecoreLifecycle, StatusIsFilteredByLevel)
{
    TWirecore socket(nullptr);
    std::vector<std::string> seen;
    socket.OnStatus = [&](TComponent*, const std::string& status) { seen.push_back(status); };

    socket.ReportStatus(1, "reply");
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(socket.LastStatus.empty());

    socket.ReportLevel = 4;
    socket.Cancel();      // level 8
    socket.CloseSocket(); // level 4
    socket.ReportStatus(1, "reply");
    EXPECT_EQ(seen, (std::vector<std::string>{"Request Close Socket", "reply"}));
    EXPECT_EQ(socket.LastStatus, "reply");

    socket.OnStatus = [](TComponent*, const std::string&) { throw std::runtime_error("bad"); };
    EXPECT_NO_THROW(socket.ReportStatus(1, "dropped exception"));
}

TEST(WirecoreLifecycle, DestroyingConnectedComponentClosesWithoutEvent)
{
    testsupport::LoopbackListener listener;
    auto* socket = new TWirecore(nullptr);
    socket->Host = "127.0.0.1";
    socket->Port = listener.Port();
    socket->Connect();
    testsupport::UniqueFd peer = listener.AcceptOne();
    ASSERT_TRUE(peer.Valid());
    int disconnects = 0;
    socket->OnDisconnect = [&](TComponent*) { ++disconnects; };
    delete socket;
    EXPECT_EQ(disconnects, 0);
    char byte;
    EXPECT_LE(::read(peer.Get(), &byte, 1), 0); // the peer sees the connection end
}

TEST(WirecoreLifecycle, CloseSocketWithoutSocketOnlyClearsConnected)
{
    TComponent form(nullptr);
    form.SetDesigning(true);
    TWirecore socket(&form);
    socket.Connected = true;
    socket.ReportLevel = 8;
    int disconnects = 0;
    socket.OnDisconnect = [&](TComponent*) { ++disconnects; };
    socket.CloseSocket();
    EXPECT_FALSE(socket.Connected);
    EXPECT_EQ(socket.LastStatus, "Request Close Socket");
    EXPECT_EQ(disconnects, 0);
}
