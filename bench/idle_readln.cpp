// CPU time of the socket component's waits when nothing happens: a ReadLn on a silent peer, a
// Read that has part of its bytes, and an Accept that no peer answers. Each wait should cost next
// to nothing, whatever its length.
//
// usage: bench_idle_readln [seconds per wait, default 10]
#include "net/Wirecore.h"

#include <QCoreApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void Measure(const char* what, const std::function<void()>& wait)
{
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    try {
        wait();
    } catch (const std::exception& error) {
        std::printf("  (ended by: %s)\n", error.what());
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = CpuSeconds() - cpuBefore;
    std::printf("%-40s wall %6.2f s  cpu %7.4f s  (%.3f %%)\n", what, wall, cpu,
                100.0 * cpu / wall);
}

// A plain loopback listener; the component connects to it and it accepts the far end.
struct SilentPeer {
    int listener = -1;
    int far = -1;
    int port = 0;
    SilentPeer()
    {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener, 1);
        socklen_t length = sizeof a;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    void Attach(TWirecore& socket)
    {
        socket.Host = "127.0.0.1";
        socket.Port = port;
        socket.Connect();
        far = ::accept(listener, nullptr, nullptr);
    }
    ~SilentPeer()
    {
        ::close(far);
        ::close(listener);
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int ms = seconds * 1000;
    std::printf("each wait lasts %d s\n", seconds);

    {
        SilentPeer peer;
        TWirecore socket(nullptr);
        peer.Attach(socket);
        socket.TimeOut = ms; // the time-out ends the wait
        Measure("ReadLn on a silent peer", [&] { socket.ReadLn(); });
    }
    {
        SilentPeer peer;
        TWirecore socket(nullptr);
        peer.Attach(socket);
        ::send(peer.far, "abc", 3, 0);
        QTimer::singleShot(ms, [&] { socket.Cancel(); });
        Measure("Read(5) with 3 of 5 bytes waiting", [&] { socket.Read(5); });
    }
    {
        TWirecore socket(nullptr);
        socket.Listen(true);
        QTimer::singleShot(ms, [&] { socket.Cancel(); });
        Measure("Accept with no peer", [&] { socket.Accept(); });
    }
    return 0;
}
