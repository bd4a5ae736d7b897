#include "RawClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace selftest {

RawSocket RawSocket::Connect(uint16_t port)
{
    return RawSocket(testsupport::ConnectLoopback(port));
}

bool RawSocket::SendAll(const std::string& bytes)
{
    size_t done = 0;
    while (fd_.Valid() && done < bytes.size()) {
        ssize_t n = ::send(fd_.Get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return fd_.Valid();
}

std::string RawSocket::ReadLine()
{
    for (;;) {
        size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        pollfd p{fd_.Get(), POLLIN, 0};
        if (!fd_.Valid() || ::poll(&p, 1, 15000) != 1) return "<timeout>";
        char chunk[4096];
        ssize_t n = ::recv(fd_.Get(), chunk, sizeof chunk, 0);
        if (n <= 0) return "<eof>";
        buffer_.append(chunk, size_t(n));
    }
}

} // namespace selftest
