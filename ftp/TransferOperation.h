#pragma once
// Internal to the FTP component: a listing or a file transfer as a state machine, from the
// representation type to the closing reply. It touches no socket and no file: it is fed whole
// replies and what happened on the data connection, and says what to do next.
//
//   state      entered when                               left on
//   Idle       made                                       Start()
//   Type       a file moves, and the session is not known  200 or a refusal; none fails
//              to be binary: "TYPE I" is to go out
//   Size       the server's size is wanted (SIZE)         "213 N": known, else unknown; then
//                                                         a resume with nothing left succeeds,
//                                                         one longer than the server's fails
//   Channel    PASV/EPSV sent, or PORT/EPRT once the      2xx (with a port when passive): the
//              data connection listens                    command goes out (or went out right
//                                                         behind, pipelined); else fails
//   Restart    a download goes on after `offset` bytes    350; anything else fails
//   Command    RETR/STOR/APPE/LIST/MLSD sent              1xx or 2xx: DataPhase; 301-599 or
//                                                         none fails (425: DataConnectionFailed)
//   DataPhase  the data may move                          the data's end and the closing reply
//                                                         both in: decided; a failure reply or a
//                                                         broken data connection fails at once
//   Succeeded, Failed, Canceled
//
// A Cancel (or the session's time-out) ends it from any state but the last three: a download or
// listing whose command went out is told ABOR. The replies still owed are the session's to read.
//
// Every reply must fit the command it is taken for (ReplyFit.h): one that does not means the
// server's replies and our commands are out of step, and the operation fails with OutOfStep.
//
// Pipelined, the transfer command goes out right behind PASV/EPSV, a round trip sooner, and the
// data may move as soon as the data connection is there (servers take the command and then wait
// for the connection). Never behind PORT/EPRT: a server may connect back before or after it
// answers, and some answer the transfer command first, so its 200 would come where the
// command's reply is due. A data connection that breaks, or cannot be made, before the
// command's reply is then judged by that reply (ABOR goes out when it could not be made, since the
// server may still be waiting for it). A resumed download is never pipelined: a refused REST must
// stop the command, or the whole file would be appended to the part already here.
#include "ftp/FtpReply.h"

#include <cstdint>
#include <optional>
#include <string>

class TransferOperation {
public:
    enum class Kind { Get, Put, List };
    enum class State {
        Idle,
        Type,
        Size,
        Channel,
        Restart,
        Command,
        DataPhase,
        Succeeded,
        Failed,
        Canceled
    };

    struct Settings {
        Kind kind = Kind::Get;
        // The command that moves the data: "RETR name", "STOR name", "APPE name", "LIST", "MLSD".
        std::string command;
        // The path SIZE asks about; SIZE is sent only when it is set.
        std::string sizeOf;
        bool passive = true;
        // EPSV or EPRT rather than PASV or PORT (an IPv6 control connection).
        bool extended = false;
        // The session is known to be in binary type already: no TYPE I.
        bool binary = false;
        // Get: go on after the bytes the local file already holds (REST offset, also 0).
        bool restart = false;
        int64_t offset = 0;
        // Get with restart: the local file exists, so a server's size equal to it leaves nothing
        // to fetch, and a smaller one means the local file is no part of the server's.
        bool compareWithLocal = false;
        // The transfer command goes out without waiting for the channel command's reply.
        bool pipelined = false;
        // Put: the bytes the file held when it was opened, when known. Fewer sent is no upload,
        // whatever the server answers.
        int64_t sendSize = -1;
    };

    // Everything the session is to do now, in this order.
    struct Step {
        bool listen = false;              // active mode: listen, then call Listening()
        std::optional<int32_t> connectTo; // passive mode: connect the data connection here
        std::string send;                 // a command to send
        std::string sendNext;             // and one sent right behind it, before its reply
        bool moveData = false;            // the data may move once the connection is there
        bool closeData = false;           // stop moving and close the data connection
        bool done = false;                // ended: Current(), Failure() and Total() say how
    };

    explicit TransferOperation(Settings settings);

    State Current() const { return state_; }
    const FtpFailure& Failure() const { return failure_; }
    // The state a failure came in (Idle when it has not failed).
    State FailedIn() const { return failedIn_; }
    // What the whole file comes to, when the server said so (SIZE, or the transfer command's
    // reply); -1 when unknown.
    int64_t Total() const { return total_; }

    Step Start();
    // Active mode: the data connection listens; `portCommand` names it to the server.
    Step Listening(const std::string& portCommand);
    Step Reply(const FtpReply& reply);
    // A size the transfer command's reply announced on a line after its first.
    void SizeAnnounced(int64_t size);
    // The data connection came to its end after `bytes` bytes (of this pass).
    Step DataEnded(int64_t bytes);
    // The data connection could not be made or broke.
    Step DataFailed(const FtpFailure& failure);
    // The user's Cancel, or no progress for the session's time-out.
    // `why`, when given, is the failure's text in place of the usual one.
    Step Cancel(bool timedOut, std::string why = {});

private:
    Step Enter(State next);
    Step Enter(State next, Step step);
    Step Fail(FtpFailure failure);
    Step AskSize();
    Step AfterSize();
    Step OpenChannel();
    Step SendCommand();
    Step Decide();
    // The server's refusal `reply`, unless a failure of this side's came first and caused it.
    Step Refusal(const FtpReply& reply);
    // A failure of this side's, rather than of the connection or the server.
    static bool OwnFailure(ErrorReason reason);
    bool Ended() const;
    bool Pipelining() const;
    // The command the next reply answers.
    std::string Asked() const;
    // The command went out with the channel's, and the data may move once connected.
    Step Pipelined(Step step);

    Settings settings_;
    State state_ = State::Idle;
    FtpFailure failure_;
    int64_t total_ = -1;
    std::optional<int64_t> dataBytes_;
    std::optional<FtpReply> closing_;
    // The transfer command went out behind the channel command.
    bool commandSent_ = false;
    // Active mode: the PORT or EPRT command that names the listening data connection.
    std::string portCommand_;
    State failedIn_ = State::Idle;
};
