// Arbitrary server bytes on a real control connection: a thread of this process plays the
// server on a loopback TCP connection, sends the input as everything the server ever says, then
// closes its side and reads what the client sent. The client logs in (in the mode the first byte
// picks), runs a few single commands and logs out.
//
// Beyond not crashing, not hanging and staying clean under the sanitizers, the client must
//  - set ReplyCode by its one rule from each first reply line (or raise RangeError for a code past
//    16 bits), and
//  - never send anything but whole command lines: no line end or zero byte inside a line, and
//    nothing after the last line end -- also when the directory name it is given (from the input)
//    carries such characters.
//
// Input: mode byte, length byte n, n bytes of directory name, then the server's bytes.
#include "ftp/VaskFtp.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Plays the server for one connection at a time, on a thread of its own.
class ByteServer {
public:
    ByteServer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
            ::listen(listener_, 4) ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length))
            std::abort();
        port_ = ntohs(addr.sin_port);
        std::thread([this] { Serve(); }).detach();
    }

    uint16_t Port() const { return port_; }

    // The bytes the next connection gets.
    void Offer(std::string bytes)
    {
        std::lock_guard lock(mutex_);
        offer_ = std::move(bytes);
        offered_ = true;
        done_ = false;
        changed_.notify_all();
    }

    // What the client sent on that connection, once it has closed it.
    std::string Received()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return done_; });
        return received_;
    }

private:
    void Serve()
    {
        for (;;) {
            std::string bytes;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return offered_; });
                offered_ = false;
                bytes = std::move(offer_);
            }
            std::string received;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                // The input is small enough for the socket buffers, so this never waits for the
                // client to read.
                for (size_t sent = 0; sent < bytes.size();) {
                    const ssize_t n =
                        ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    sent += static_cast<size_t>(n);
                }
                ::shutdown(fd, SHUT_WR);
                char buffer[4096];
                for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                    received.append(buffer, static_cast<size_t>(n));
                ::close(fd);
            }
            std::lock_guard lock(mutex_);
            received_ = std::move(received);
            done_ = true;
            changed_.notify_all();
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string offer_;
    bool offered_ = false;
    bool done_ = true;
    std::string received_;
};

ByteServer* server = nullptr;

// What Transaction must have made of a first reply line.
void CheckReplyCode(const TVaskFTP& ftp)
{
    int64_t value = 0;
    size_t digits = 0;
    const std::string& line = ftp.LastReply;
    while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9')
        value = value * 10 + (line[digits++] - '0');
    if (value > INT32_MAX) value = 0;
    if (ftp.ReplyCode != value) std::abort();
}

// Whole command lines only: CR LF ends each, and none holds a CR, LF or zero byte of its own.
void CheckCommandLines(const std::string& sent)
{
    size_t start = 0;
    while (start < sent.size()) {
        const size_t end = sent.find("\r\n", start);
        if (end == std::string::npos) std::abort();
        const std::string line = sent.substr(start, end - start);
        if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) std::abort();
        start = end + 2;
    }
}

template <class Step> void Run(TVaskFTP& ftp, Step step)
{
    // A step that exchanges nothing (a Disconnect when the session is over) leaves the reply
    // fields as an earlier, failed step left them, which may be half set; those are not judged.
    ftp.ReplyCode = -1;
    try {
        step();
        if (ftp.ReplyCode != -1) CheckReplyCode(ftp);
    } catch (const RangeError&) {
        // A code past 16 bits, refused as such.
    } catch (const std::exception&) {
        // Failures and refusals are what a hostile server earns; only the way they happen is
        // checked here.
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    new QCoreApplication(*argc, *argv);
    server = new ByteServer;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const size_t nameLength = std::min<size_t>(data[1], size - 2);
    const std::string directory(reinterpret_cast<const char*>(data + 2), nameLength);
    server->Offer(
        std::string(reinterpret_cast<const char*>(data + 2 + nameLength), size - 2 - nameLength));
    {
        TVaskFTP ftp(nullptr);
        ftp.Host = "127.0.0.1";
        ftp.Port = server->Port();
        ftp.UserID = "ana";
        ftp.Password = (mode & 1) ? "s3nh@" : "";
        ftp.ReportLevel = 8;
        ftp.OnStatus = [](TComponent*, const std::string&) {};
        ftp.FWAuthenticate = mode & 2;
        ftp.FWUserID = "guarda";
        ftp.FWPassword = "muralha";
        if (mode & 4) {
            // Only the proxy is dialled; the server's name travels inside a command.
            ftp.Proxy = "127.0.0.1";
            ftp.ProxyPort = server->Port();
            ftp.Host = "servidor.exemplo";
            ftp.FirewallType = static_cast<TFirewallType>((mode >> 3) % 3);
        }
        Run(ftp, [&] { ftp.Connect(); });
        if (ftp.Connected) {
            Run(ftp, [&] { ftp.ChangeDirectory(directory); });
            Run(ftp, [&] { ftp.SendCommand("STAT"); });
            Run(ftp, [&] { ftp.CurrentDirectory(); });
            Run(ftp, [&] { ftp.Transaction("NOOP"); });
        }
        Run(ftp, [&] { ftp.Disconnect(); });
    }
    CheckCommandLines(server->Received());
    return 0;
}
