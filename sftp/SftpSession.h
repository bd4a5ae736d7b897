#pragma once
// transfer::Session over an SftpClient, so that a transfer queue, a tree transfer or ftpdrive
// drive an SFTP server as they drive an FTP one. Open looks the host up (an address literal
// needs no lookup) and connects; the operations are the client's, with their failures told in
// the session interface's kinds.
//
// SFTP has no current directory on the server: the session keeps its own. Once ChangeDirectory
// has named one, every relative remote path is taken from it; until then the server takes it
// from the directory the login starts in.
//
// A download that does not resume is written under a hidden name in the target's folder and
// renamed over the target only once whole, so that a cut-off transfer never costs the user the
// file that was there. A resumed one goes on in the file itself, from its length.
#include "net/TransferSession.h"
#include "sftp/SftpClient.h"

#include <memory>
#include <string>

namespace platform {
class NotificationWindow;
struct HostEntry;
} // namespace platform

namespace sftp {

class SftpSession : public transfer::Session {
public:
    // `options.host` is the server's name or address, looked up here.
    explicit SftpSession(ConnectOptions options, bool keepTimes = false);
    ~SftpSession() override;

    void Open(transfer::DoneHandler done) override;
    bool Idle() const override;
    bool Start(const transfer::Request& request, transfer::ProgressHandler progress,
               transfer::DoneHandler done) override;
    bool StartList(const transfer::Request& request, transfer::ListHandler done) override;
    void Cancel() override;
    void Close() override;

    // The key the server showed (once Open said ok).
    const HostKey& ServerKey();
    SftpClient& Client() { return client_; }

    // The failure kind an SFTP status code stands for: a missing file or a permission the
    // server refuses stays so however often it is asked.
    static transfer::Outcome Classified(transfer::Outcome outcome, bool opening);

private:
    void Looked(intptr_t lParam);
    void Connect(const platform::SocketAddress& address);
    bool StartGet(const transfer::Request& request, transfer::ProgressHandler progress,
                  transfer::DoneHandler done);
    bool StartPut(const transfer::Request& request, transfer::ProgressHandler progress,
                  transfer::DoneHandler done);
    // ChangeDirectory, CurrentDirectory, Delete, RemoveDirectory, Rename, SendCommand
    // (SftpSessionCommands.cpp).
    bool StartCommand(const transfer::Request& request, transfer::DoneHandler done);
    // `path` as the server is to be asked for it: from the current directory when relative.
    std::string Resolved(const std::string& path) const;
    // Tells `done` of `outcome` from the event loop, unless the session has gone by then.
    void AnswerLater(transfer::DoneHandler done, transfer::Outcome outcome);

    ConnectOptions options_;
    bool keepTimes_;
    SftpClient client_;
    transfer::DoneHandler opening_;
    std::unique_ptr<platform::NotificationWindow> window_;
    std::unique_ptr<platform::HostEntry> lookup_;
    int lookupRequest_ = 0;
    // The current directory as the server named it; empty: the one the login starts in.
    std::string directory_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace sftp
