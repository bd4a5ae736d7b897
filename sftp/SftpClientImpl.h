#pragma once
// Internal to sftp/: the state of an SftpClient, split over SftpClient.cpp (connection,
// requests, commands) and SftpTransfers.cpp (downloads and uploads).
#include "sftp/Codec.h"
#include "sftp/SftpClient.h"

#include <QObject>
#include <QTimer>

#include <unordered_map>

namespace platform {
class NotificationWindow;
}

namespace sftp {

// A file descriptor, closed with its holder.
struct LocalFd {
    int fd = -1;
    LocalFd() = default;
    explicit LocalFd(int fd) : fd(fd) {}
    LocalFd(const LocalFd&) = delete;
    LocalFd& operator=(const LocalFd&) = delete;
    ~LocalFd();
};

struct SftpClient::Impl {
    using Handler = std::function<void(Reply&)>;
    enum class State { Unconnected, Connecting, Ready, Closed };

    Impl();
    ~Impl();

    void Connected(uint16_t error);
    void OnData(std::string_view bytes);
    // Queues a request; `handler` gets its reply (STATUS or the success type).
    template <typename Encode>
    void Request(PacketType type, Encode&& encode, Handler handler, uint32_t readLength = 0)
    {
        const uint32_t id = codec.Send(type, std::forward<Encode>(encode), readLength);
        handlers[id] = std::move(handler);
    }
    // Hands the transport what it takes of the queued requests.
    void Flush();
    // Begins an operation that ends with `end`; false when one runs or not connected.
    bool Begin(Done end);
    // Ends the running operation (once); requests of it still in flight are answered into the
    // void.
    void Finish(const transfer::Outcome& outcome);
    void FinishStatus(const Reply& reply, const std::string& what);
    // The connection can no longer be used: it is closed and the operation ends with `reason`.
    void Broken(const std::string& message, ErrorReason reason);
    // Sends CLOSE for a handle, then ends the operation with `outcome` (a failure of the CLOSE
    // spoils only a success).
    void CloseHandleThenFinish(const std::string& handle, transfer::Outcome outcome);

    // SftpTransfers.cpp
    bool StartDownload(const std::string& remotePath, const std::string& localPath, uint64_t offset,
                       transfer::ProgressHandler progress);
    // `append`: from the remote file's end, whatever `offset` says.
    bool StartUpload(const std::string& localPath, const std::string& remotePath, uint64_t offset,
                     transfer::ProgressHandler progress, bool append = false);

    State state = State::Unconnected;
    ConnectOptions options;
    SshTransport transport;
    Codec codec;
    std::unordered_map<uint32_t, Handler> handlers;
    Done connected; // the Connect's callback, until VERSION came
    Done running;   // the running operation's end
    // How the running operation gives up when canceled (closing its remote handle first); none:
    // it just ends.
    std::function<void()> cancel;
    platform::SocketHandle socket = platform::kNoSocket; // until the transport takes it
    std::unique_ptr<platform::NotificationWindow> window;
    QTimer connectTimer;
    QObject context;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

transfer::Outcome Failure(const std::string& message, ErrorReason reason);

} // namespace sftp
