// What a checksum computed on the way costs a download: the FTP component downloads one file,
// either as it does by default (from the socket to the file inside the kernel) or with a SHA-256
// fed every block as it is written, which is how a verified download runs (the blocks then pass
// through the working buffer). The server's own answer to the hash command is not part of it.
//
// usage: bench_hashed_download PORT REMOTE LOCAL plain|sha256
// (server 127.0.0.1, user anonymous, passive, no TLS). Prints "seconds=S" of the download alone.
#include "ftp/VaskFtp.h"
#include "net/Digest.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_hashed_download PORT REMOTE LOCAL plain|sha256\n");
        return 2;
    }
    const bool hashed = std::string(argv[4]) == "sha256";
    try {
        TVaskFTP ftp(nullptr);
        ftp.Host = "127.0.0.1";
        ftp.Port = std::atoi(argv[1]);
        ftp.UserID = "anonymous";
        ftp.Password = "bench@example.com";
        ftp.Passive = true;
        ftp.TimeOut = 30000;
        Digest digest(DigestAlgorithm::Sha256);
        if (hashed)
            ftp.OnTransactionStart = [&](TComponent*) {
                ftp.DataSocket->OnFileBytes = [&](const char* bytes, size_t length) {
                    digest.Update(bytes, length);
                };
                ftp.DataSocket->FileBytesRoom = [&] { return digest.Room(); };
            };
        ftp.Connect();
        const auto start = std::chrono::steady_clock::now();
        ftp.Download(argv[2], argv[3]);
        const std::string value = hashed ? digest.Final() : std::string("-");
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        ftp.Disconnect();
        std::printf("seconds=%.6f sha256=%s\n", took.count(), value.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "error: %s\n", error.what());
        return 1;
    }
    return 0;
}
