#pragma once
// An FTP session that never blocks its caller: the FTP component's side of transfer::Session.
// It owns a TVaskFTP, set up by the caller (host, credentials, mode, TLS, trust, handlers), and
// runs each operation as a machine (TransferOperation, CommandOperation, SessionCommand) driven by
// the notifications of its control and data connections. Any number of sessions run at once on
// the one thread; none of them waits in the event loop for a transfer.
//
// The login (Open) still runs the component's blocking Connect, from the event loop: it is a
// few round trips, and the transfers of other sessions go on while it waits.
#include "ftp/SessionCommand.h"
#include "ftp/TransferOperation.h"
#include "ftp/VaskFtp.h"
#include "net/TransferSession.h"

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class LocalFile;
class NotificationWindow;
} // namespace platform
namespace ftpfiles {
class DownloadTarget;
}
class TThreadTimer;

class FtpSession : public transfer::Session {
public:
    explicit FtpSession(std::unique_ptr<TVaskFTP> ftp);
    ~FtpSession() override;
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    // The component, for its settings and events; its blocking operations are not to be used
    // while an operation of the session runs.
    TVaskFTP& Ftp() { return *ftp_; }

    void Open(transfer::DoneHandler done) override;
    bool Idle() const override;
    bool Start(const transfer::Request& request, transfer::ProgressHandler progress,
               transfer::DoneHandler done) override;
    bool StartList(const transfer::Request& request, transfer::ListHandler done) override;
    void Cancel() override;
    void Close() override;
    void CloseAtOnce() override;

    // Transfer commands go out right behind PASV/EPSV or PORT/EPRT, saving a round trip per file
    // (on by default). A server whose data connection fails under it (425, or a refused
    // connection) gets the transfer again, and every command after its reply for the rest of
    // the login. Passive transfers use EPSV where FEAT lists it, and PASV again, for the rest of
    // the login, where the server refuses it after all.
    void SetPipelining(bool on) { pipelining_ = on; }
    bool Pipelining() const { return pipelining_; }

private:
    struct Running;

    bool Begin(std::unique_ptr<Running> running);
    // Sends the running request's first commands; a failure to start ends it.
    void StartRequest();
    void StartTransfer();
    void StartCommand();
    // The reply to MKD, or to the MDTM of a ModifiedTime.
    void CommandReply(const FtpReply& reply);
    // The operations SessionCommand runs (FtpSessionCommands.cpp).
    void StartSessionCommand(const transfer::Request& request);
    void SessionCommandReply(const FtpReply& reply);
    void SessionCommandStep(const SessionCommand::Step& step);
    // Whether the running operation may be run again on a new login: not one whose effect may
    // have taken already (an append that sent bytes), nor one the new login's start would change
    // (a relative CWD).
    bool MayTryOnNewLogin() const;
    // Does what the machine asked.
    void Apply(const TransferOperation::Step& step);
    void OnReply(const FtpReply& reply);
    void OnDataEvent(uint16_t event, uint16_t error);
    void ConnectData(int32_t port);
    void ListenForData();
    void TryMove();
    void ReceiveData();
    // The next round of a download, asked from the event loop: a failure to write the file ends
    // the transfer with its reason.
    void ReceiveQueued();
    void SendData();
    void DataEnded();
    void DataFailed(const std::string& message, ErrorReason reason, int errorNumber = 0);
    void CloseData();
    void Progressed();
    // The floor under the speed's window in milliseconds, 0 when there is none.
    int64_t SpeedFloorMs() const;
    void CheckProgress();
    // A listing's bytes as they come: each whole line becomes an entry at once. A failure's
    // text when the listing is no listing (a line or the whole too long, too many entries).
    std::string TakeListing(std::string_view bytes);
    void TakeListingLine(std::string_view line);
    void EndListing();
    // Checksums (Verify): the algorithm is chosen once per login, with OPTS HASH where the server
    // needs telling; a digest is fed as the bytes pass, and once the transfer has succeeded it is
    // compared with the server's answer to the hash command. A download that does not match is
    // set aside as NAME.unverified. A resumed download is not verified (with Verify Require it
    // is fetched whole instead).
    bool PrepareChecksum();
    void HashSelected(const FtpReply& reply);
    void WatchData(TWirecore& data);
    bool AskChecksum();
    void ChecksumReply(const FtpReply& reply);
    // After the checks: the server's time of an upload, then success.
    void Concluded();
    // A transfer that succeeded: its handler is told, after the server's time of an uploaded
    // file was set (KeepTimes) -- MFMT, else SITE UTIME or MDTM with a time, each asked without
    // waiting.
    void Succeed();
    bool KeepServerTime();
    // A download with KeepTimes takes the time its request carries, else the one MDTM answers
    // (a file the server gives no time keeps the time it was received).
    bool KeepLocalTime();
    void LocalTimeReply(const FtpReply& reply);
    void SetLocalTime(int64_t seconds);
    bool SendTimeCommand();
    void TimeReply(const FtpReply& reply);
    // The answer to an MFMT sent without waiting, which came ahead of the next operation's.
    void LateTimeReply(const FtpReply& reply);
    // Ends the running operation: its handler is called from the event loop, once what it used
    // is gone.
    void Finish(transfer::Outcome outcome);
    void Deliver();
    void RunOpen();
    // A pipelined transfer whose data connection failed before any byte moved is tried again
    // with the commands one after another; one whose EPSV was refused, with PASV; a listing
    // whose MLSD was refused, with LIST.
    bool RetryPlainer();
    // A listing whose MLSD the server does not know: taken again, and from then on, with LIST.
    static bool MachineListingRefused(const Running& run, const TransferOperation& machine);
    void RunRetry();
    // Replies that do not fit their commands: the connection is closed, and the operation is
    // tried once more on a new login whose commands each wait for the reply before them.
    void OutOfStep(const FtpFailure& failure);
    bool RetryOnNewLogin(const FtpFailure& failure);
    void RunRelogin();
    // The running operation is replaced by a fresh try of its request, started from the event
    // loop once the handlers of this one have been left: on the same login, or on a new one.
    void TryAgain(bool onNewLogin);
    // A reply that answers no command the session sent: false, once the session is closed.
    bool Fits(const std::string& command, const FtpReply& reply);

    std::unique_ptr<TVaskFTP> ftp_;
    std::unique_ptr<platform::NotificationWindow> poster_;
    std::unique_ptr<TThreadTimer> watchdog_;
    std::unique_ptr<Running> running_;
    // The ended operation whose handler is still to be called.
    std::unique_ptr<Running> ended_;
    // The try a retry replaced, kept until the event loop has left its handlers.
    std::unique_ptr<Running> retired_;
    // The running SessionCommand's machine (the last one's, once it ended).
    std::unique_ptr<SessionCommand> sessionCommand_;
    transfer::DoneHandler opening_;
    bool open_ = false;
    // TYPE I has been answered with success in this login.
    bool binary_ = false;
    bool pipelining_ = true;
    // EPSV is left for PASV once the server refused it.
    bool epsvRefused_ = false;
    // Pipelined, an upload's MFMT goes out without waiting: its file counts as done at once, and
    // the answer, read before anything of the next operation, only says whether the time took.
    // The remote paths whose answers are still to come, oldest first; the session keeps
    // listening for them between operations.
    std::deque<std::string> timesOwed_;
    // The server does not know MDTM: downloads keep the time they were received.
    bool mdtmUnknown_ = false;
};
