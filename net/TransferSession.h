#pragma once
// A session with a file server as the layers above see it when they must not block: start an
// operation, be called back as it progresses and when it ends. Nothing here names a protocol, so
// that a transfer queue or a window can drive a session of any kind of server alike; the FTP
// component provides one (ftp/FtpSession.h).
//
// Every callback runs from the event loop, never inside the call that started the operation, and
// a session runs one operation at a time. Many sessions run at once on the one thread.
#include "platform/Exception.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace transfer {

// Why an operation failed, in terms any protocol can fill: what the transfer queue decides its
// tries and its number of sessions by (docs/session-interface.md has the whole contract).
enum class FailureKind : uint8_t {
    None,              // it did not fail, or the session said no more than its ErrorReason
    ConnectionLost,    // the connection could not be made, broke off, or the server closed it
    TimedOut,          // nothing heard for too long; the connection is given up
    TooManySessions,   // the server turned the session away for the number of sessions
    LoginRefused,      // the server would not take the user and password
    RefusedForGood,    // refused, and asking again the same way will not change that
    Unsupported,       // the server does not do this at all: no use asking it again this session
    RefusedForNow,     // refused for the moment (a file in use, no room just now)
    DataChannelFailed, // the channel for the bytes failed, or they came cut short; the session is
                       // fine
    LocalFailure,      // a local file could not be opened, made, read or written
    Canceled,          // ended by Cancel or Close
    Other,             // none of these: a checksum that does not match, a reply that makes no sense
};

// How an operation ended. `ok` only for a whole success: for a file, every byte of it, checked.
struct Outcome {
    bool ok = false;
    std::string message; // for people; empty on success
    ErrorReason reason = ErrorReason::Unknown;
    // Set by a session that knows more than `reason` tells (a server's "too many sessions", say);
    // None leaves it to the reason: KindOf().
    FailureKind failure = FailureKind::None;
    // The server's own number for the answer that decided it, 0 when none did: for the record
    // only, nothing above the session decides by it.
    int replyCode = 0;
    int64_t bytes = 0; // bytes moved by a transfer (a resumed one: those of this pass)
    // The server's checksum of the file matched the bytes that moved.
    bool verified = false;
    // ModifiedTime: the file's time, seconds since 1970 in UTC.
    std::optional<int64_t> modifiedUtc;
    // ChangeDirectory, CurrentDirectory: the current directory as the server names it; empty
    // when it changed the directory but would not say to what.
    std::string path;
    // SendCommand: the server's whole answer, its lines joined by "\n" (a refusal's too).
    std::string reply;

    static Outcome Success(int64_t bytes = 0)
    {
        Outcome outcome;
        outcome.ok = true;
        outcome.reason = ErrorReason::Unknown;
        outcome.bytes = bytes;
        return outcome;
    }
};

// The kind of failure `reason` is when nothing more is known.
FailureKind KindOf(ErrorReason reason);
// The kind of a failed outcome: its own `failure`, else its reason's; None for a success.
FailureKind KindOf(const Outcome& outcome);

// One entry of a remote directory.
struct RemoteEntry {
    enum class Kind : uint8_t { File, Directory, Link, Other };
    std::string name; // as the server wrote it: a single name, never checked here
    Kind kind = Kind::Other;
    std::optional<uint64_t> size;
    // Seconds since 1970 in UTC, when the server said it in a form that names the zone.
    std::optional<int64_t> modifiedUtc;
    // What the server names the entry by whatever path leads to it (a machine listing's
    // "unique" fact): two entries alike in it are one file or directory. Empty when not given.
    std::string unique;
};

enum class Operation : uint8_t {
    Get,           // remotePath -> localPath
    Put,           // localPath -> remotePath
    List,          // the entries of remotePath (empty: the current directory)
    MakeDirectory, // remotePath
    ModifiedTime,  // the server's time of the file remotePath, in Outcome::modifiedUtc
    // The current directory becomes remotePath; Outcome::path names it as the server does.
    ChangeDirectory,
    CurrentDirectory, // Outcome::path
    Delete,           // the file remotePath
    RemoveDirectory,  // the (empty) directory remotePath
    Rename,           // remotePath becomes newRemotePath
    // `command` as it is, for a protocol that has commands one can type (Outcome::reply); the
    // others answer Unsupported.
    SendCommand,
};

struct Request {
    Operation operation = Operation::Get;
    std::string remotePath;
    std::string localPath;
    // Get: go on from the bytes the local file already has. (A Put is always sent whole.)
    bool resume = false;
    // Put: the whole local file is added to the end of the remote one instead of replacing it
    // (not verified, and the remote file keeps its time).
    bool append = false;
    // Rename: the new name.
    std::string newRemotePath;
    // SendCommand: the line to send.
    std::string command;
    // A file of a tree: localPath lies below localRoot, and no step below the root is taken
    // through a symbolic link.
    std::string localRoot;
    // Put: the file the tree's scan found (device, inode); another under its name is refused.
    std::optional<std::pair<uint64_t, uint64_t>> localIdentity;
    // List: a listing of more entries than this fails, without keeping them (0: no bound).
    size_t maxEntries = 0;
    // Get: the server's time of the file, when a listing gave it exactly. A session that keeps
    // times gives it to the local file, and asks the server for it when it is not given.
    std::optional<int64_t> modifiedUtc;
};

struct Progress {
    int64_t bytes = 0;  // moved so far in this operation
    int64_t total = -1; // the whole, when known
};

using ProgressHandler = std::function<void(const Progress&)>;
using DoneHandler = std::function<void(const Outcome&)>;
using ListHandler = std::function<void(const Outcome&, const std::vector<RemoteEntry>&)>;

class Session {
public:
    virtual ~Session() = default;

    // Connects and logs in. `done` tells how; an operation may start once it said ok.
    virtual void Open(DoneHandler done) = 0;
    // Whether an operation may start now: open, and none running.
    virtual bool Idle() const = 0;
    // Starts any operation but a List. False, with nothing started and nothing called back, when
    // the session is not Idle.
    virtual bool Start(const Request& request, ProgressHandler progress, DoneHandler done) = 0;
    // Starts a List.
    virtual bool StartList(const Request& request, ListHandler done) = 0;
    // Ends the running operation; its `done` says Canceled. The session stays usable when the
    // server lets it.
    virtual void Cancel() = 0;
    // Logs out (briefly) and closes; a running operation ends Canceled first.
    virtual void Close() = 0;
    // Closes for a user who stopped the run: as Close, but the server's goodbye is not waited
    // for (a session that can say goodbye at once still does).
    virtual void CloseAtOnce() { Close(); }
};

} // namespace transfer
