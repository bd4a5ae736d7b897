#pragma once
// The window's commands run on a session of any protocol (net/TransferSession.h): each starts
// one operation and waits for its end in one local event loop, the only wait of the command.
// The window stays live meanwhile: its boxes are answered, Esc and Desconectar reach Cancel.
//
// A failed operation throws an Exception with the session's message and reason, as the
// window's other commands report their failures.
#include "net/TransferSession.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QEventLoop;

namespace app {

class SessionDriver {
public:
    explicit SessionDriver(std::unique_ptr<transfer::Session> session);
    ~SessionDriver();
    SessionDriver(const SessionDriver&) = delete;
    SessionDriver& operator=(const SessionDriver&) = delete;

    transfer::Session& Session() { return *session_; }
    // Logged in, and not closed or lost since.
    bool Connected() const { return connected_; }
    // An operation (the login included) is waited for.
    bool Running() const { return loop_ != nullptr; }

    void Open();
    // The entries of `path` (empty: the directory the session is in).
    std::vector<transfer::RemoteEntry> List(const std::string& path);
    // `progress` gets (bytes so far, the whole or -1) as they move.
    using Progress = std::function<void(int64_t bytes, int64_t total)>;
    transfer::Outcome Get(const std::string& remote, const std::string& local, Progress progress);
    transfer::Outcome Put(const std::string& local, const std::string& remote, Progress progress);
    void MakeDirectory(const std::string& path);
    // The directory the session is in afterwards, as the server names it (empty: not said).
    std::string ChangeDirectory(const std::string& path);
    std::string CurrentDirectory();
    void Delete(const std::string& path);
    // Any other operation the session offers, by its request.
    transfer::Outcome Run(const transfer::Request& request, Progress progress = nullptr);

    // Waits, as for an operation, for something that runs beside the session (a folder transfer
    // over sessions of its own): `start` is handed the function that ends the wait, which it may
    // call at once. Cancel() calls `stop` meanwhile.
    void AwaitBeside(const std::function<void(std::function<void()> ended)>& start,
                     std::function<void()> stop);

    // Ends the operation waited for; its command fails Canceled. A login under way is given up.
    void Cancel();
    // Closes the session (a running operation ends Canceled first).
    void Close();

private:
    using Starter = std::function<bool(transfer::DoneHandler)>;
    // `onSession`: an operation of the session, which must be open for it.
    transfer::Outcome Await(const Starter& start, bool onSession = true);
    transfer::Outcome Checked(const transfer::Outcome& outcome);

    std::unique_ptr<transfer::Session> session_;
    QEventLoop* loop_ = nullptr;
    bool opening_ = false;
    std::function<void()> stopBeside_;
    bool connected_ = false;
};

// An entry as a line of `ls -l`: the kind, what it does not know (the permissions, owner and
// group, a missing size or time) as "?", the size, the time (local, as ls shows it) and the name.
std::string ListingLine(const transfer::RemoteEntry& entry);

// The name and kind of such a line, as they were; nothing for a line of another form.
struct ListedEntry {
    std::string name;
    transfer::RemoteEntry::Kind kind = transfer::RemoteEntry::Kind::Other;
};
std::optional<ListedEntry> ReadListingLine(std::string_view line);

} // namespace app
