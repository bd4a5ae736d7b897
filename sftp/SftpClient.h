#pragma once
// An SFTP client that never blocks its caller: it connects its own socket, lets SshTransport
// carry the SSH side, and runs each operation as requests of the Codec, many in flight at once,
// from the notifications of the one socket. Every callback runs from the event loop.
//
// One operation runs at a time, as in transfer::Session, whose operations these are written to
// carry.
#include "net/TransferSession.h"
#include "platform/SocketAddress.h"
#include "sftp/SshTransport.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sftp {

class SftpClient {
public:
    using Done = transfer::DoneHandler;
    using PathDone = std::function<void(const transfer::Outcome&, const std::string& path)>;

    // Reads in flight during a download and writes during an upload, of kBlockSize each.
    static constexpr uint32_t kBlockSize = 32768;
    static constexpr size_t kRequestsInFlight = 64;

    SftpClient();
    ~SftpClient();
    SftpClient(const SftpClient&) = delete;
    SftpClient& operator=(const SftpClient&) = delete;

    // Connects to `address` (its port is options.port), checks the host key, logs in and opens
    // the SFTP subsystem. The host name in `options` is what the known-hosts files are asked
    // about; looking it up is the caller's.
    void Connect(const platform::SocketAddress& address, ConnectOptions options, Done done);
    // Whether an operation may start: connected, and none running.
    bool Idle() const;

    // Each returns false, starting nothing and calling nothing back, when not Idle.
    bool List(const std::string& path, transfer::ListHandler done);
    // Downloads from `offset` of the remote file into the local file at the same offset (0:
    // the local file is made anew). Ends ok only when every byte up to the server's end of
    // file is in the local file.
    bool Download(const std::string& remotePath, const std::string& localPath, uint64_t offset,
                  transfer::ProgressHandler progress, Done done);
    // Uploads the local file from `offset` to the same offset of the remote file (0: the remote
    // file is made anew).
    bool Upload(const std::string& localPath, const std::string& remotePath, uint64_t offset,
                transfer::ProgressHandler progress, Done done);
    // Adds the whole local file to the end of the remote one (made when there is none).
    bool Append(const std::string& localPath, const std::string& remotePath,
                transfer::ProgressHandler progress, Done done);
    bool MakeDirectory(const std::string& path, Done done);
    bool RemoveDirectory(const std::string& path, Done done);
    bool Remove(const std::string& path, Done done);
    bool Rename(const std::string& from, const std::string& to, Done done);
    // The absolute form of `path` ("." is the directory the login starts in).
    bool RealPath(const std::string& path, PathDone done);
    // The absolute form of `path`, once the server said it is a directory.
    bool ResolveDirectory(const std::string& path, PathDone done);
    // Sets the modification (and access) time, seconds since 1970 UTC.
    bool SetModified(const std::string& path, int64_t modifiedUtc, Done done);

    // Ends the running operation with Canceled, once the remote file it had open is closed;
    // answers still owed to it are dropped, and the connection stays usable.
    void Cancel();
    // Closes the connection; a connect under way or a running operation ends Canceled.
    void Close();

    SshTransport& Transport();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace sftp
