#pragma once
// A session with a file server as the layers above see it when they must not block: start an
// operation, be called back as it progresses and when it ends. Nothing here names a protocol, so
// that a transfer queue or a window can drive a session of any kind of server alike; the FTP
// component provides one (ftp/FtpSession.h).
//
// Every callback runs from the event loop, never inside the call that started the operation, and
// a session runs one operation at a time. Many sessions run at once on the one thread.
#include "platform/Exception.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace transfer {

// How an operation ended. `ok` only for a whole success: for a file, every byte of it, checked.
struct Outcome {
    bool ok = false;
    std::string message; // for people; empty on success
    ErrorReason reason = ErrorReason::Unknown;
    int replyCode = 0; // the server's reply that decided it, 0 when none did
    int64_t bytes = 0; // bytes moved by a transfer (a resumed one: those of this pass)
    // The server's checksum of the file matched the bytes that moved.
    bool verified = false;
    // ModifiedTime: the file's time, seconds since 1970 in UTC.
    std::optional<int64_t> modifiedUtc;

    static Outcome Success(int64_t bytes = 0)
    {
        Outcome outcome;
        outcome.ok = true;
        outcome.reason = ErrorReason::Unknown;
        outcome.bytes = bytes;
        return outcome;
    }
};

// One entry of a remote directory.
struct RemoteEntry {
    enum class Kind : uint8_t { File, Directory, Link, Other };
    std::string name; // as the server wrote it: a single name, never checked here
    Kind kind = Kind::Other;
    std::optional<uint64_t> size;
    // Seconds since 1970 in UTC, when the server said it in a form that names the zone.
    std::optional<int64_t> modifiedUtc;
};

enum class Operation : uint8_t {
    Get,           // remotePath -> localPath
    Put,           // localPath -> remotePath
    List,          // the entries of remotePath (empty: the current directory)
    MakeDirectory, // remotePath
    ModifiedTime,  // the server's time of the file remotePath, in Outcome::modifiedUtc
};

struct Request {
    Operation operation = Operation::Get;
    std::string remotePath;
    std::string localPath;
    // Get: go on from the bytes the local file already has. (A Put is always sent whole.)
    bool resume = false;
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
    // Starts a Get, Put, MakeDirectory or ModifiedTime. False, with nothing started and nothing
    // called back, when the session is not Idle.
    virtual bool Start(const Request& request, ProgressHandler progress, DoneHandler done) = 0;
    // Starts a List.
    virtual bool StartList(const Request& request, ListHandler done) = 0;
    // Ends the running operation; its `done` says Canceled. The session stays usable when the
    // server lets it.
    virtual void Cancel() = 0;
    // Logs out (briefly) and closes; a running operation ends Canceled first.
    virtual void Close() = 0;
};

} // namespace transfer
