#include "StreamPeer.h"

#include "NetTestUtil.h"

#include "net/Wirecore.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace streamtest {

Peer::Peer(int fd) : fd_(fd)
{
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

Peer::~Peer() { Close(); }

void Peer::Send(const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string Peer::ReceiveLine()
{
    std::string line;
    char c;
    while (::recv(fd_, &c, 1, 0) == 1) {
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
        ssize_t n = ::recv(fd_, data.data() + done, count - done, 0);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    data.resize(done);
    return data;
}

void Peer::ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void Peer::Reset()
{
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
}

void Peer::Close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::unique_ptr<Peer> ConnectPair(TWirecore& socket)
{
    nettest::LoopbackListener listener;
    socket.Host = "127.0.0.1";
    socket.Port = listener.Port();
    socket.Connect();
    const int fd = listener.AcceptOne();
    EXPECT_GE(fd, 0);
    return std::make_unique<Peer>(fd);
}

bool WaitPending(TWirecore& socket, long count)
{
    return nettest::PumpUntil([&] { return platform::PendingBytes(socket.SocketHandle) >= count; });
}

std::string EveryByteValue(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    return data;
}

} // namespace streamtest
