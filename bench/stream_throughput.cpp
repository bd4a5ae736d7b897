// Throughput of a file sent by one socket component (SendFile) and captured by another
// (CaptureFile) over loopback. The components are single-thread event-loop objects, so each side
// runs in its own process: the child listens, accepts and captures, the parent connects and sends.
//
// usage: bench_stream_throughput [MiB, default 1024] [directory, default /dev/shm]
#include "net/Wirecore.h"
#include "platform/Sockets.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct ChildReport {
    double endSeconds = 0; // steady clock, comparable across the two processes
    double cpuSeconds = 0;
    int64_t bytes = 0;
    bool ok = false;
};

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool WriteAll(int fd, const void* data, size_t length)
{
    auto* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t length)
{
    auto* p = static_cast<char*>(data);
    while (length > 0) {
        ssize_t n = ::read(fd, p, length);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool MakeSource(const std::string& path, int64_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    bool ok = true;
    for (int64_t done = 0; ok && done < size; done += static_cast<int64_t>(block.size())) {
        block[0] = static_cast<char>(done >> 20); // no two blocks alike
        ok = WriteAll(fd, block.data(), std::min<int64_t>(block.size(), size - done));
    }
    ::close(fd);
    return ok;
}

bool SameContent(const std::string& a, const std::string& b)
{
    int fa = ::open(a.c_str(), O_RDONLY), fb = ::open(b.c_str(), O_RDONLY);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    bool same = fa >= 0 && fb >= 0;
    while (same) {
        ssize_t na = ::read(fa, ba.data(), ba.size());
        // At the end of the first file the second must end too.
        ssize_t nb = ::read(fb, bb.data(), na > 0 ? static_cast<size_t>(na) : 1);
        if (na != nb || na < 0)
            same = false;
        else if (na == 0)
            break;
        else
            same = std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) == 0;
    }
    ::close(fa);
    ::close(fb);
    return same;
}

// The receiving side: listen on a system-chosen port, tell the parent, accept, capture.
int RunReceiver(int argc, char** argv, int toParent, const std::string& target)
{
    QCoreApplication app(argc, argv);
    ChildReport report;
    try {
        TWirecore socket(nullptr);
        socket.Port = 0;
        socket.Listen(true);
        platform::SocketAddress local;
        platform::GetLocalAddress(socket.SocketHandle, &local);
        const int port = platform::NetworkToHost16(local.port);
        WriteAll(toParent, &port, sizeof port);
        const platform::SocketHandle accepted = socket.Accept();
        platform::CloseSocket(socket.SocketHandle);
        socket.SocketHandle = accepted;
        socket.CaptureFile(target);
        report.endSeconds = Now();
        report.bytes = socket.BytesReceived;
        report.ok = true;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "receiver: %s\n", error.what());
    }
    report.cpuSeconds = CpuSeconds();
    WriteAll(toParent, &report, sizeof report);
    return report.ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const std::string directory = argc > 2 ? argv[2] : "/dev/shm";
    const int64_t size = mib << 20;
    const std::string source = directory + "/tavolen_bench_source_" + std::to_string(getpid());
    const std::string target = directory + "/tavolen_bench_target_" + std::to_string(getpid());
    if (!MakeSource(source, size)) {
        std::fprintf(stderr, "cannot write %s\n", source.c_str());
        return 1;
    }

    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        ::_exit(RunReceiver(argc, argv, pipeFds[1], target));
    }
    ::close(pipeFds[1]);

    int port = 0;
    if (!ReadAll(pipeFds[0], &port, sizeof port)) return 1;

    QCoreApplication app(argc, argv);
    double start = 0, sendEnd = 0, cpu = 0;
    int64_t sent = 0;
    try {
        TWirecore socket(nullptr);
        socket.Host = "127.0.0.1";
        socket.Port = port;
        socket.Connect();
        const double cpuBefore = CpuSeconds();
        start = Now();
        socket.SendFile(source);
        sendEnd = Now();
        cpu = CpuSeconds() - cpuBefore;
        sent = socket.BytesSent;
        // An orderly close, so the receiver gets every byte and then the end of the stream.
        platform::SetLinger(socket.SocketHandle, false, 0);
        socket.Disconnect();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sender: %s\n", error.what());
    }

    ChildReport report;
    const bool reported = ReadAll(pipeFds[0], &report, sizeof report);
    int status = 0;
    ::waitpid(child, &status, 0);
    const bool same = reported && report.ok && SameContent(source, target);
    std::remove(source.c_str());
    std::remove(target.c_str());
    if (!same) {
        std::fprintf(stderr, "transfer failed or the copy differs\n");
        return 1;
    }

    const double seconds = report.endSeconds - start;
    std::printf("%lld MiB in %.2f s: %.0f MB/s (%.0f MiB/s); sent %lld, received %lld bytes\n",
                static_cast<long long>(mib), seconds, size / seconds / 1e6,
                size / seconds / (1 << 20), static_cast<long long>(sent),
                static_cast<long long>(report.bytes));
    std::printf("sender cpu %.2f s (send loop %.2f s), receiver cpu %.2f s\n", cpu, sendEnd - start,
                report.cpuSeconds);
    return 0;
}
