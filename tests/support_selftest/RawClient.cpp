#include "RawClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace selftest {
namespace {

constexpr int kTimeoutMs = 15000;

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, kTimeoutMs) == 1;
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

} // namespace

RawSocket::~RawSocket() {
    Close();
}

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        buffer_ = std::move(other.buffer_);
        other.fd_ = -1;
    }
    return *this;
}

RawSocket RawSocket::Connect(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        fd = -1;
    }
    return RawSocket(fd);
}

RawSocket RawSocket::Listen(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return RawSocket();
    }
    *port = ntohs(addr.sin_port);
    return RawSocket(fd);
}

RawSocket RawSocket::Accept() {
    if (fd_ < 0 || !WaitReadable(fd_)) return RawSocket();
    return RawSocket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

bool RawSocket::SendAll(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return fd_ >= 0;
}

std::string RawSocket::ReadLine() {
    for (;;) {
        size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (fd_ < 0 || !WaitReadable(fd_)) return "<timeout>";
        char chunk[4096];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return "<eof>";
        buffer_.append(chunk, size_t(n));
    }
}

std::string RawSocket::ReadReply() {
    std::string line = ReadLine();
    if (line.size() < 4 || line[3] != '-') return line;
    std::string end = line.substr(0, 3) + " ";
    while (line.rfind(end, 0) != 0 && line[0] != '<')
        line = ReadLine();
    return line;
}

std::string RawSocket::ReadAll() {
    std::string bytes = std::move(buffer_);
    buffer_.clear();
    char chunk[65536];
    while (fd_ >= 0 && WaitReadable(fd_)) {
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        bytes.append(chunk, size_t(n));
    }
    return bytes;
}

void RawSocket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uint16_t PasvPort(const std::string& reply) {
    unsigned h[4], p1 = 0, p2 = 0;
    size_t open = reply.find('(');
    if (open == std::string::npos || std::sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h[0],
                                                 &h[1], &h[2], &h[3], &p1, &p2) != 6)
        return 0;
    return uint16_t(p1 * 256 + p2);
}

std::string PortCommand(uint16_t port) {
    return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
}

} // namespace selftest
