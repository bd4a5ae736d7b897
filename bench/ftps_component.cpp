// Throughput of one file over FTPS through the socket component alone: the control connection
// and a passive data connection are plain TWirecore instances speaking just enough of the
// protocol (AUTH TLS or implicit TLS, PBSZ, PROT P, PASV, RETR or STOR) for the transfer, with
// the data connection resuming the control connection's TLS session as servers require. It
// measures the TLS path of the stream operations against curl on the same server until the FTP
// component speaks TLS itself.
//
// usage: bench_ftps_component explicit|implicit PORT CA-FILE get REMOTE LOCAL
//        bench_ftps_component explicit|implicit PORT CA-FILE put LOCAL REMOTE
// (server 127.0.0.1, user anonymous). Prints seconds, MiB/s and the TLS of both connections.
#include "net/Wirecore.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

// One reply: its lines up to the last ("ddd " after any "ddd-" lines); the first three digits.
int Reply(TWirecore& control, std::string* text = nullptr)
{
    std::string line = control.ReadLn();
    if (line.size() < 4) throw std::runtime_error("the server closed the control connection");
    const std::string code = line.substr(0, 3);
    while (line[3] == '-') {
        line = control.ReadLn();
        if (line.empty()) throw std::runtime_error("the server closed the control connection");
        if (line.rfind(code + " ", 0) == 0) break;
    }
    if (text) *text = line;
    return std::atoi(code.c_str());
}

int Command(TWirecore& control, const std::string& command, std::string* text = nullptr)
{
    control.Writeln(command);
    return Reply(control, text);
}

void Expect(int code, int wanted, const std::string& what)
{
    if (code != wanted)
        throw std::runtime_error(what + ": reply " + std::to_string(code) + " instead of " +
                                 std::to_string(wanted));
}

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" -> the port.
int PassivePort(const std::string& reply)
{
    const size_t open = reply.find('(');
    int h[4], p[2];
    if (open == std::string::npos || std::sscanf(reply.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h[0],
                                                 &h[1], &h[2], &h[3], &p[0], &p[1]) != 6)
        throw std::runtime_error("no address in " + reply);
    return p[0] * 256 + p[1];
}

int Run(int argc, char** argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s explicit|implicit PORT CA get|put FROM TO\n", argv[0]);
        return 2;
    }
    const bool implicit = std::string(argv[1]) == "implicit";
    const bool get = std::string(argv[4]) == "get";
    TTlsSettings settings;
    settings.ServerName = "127.0.0.1";
    settings.CaFiles = {argv[3]};

    TWirecore control(nullptr);
    control.Host = "127.0.0.1";
    control.Port = std::atoi(argv[2]);
    control.Connect();
    if (implicit) control.StartTls(settings);
    Expect(Reply(control), 220, "greeting");
    if (!implicit) {
        Expect(Command(control, "AUTH TLS"), 234, "AUTH TLS");
        control.StartTls(settings);
    }
    if (!control.PeerCertificate().Trusted())
        throw std::runtime_error("certificate: " + control.PeerCertificate().Problem);
    int code = Command(control, "USER anonymous");
    if (code == 331) code = Command(control, "PASS bench@example.invalid");
    Expect(code, 230, "login");
    Expect(Command(control, "PBSZ 0"), 200, "PBSZ");
    Expect(Command(control, "PROT P"), 200, "PROT");
    Expect(Command(control, "TYPE I"), 200, "TYPE");
    std::string passive;
    Expect(Command(control, "PASV", &passive), 227, "PASV");

    TWirecore data(nullptr);
    data.Host = "127.0.0.1";
    data.Port = PassivePort(passive);
    data.Connect();
    const auto start = std::chrono::steady_clock::now();
    control.Writeln((get ? "RETR " : "STOR ") + std::string(get ? argv[5] : argv[6]));
    settings.Resume = control.TlsSession();
    data.StartTls(settings);
    const bool resumed = data.TlsResumed();
    Expect(Reply(control), 150, "transfer start");
    if (get) {
        data.CaptureFile(argv[6]);
    } else {
        data.SendFile(argv[5]);
        data.Disconnect();
    }
    Expect(Reply(control), 226, "transfer end");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double bytes = static_cast<double>(get ? data.BytesReceived : data.BytesSent);
    std::printf("%.3f s  %.1f MiB/s  control %s %s  data %s%s\n", seconds,
                bytes / seconds / (1 << 20), control.TlsVersion().c_str(),
                control.TlsCipher().c_str(), resumed ? "resumed" : "NOT resumed",
                data.TlsTruncated() ? ", cut without close_notify" : "");
    Command(control, "QUIT");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "error: %s\n", error.what());
        return 1;
    }
}
