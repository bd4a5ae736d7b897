#include "tools/ftpdrive/SftpRun.h"

#include "tools/ftpdrive/LocalFiles.h"
#include "tools/ftpdrive/Output.h"

#include "platform/PrintableText.h"
#include "sftp/HostKey.h"
#include "sftp/SftpSession.h"

#include <QEventLoop>

#include <cstdlib>
#include <ctime>
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

// The parent folder of a remote path and the name in it ("" and the path for a bare name).
std::pair<std::string, std::string> SplitRemote(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {"", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
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
        if (opened.reason == ErrorReason::CertificateRejected &&
            opened.message.find("has changed") == std::string::npos)
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
            outcome = Transfer(request);
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

    transfer::Outcome Get(const std::string& remote, const std::string& local)
    {
        transfer::Request request;
        request.operation = transfer::Operation::Get;
        request.remotePath = remote;
        request.localPath = local;
        if (options_.keepTimes) {
            // The time comes with the entry of the file in its folder's listing.
            const auto [folder, name] = SplitRemote(remote);
            transfer::Request listing;
            listing.operation = transfer::Operation::List;
            listing.remotePath = folder;
            std::vector<transfer::RemoteEntry> entries;
            Await([&](transfer::DoneHandler done) {
                return session_.StartList(
                    listing, [&entries, done](const transfer::Outcome& result, const auto& listed) {
                        entries = listed;
                        done(result);
                    });
            });
            for (const transfer::RemoteEntry& entry : entries)
                if (entry.name == name) request.modifiedUtc = entry.modifiedUtc;
        }
        return Transfer(request);
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
