// CPU cost of waiting: a component waits for a notification that never comes, and the program
// prints the CPU time it used meanwhile.
//
//   bench_idle_wait [SECONDS] [connect|readln]
//     connect  the connect wait on a listener whose queue is full (ends by the time-out)
//     readln   a line read from a connected peer that never sends (ends by a cancel)
#include "net/Wirecore.h"

#include <QCoreApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int ListenOnLoopback(int backlog, int* port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, backlog);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    *port = ntohs(a.sin_port);
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
    const std::string mode = argc > 2 ? argv[2] : "connect";

    int port = 0;
    int listener = ListenOnLoopback(mode == "connect" ? 0 : 4, &port);
    if (mode == "connect") {
        // Fill the queue so that the next connection attempt is never answered.
        for (int i = 0; i < 4; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(port));
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        usleep(50000);
    }

    TWirecore socket(nullptr);
    socket.Host = "127.0.0.1";
    socket.Port = port;
    std::string outcome;
    const double before = CpuSeconds();
    try {
        if (mode == "connect") {
            socket.TimeOut = seconds * 1000;
            socket.Connect();
        } else {
            socket.Connect();
            QTimer::singleShot(seconds * 1000, [&] { socket.Cancel(); });
            socket.ReadLn();
        }
        outcome = "ended without error";
    } catch (const std::exception& error) {
        outcome = error.what();
    }
    const double used = CpuSeconds() - before;
    std::printf("mode=%s wait=%ds cpu=%.4fs outcome=%s\n", mode.c_str(), seconds, used,
                outcome.c_str());
    close(listener);
    return 0;
}
