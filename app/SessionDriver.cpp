#include "app/SessionDriver.h"

#include "platform/Exception.h"
#include "platform/ScopedGuards.h"

#include <QEventLoop>

#include <ctime>
#include <optional>

namespace app {

namespace {

transfer::Outcome Busy()
{
    transfer::Outcome busy;
    busy.message = "The session is busy with another operation";
    busy.reason = ErrorReason::SendInProgress;
    return busy;
}

// Three columns, as wide as a time.
constexpr const char* kUnknownTime = "?   ?     ?";
// The columns before the name: the mode, links, owner, group, size and the time's three.
constexpr int kColumnsBeforeName = 8;

// "Dec  8 13:40" within half a year of now, "Dec  8  2025" otherwise, as ls writes it.
std::string TimeColumn(const std::optional<int64_t>& seconds)
{
    if (!seconds) return kUnknownTime;
    const std::time_t time = static_cast<std::time_t>(*seconds);
    const std::time_t now = std::time(nullptr);
    constexpr std::time_t kHalfYear = 182 * 24 * 3600;
    std::tm parts{};
    if (!::localtime_r(&time, &parts)) return kUnknownTime;
    char text[32];
    const bool recent = time <= now + 3600 && now - time < kHalfYear;
    std::strftime(text, sizeof text, recent ? "%b %e %H:%M" : "%b %e  %Y", &parts);
    return text;
}

} // namespace

SessionDriver::SessionDriver(std::unique_ptr<transfer::Session> session)
    : session_(std::move(session))
{
}

SessionDriver::~SessionDriver()
{
    if (loop_) loop_->quit();
}

transfer::Outcome SessionDriver::Await(const Starter& start, bool onSession)
{
    // One wait at a time: a command that would start another inside its own is refused.
    if (loop_) return Busy();
    if (onSession && !connected_ && !opening_) {
        transfer::Outcome closed;
        closed.message = "Não conectado ao servidor";
        closed.reason = ErrorReason::NotConnected;
        return closed;
    }
    std::optional<transfer::Outcome> result;
    QEventLoop loop;
    const platform::ScopedValue<QEventLoop*> waiting(loop_, &loop);
    if (!start([&result, &loop](const transfer::Outcome& outcome) {
            result = outcome;
            loop.quit();
        }))
        return Busy();
    if (!result) loop.exec();
    return result.value_or(transfer::Outcome{});
}

transfer::Outcome SessionDriver::Checked(const transfer::Outcome& outcome)
{
    if (outcome.ok) return outcome;
    const transfer::FailureKind kind = transfer::KindOf(outcome);
    if (kind == transfer::FailureKind::ConnectionLost || kind == transfer::FailureKind::TimedOut)
        connected_ = false;
    throw Exception(outcome.message.empty() ? "The operation failed" : outcome.message,
                    outcome.reason);
}

void SessionDriver::Open()
{
    opening_ = true;
    const transfer::Outcome opened = Await([this](transfer::DoneHandler done) {
        session_->Open(std::move(done));
        return true;
    });
    opening_ = false;
    if (!opened.ok) {
        connected_ = false;
        Checked(opened);
    }
    connected_ = true;
}

namespace {

transfer::Request RequestFor(transfer::Operation operation, const std::string& remote = {},
                             const std::string& local = {})
{
    transfer::Request request;
    request.operation = operation;
    request.remotePath = remote;
    request.localPath = local;
    return request;
}

} // namespace

std::vector<transfer::RemoteEntry> SessionDriver::List(const std::string& path)
{
    std::vector<transfer::RemoteEntry> entries;
    const transfer::Request request = RequestFor(transfer::Operation::List, path);
    Checked(Await([&](transfer::DoneHandler done) {
        return session_->StartList(
            request, [&entries, done](const transfer::Outcome& outcome, const auto& listed) {
                entries = listed;
                done(outcome);
            });
    }));
    return entries;
}

transfer::Outcome SessionDriver::Get(const std::string& remote, const std::string& local,
                                     Progress progress)
{
    return Run(RequestFor(transfer::Operation::Get, remote, local), std::move(progress));
}

transfer::Outcome SessionDriver::Put(const std::string& local, const std::string& remote,
                                     Progress progress)
{
    return Run(RequestFor(transfer::Operation::Put, remote, local), std::move(progress));
}

void SessionDriver::MakeDirectory(const std::string& path)
{
    Run(RequestFor(transfer::Operation::MakeDirectory, path));
}

std::string SessionDriver::ChangeDirectory(const std::string& path)
{
    return Run(RequestFor(transfer::Operation::ChangeDirectory, path)).path;
}

std::string SessionDriver::CurrentDirectory()
{
    return Run(RequestFor(transfer::Operation::CurrentDirectory)).path;
}

void SessionDriver::Delete(const std::string& path)
{
    Run(RequestFor(transfer::Operation::Delete, path));
}

transfer::Outcome SessionDriver::Run(const transfer::Request& request, Progress progress)
{
    transfer::ProgressHandler moved;
    if (progress) moved = [progress](const transfer::Progress& p) { progress(p.bytes, p.total); };
    return Checked(Await([&](transfer::DoneHandler done) {
        return session_->Start(request, moved, std::move(done));
    }));
}

void SessionDriver::AwaitBeside(const std::function<void(std::function<void()> ended)>& start,
                                std::function<void()> stop)
{
    const platform::ScopedValue<std::function<void()>> stopping(stopBeside_, std::move(stop));
    // What runs beside ends by itself, whatever became of the session meanwhile.
    Checked(Await(
        [&start](transfer::DoneHandler done) {
            start([done] { done(transfer::Outcome::Success()); });
            return true;
        },
        false));
}

void SessionDriver::Cancel()
{
    if (!loop_) return;
    if (stopBeside_) return stopBeside_();
    // A login has nothing to go back to: it is given up whole.
    if (opening_)
        session_->Close();
    else
        session_->Cancel();
}

void SessionDriver::Close()
{
    connected_ = false;
    session_->Close();
}

std::string ListingLine(const transfer::RemoteEntry& entry)
{
    char kind = '?';
    switch (entry.kind) {
    case transfer::RemoteEntry::Kind::File: kind = '-'; break;
    case transfer::RemoteEntry::Kind::Directory: kind = 'd'; break;
    case transfer::RemoteEntry::Kind::Link: kind = 'l'; break;
    case transfer::RemoteEntry::Kind::Other: break;
    }
    std::string size = entry.size ? std::to_string(*entry.size) : std::string("?");
    if (size.size() < 13) size.insert(0, 13 - size.size(), ' ');
    return std::string(1, kind) + "?????????   1 ?        ?        " + size + ' ' +
           TimeColumn(entry.modifiedUtc) + ' ' + entry.name;
}

std::optional<ListedEntry> ReadListingLine(std::string_view line)
{
    size_t at = 0;
    for (int column = 0; column < kColumnsBeforeName; ++column) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string_view::npos) return std::nullopt;
        at = line.find(' ', at);
        if (at == std::string_view::npos) return std::nullopt;
    }
    // One blank after the time; the rest, blanks and all, is the name.
    ListedEntry entry;
    entry.name = std::string(line.substr(at + 1));
    if (entry.name.empty()) return std::nullopt;
    switch (line.front()) {
    case '-': entry.kind = transfer::RemoteEntry::Kind::File; break;
    case 'd': entry.kind = transfer::RemoteEntry::Kind::Directory; break;
    case 'l': entry.kind = transfer::RemoteEntry::Kind::Link; break;
    default: entry.kind = transfer::RemoteEntry::Kind::Other; break;
    }
    return entry;
}

} // namespace app
