#include "StreamPeer.h"

#include "support/EventLoop.h"
#include "support/Loopback.h"

#include "net/Wirecore.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace streamtest {

Peer::Peer(testsupport::UniqueFd fd) : fd_(std::move(fd))
{
    timeval limit{10, 0};
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void Peer::Send(const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd_.Get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string Peer::ReceiveLine()
{
    std::string line;
    char c;
    while (::recv(fd_.Get(), &c, 1, 0) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

std::string Peer::Receive(size_t count)
{
    std::string data(count, '\0');
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::recv(fd_.Get(), data.data() + done, count - done, 0);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    data.resize(done);
    return data;
}

void Peer::ShutdownWrite() { ::shutdown(fd_.Get(), SHUT_WR); }

void Peer::Reset() { fd_.ResetConnection(); }

void Peer::Close() { fd_.Reset(); }

std::unique_ptr<Peer> ConnectPair(TWirecore& socket, testsupport::IpFamily family)
{
    testsupport::LoopbackListener listener(8, false, family);
    socket.Host = testsupport::LoopbackText(family);
    socket.Port = listener.Port();
    socket.Connect();
    testsupport::UniqueFd fd = listener.AcceptOne();
    EXPECT_TRUE(fd.Valid());
    return std::make_unique<Peer>(std::move(fd));
}

bool WaitPending(TWirecore& socket, long count)
{
    return testsupport::PumpUntil(
        [&] { return platform::PendingBytes(socket.SocketHandle) >= count; });
}

std::string EveryByteValue(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    return data;
}

} // namespace streamtest
