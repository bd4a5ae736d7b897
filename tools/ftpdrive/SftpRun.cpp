#include "tools/ftpdrive/SftpRun.h"

#include "tools/ftpdrive/LocalFiles.h"
#include "tools/ftpdrive/Output.h"
#include "tools/ftpdrive/ProgressLine.h"

#include "ftp/DownloadTarget.h"
#include "ftp/PartialDownload.h"
#include "platform/LocalFile.h"
#include "platform/PrintableText.h"
#include "sftp/HostKey.h"
#include "sftp/SftpSession.h"
#include "sftp/SftpSessionFactory.h"

#include <QEventLoop>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>

namespace ftpdrive {

namespace {

constexpr int kExitFailure = 1;

std::string HomeFile(const char* name)
{
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.ssh/" + name : std::string();
}

const char* KindName(transfer::RemoteEntry::Kind kind)
{
    switch (kind) {
    case transfer::RemoteEntry::Kind::File: return "file";
    case transfer::RemoteEntry::Kind::Directory: return "dir";
    case transfer::RemoteEntry::Kind::Link: return "link";
    case transfer::RemoteEntry::Kind::Other: break;
    }
    return "other";
}

std::string TimeText(const std::optional<int64_t>& seconds)
{
    if (!seconds) return "-";
    const std::time_t time = static_cast<std::time_t>(*seconds);
    std::tm parts{};
    if (!::gmtime_r(&time, &parts)) return "-";
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// Starts an operation with a callback and turns the event loop until that came.
template <typename Start> transfer::Outcome Await(Start&& start)
{
    std::optional<transfer::Outcome> result;
    QEventLoop loop;
    if (!start([&](const transfer::Outcome& outcome) {
            result = outcome;
            loop.quit();
        })) {
        transfer::Outcome busy;
        busy.message = "The session is not ready for another command";
        return busy;
    }
    if (!result) loop.exec();
    return *result;
}

transfer::Outcome LocalFailure(const Exception& error)
{
    transfer::Outcome outcome;
    outcome.message = error.Message();
    outcome.reason = error.Reason();
    return outcome;
}

// A refusal of the host key that the user may overrule; a changed key is for whoever knows why
// it changed.
bool KeyMayBeAccepted(const std::string& message)
{
    return message.find("has changed") == std::string::npos;
}

class SftpRunner {
public:
    explicit SftpRunner(const Options& options)
        : options_(options), session_(SftpConnectOptions(options), options.keepTimes)
    {
    }

    // False, with the error printed, when the session could not be opened.
    bool Open()
    {
        const transfer::Outcome opened = Await([&](transfer::DoneHandler done) {
            session_.Open(std::move(done));
            return true;
        });
        if (opened.ok) return true;
        std::string detail;
        // A changed key gets no advice to accept it: that is for whoever knows why it changed.
        if (opened.reason == ErrorReason::CertificateRejected && KeyMayBeAccepted(opened.message))
            detail = HostKeyAdvice(options_, session_.ServerKey());
        Fail(opened, detail);
        return false;
    }

    // False, with the error printed, when the command failed.
    bool Run(const Command& command)
    {
        transfer::Outcome outcome;
        if (command.name == "ls") {
            outcome = List();
        } else if (command.name == "mkdir") {
            outcome = Simple(transfer::Operation::MakeDirectory, command.args[0]);
        } else if (command.name == "rm") {
            outcome = Await([&](transfer::DoneHandler done) {
                return session_.Client().Remove(command.args[0], std::move(done));
            });
        } else if (command.name == "get") {
            outcome = Get(command.args[0], LocalPathOf(command));
        } else if (command.name == "put") {
            transfer::Request request;
            request.operation = transfer::Operation::Put;
            request.localPath = command.args[0];
            request.remotePath = command.args[1];
            outcome = Await([&](transfer::DoneHandler done) {
                return session_.Start(request, Progress(true), std::move(done));
            });
            if (line_) line_->Clear();
        }
        if (outcome.ok) return true;
        Fail(outcome);
        return false;
    }

    void Close() { session_.Close(); }

private:
    transfer::Outcome List()
    {
        std::vector<transfer::RemoteEntry> entries;
        transfer::Request request;
        request.operation = transfer::Operation::List;
        const transfer::Outcome outcome = Await([&](transfer::DoneHandler done) {
            return session_.StartList(
                request, [&entries, done](const transfer::Outcome& result, const auto& listed) {
                    entries = listed;
                    done(result);
                });
        });
        for (const transfer::RemoteEntry& entry : entries)
            Out(std::string("entry: ") + KindName(entry.kind) + "\t" +
                (entry.size ? std::to_string(*entry.size) : "-") + "\t" +
                TimeText(entry.modifiedUtc) + "\t" + platform::PrintableText(entry.name));
        return outcome;
    }

    transfer::Outcome Simple(transfer::Operation operation, const std::string& remote)
    {
        transfer::Request request;
        request.operation = operation;
        request.remotePath = remote;
        return Transfer(request);
    }

    // As FTP's get: into LOCAL.part, which replaces LOCAL once whole (LOCAL itself with
    // --in-place, or when it is no regular file). A LOCAL.part an earlier run left is continued
    // when the server's file has not changed since (its size and time), unless --no-resume.
    transfer::Outcome Get(const std::string& remote, const std::string& local)
    {
        std::unique_ptr<ftpfiles::DownloadTarget> target;
        try {
            target = std::make_unique<ftpfiles::DownloadTarget>(local, options_.inPlace);
        } catch (const Exception& error) {
            return LocalFailure(error);
        }
        std::optional<ftpfiles::PartialFileFacts> partial;
        if (target->Staged() && !options_.noResume)
            partial = ftpfiles::PartialFileAt(target->WritePath());
        uint64_t offset = 0;
        std::optional<int64_t> modified;
        if (partial || options_.keepTimes) {
            sftp::Attributes attributes;
            const transfer::Outcome looked = Await([&](transfer::DoneHandler done) {
                return session_.Client().Stat(
                    remote, [&attributes, done](const transfer::Outcome& result, const auto& got) {
                        attributes = got;
                        done(result);
                    });
            });
            // A file that cannot be looked at is asked for all the same: its refusal says why.
            if (looked.ok) {
                ftpfiles::RemoteFileFacts facts;
                if (attributes.size) facts.size = static_cast<int64_t>(*attributes.size);
                if (attributes.mtime) modified = facts.modified = *attributes.mtime;
                if (partial && ftpfiles::PartialStillFits(*partial, facts)) {
                    Err("note: continuing " + target->WritePath() + " from " +
                        std::to_string(partial->size) + " bytes");
                    offset = static_cast<uint64_t>(partial->size);
                }
            }
        }
        const transfer::Outcome outcome = Await([&](transfer::DoneHandler done) {
            return session_.Client().Download(remote, target->WritePath(), offset, Progress(false),
                                              std::move(done));
        });
        if (line_) line_->Clear();
        if (!outcome.ok) {
            // What arrived stays in LOCAL.part for the next get; an empty one holds nothing.
            if (target->Staged() && platform::LocalFile::SizeOf(target->WritePath()) == 0)
                std::remove(target->WritePath().c_str());
            return outcome;
        }
        try {
            target->Commit(options_.keepTimes ? modified : std::nullopt);
        } catch (const Exception& error) {
            return LocalFailure(error);
        }
        struct stat info {};
        if (!target->Staged() && options_.keepTimes && modified &&
            ::stat(target->FinalPath().c_str(), &info) == 0 && S_ISREG(info.st_mode))
            platform::LocalFile::SetModified(target->FinalPath(), *modified);
        return outcome;
    }

    // The line of the file that moves, drawn on a terminal as FTP's get and put draw it; with
    // --progress an event line for every block instead.
    transfer::ProgressHandler Progress(bool upload)
    {
        line_.reset();
        if (options_.progress) {
            const std::string event = upload ? "event: OnPacketSent" : "event: OnPacketRecvd";
            return [event](const transfer::Progress&) { Out(event); };
        }
        if (options_.quiet || !::isatty(STDERR_FILENO)) return nullptr;
        line_ = std::make_unique<ProgressLine>(true);
        const auto start = std::chrono::steady_clock::now();
        return [this, start](const transfer::Progress& now) {
            transfer::TreeProgress progress;
            progress.bytes = now.bytes;
            progress.bytesTotal = std::max<int64_t>(now.total, 0);
            const auto elapsed = std::chrono::steady_clock::now() - start;
            if (line_)
                line_->Update(
                    progress,
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
        };
    }

    transfer::Outcome Transfer(const transfer::Request& request)
    {
        return Await([&](transfer::DoneHandler done) {
            return session_.Start(request, nullptr, std::move(done));
        });
    }

    void Fail(const transfer::Outcome& outcome, const std::string& detail = {})
    {
        PrintError(Exception(outcome.message, outcome.reason), detail);
    }

    const Options& options_;
    sftp::SftpSession session_;
    std::unique_ptr<ProgressLine> line_; // of the transfer that runs, on a terminal
};

} // namespace

sftp::ConnectOptions SftpConnectOptions(const Options& options)
{
    sftp::ConnectOptions connect;
    connect.host = options.host;
    connect.port = static_cast<uint16_t>(options.port & 0xFFFF);
    connect.user = options.user;
    connect.password = options.password.value_or("");
    if (options.identity) {
        connect.identityFiles = {*options.identity};
        connect.passphrase = connect.password;
    } else {
        for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"})
            if (const std::string file = HomeFile(name); !file.empty())
                connect.identityFiles.push_back(file);
    }
    connect.userKnownHosts = sftp::UserKnownHostsFile();
    connect.trustFile = sftp::DefaultTrustFile();
    connect.pinnedFingerprint = options.hostKey;
    if (options.acceptNewHostKey) {
        connect.askUnknownHostKey = [](const sftp::HostKey& key,
                                       std::function<void(sftp::HostKeyDecision)> answer) {
            Err("warning: accepted the new host key " + key.fingerprint + " (" + key.type +
                ") and kept it in " + sftp::DefaultTrustFile());
            answer(sftp::HostKeyDecision::TrustAlways);
        };
    }
    connect.timeoutMs = options.timeout;
    return connect;
}

std::string HostKeyAdvice(const Options& options, const sftp::HostKey& key)
{
    if (key.fingerprint.empty()) return {};
    if (!options.hostKey.empty())
        return "the server's host key is " + key.fingerprint + ", not the one given with --hostkey";
    return "when it is the server's key, accept it with --hostkey " + key.fingerprint +
           ", or keep it with --accept-new-hostkey";
}

void AddHostKeyAdvice(const Options& options, const sftp::SftpSessionFactory& sessions,
                      std::vector<std::string>& failures)
{
    const sftp::HostKey key = sessions.RefusedKey();
    if (key.fingerprint.empty() || !sessions.BoundFingerprint().empty()) return;
    for (std::string& failure : failures)
        if (failure.find(key.fingerprint) != std::string::npos && KeyMayBeAccepted(failure))
            failure += " (" + HostKeyAdvice(options, key) + ")";
}

int RunSftp(const Options& options)
{
    SftpRunner runner(options);
    if (!runner.Open()) return kExitFailure;
    int status = 0;
    for (const Command& command : options.commands) {
        if (runner.Run(command)) continue;
        status = kExitFailure;
        if (!options.keepGoing) break;
    }
    runner.Close();
    return status;
}

} // namespace ftpdrive
