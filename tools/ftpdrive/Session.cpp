#include "tools/ftpdrive/Session.h"

#include "tools/ftpdrive/LocalFiles.h"
#include "tools/ftpdrive/Output.h"
#include "tools/ftpdrive/ProgressLine.h"

#include "ftp/DownloadTarget.h"
#include "ftp/PartialDownload.h"
#include "platform/PrintableText.h"
#include "platform/ScopedGuards.h"
#include "platform/SocketErrors.h"

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string_view>

namespace ftpdrive {

namespace {

// Anonymous logins send an e-mail-style password by custom.
constexpr const char* kAnonymousPassword = "anonimo@exemplo.com.br";

void Event(const char* name) { Out(std::string("event: ") + name); }
void Event(const char* name, TCmdType kind)
{
    Out(std::string("event: ") + name + " " + CmdTypeName(kind));
}

// KIND, SIZE, MTIME and NAME of each entry, "-" for a size or time the listing did not give.
void PrintParsedEntries(const TVaskFTP& ftp)
{
    if (!ftp.ListParser) return;
    for (const TFTPListEntry& entry : ftp.ListParser->Entries)
        Out(std::string("entry: ") + KindName(entry.kind) + "\t" +
            (entry.size ? std::to_string(*entry.size) : "-") + "\t" + ToIso8601(entry.modified) +
            "\t" + platform::PrintableText(entry.name));
}

// Why the connect failed, as the error table words it; empty when the error does not say, or
// when its message says it already (a socket error's message carries its number and text).
std::string ConnectFailureReason(const ESockError& error)
{
    switch (error.Reason()) {
    case ErrorReason::NullRemoteAddress: return TWirecore::ErrorTextFor(platform::kErrHostNotFound);
    case ErrorReason::ConnectTimedOut: return TWirecore::ErrorTextFor(platform::kErrTimedOut);
    case ErrorReason::ConnectFailed: {
        if (error.ErrorNumber() <= 0) return {};
        const auto number = static_cast<uint16_t>(error.ErrorNumber());
        const std::string text = TWirecore::ErrorTextFor(number);
        return text.empty() ? TWirecore::ErrorMessageFor(number) : text;
    }
    default: return {};
    }
}

// get and resume. A download goes to LOCAL.part and replaces LOCAL only once it is whole, so an
// interrupted run never leaves a cut-off file under the real name (nor costs an older complete
// copy); resume continues what such a run left, and so does get when the server's file has not
// changed since.
void Fetch(TVaskFTP& ftp, const Options& options, const Command& command)
{
    const std::string& remote = command.args[0];
    ftpfiles::DownloadTarget target(LocalPathOf(command), options.inPlace);
    if (command.name == "resume") {
        if (target.HasPartial()) {
            ftp.ResumeDownload(remote, target);
            return target.Commit();
        }
        // A file of that name without a partial one beside it is continued where it stands, as
        // the user asked.
        if (LocalFileExists(target.FinalPath()))
            return ftp.ResumeDownload(remote, target.FinalPath());
    } else if (target.Staged() && !options.noResume) {
        const std::optional<ftpfiles::PartialFileFacts> partial =
            ftpfiles::PartialFileAt(target.WritePath());
        if (partial &&
            ftpfiles::PartialStillFits(*partial, ftpfiles::AskRemoteFileFacts(ftp, remote))) {
            Err("note: continuing " + target.WritePath() + " from " +
                std::to_string(partial->size) + " bytes");
            ftp.ResumeDownload(remote, target);
            return target.Commit();
        }
    }
    ftp.Download(remote, target);
    target.Commit();
}

// Set while get, resume, put or append runs: only a file's bytes are drawn as progress.
bool fileCommandRuns = false;

void ShowTransferProgress(TVaskFTP& ftp)
{
    // The line of the file that moves now, as mirror draws it for a tree; a listing has none.
    struct Shown {
        ProgressLine line{true};
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    };
    auto shown = std::make_shared<Shown>();
    const auto draw = [&ftp, shown](int64_t bytes) {
        if (!fileCommandRuns) return;
        transfer::TreeProgress progress;
        progress.bytes = bytes;
        progress.bytesTotal = ftp.TransferSize;
        const auto elapsed = std::chrono::steady_clock::now() - shown->start;
        shown->line.Update(progress,
                           std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    };
    ftp.OnPacketRecvd = [&ftp, draw](TComponent*) { draw(ftp.ReceivedBytes()); };
    ftp.OnPacketSent = [&ftp, draw](TComponent*) { draw(ftp.SentBytes()); };
    const TNotifyEvent started = ftp.OnTransactionStart;
    ftp.OnTransactionStart = [started, shown](TComponent* sender) {
        shown->start = std::chrono::steady_clock::now();
        if (started) started(sender);
    };
    const TNotifyEvent stopped = ftp.OnTransactionStop;
    ftp.OnTransactionStop = [stopped, shown](TComponent* sender) {
        shown->line.Clear();
        if (stopped) stopped(sender);
    };
}

} // namespace

void Configure(TVaskFTP& ftp, const Options& options)
{
    ftp.Host = options.host;
    ftp.Port = options.port;
    ftp.UserID = options.user;
    ftp.Password = options.password.value_or(kAnonymousPassword);
    ftp.Passive = options.passive;
    ftp.TimeOut = options.timeout;
    ftp.SpeedLimit = options.speedLimit;
    ftp.SpeedTime = options.speedTime;
    ftp.ReportLevel = options.reportLevel;
    ftp.ParseList = options.parseList;
    ftp.KeepTimes = options.keepTimes;
    ftp.Verify = options.verify;
    ftp.Proxy = options.proxy;
    ftp.ProxyPort = options.proxyPort;
    ftp.FirewallType = options.firewall;
    if (options.fwUser) {
        ftp.FWAuthenticate = true;
        ftp.FWUserID = *options.fwUser;
        ftp.FWPassword = options.fwPassword;
    }
    ftp.TlsMode = options.tls;
    // A pinned certificate says that this server speaks TLS; one that stops offering it now is
    // more likely someone in between than a server that forgot how.
    if (ftp.TlsMode == tlsIfAvailable && !options.fingerprints.empty()) ftp.TlsMode = tlsRequired;
    ftp.TlsCaFiles = options.caFiles;
    ftp.TlsSystemTrust = options.systemTrust;
    // Nobody is there to ask: a certificate passes by the trust anchors or its fingerprint, or
    // the run ends (OnCertificate stays unassigned).
    ftp.TlsPinnedFingerprints = options.fingerprints;
    ftp.TlsRequireResumedData = options.tls == tlsRequired && !options.allowUnresumedData;
    // A server that never resumes them would otherwise fail every transfer without a way out.
    ftp.TlsResumeAdvice = "a server that does not resume TLS sessions on data connections needs "
                          "--allow-unresumed-data";
}

void AttachEvents(TVaskFTP& ftp, const Options& options)
{
    ftp.OnStatus = [](TComponent*, const std::string& text) {
        Err("status: " + platform::PrintableText(WithoutLineEnd(text), platform::LineBreaks::Keep));
    };
    ftp.OnHostResolved = [](TComponent*) { Event("OnHostResolved"); };
    ftp.OnInvalidHost = [](bool&) { Event("OnInvalidHost"); };
    ftp.OnConnectionFailed = [](TComponent*) { Event("OnConnectionFailed"); };
    ftp.OnConnectionRequired = [](bool&) { Event("OnConnectionRequired"); };
    ftp.OnConnect = [](TComponent*) { Event("OnConnect"); };
    ftp.OnDisconnect = [](TComponent*) { Event("OnDisconnect"); };
    ftp.OnError = [](TComponent*, uint16_t, const std::string&) { Event("OnError"); };
    ftp.OnAuthenticationNeeded = [](bool&) { Event("OnAuthenticationNeeded"); };
    ftp.OnAuthenticationFailed = [](bool&) { Event("OnAuthenticationFailed"); };
    ftp.OnTransactionStart = [](TComponent*) { Event("OnTransactionStart"); };
    ftp.OnTransactionStop = [](TComponent*) { Event("OnTransactionStop"); };
    ftp.OnSuccess = [](TCmdType kind) { Event("OnSuccess", kind); };
    ftp.OnUnSupportedFunction = [](TCmdType kind) { Event("OnUnSupportedFunction", kind); };
    // Left unhandled, so a failure ends the run with its exception.
    ftp.OnFailure = [](bool&, TCmdType kind) { Event("OnFailure", kind); };
    ftp.OnListItem = [](const std::string& line) { Out("list: ", line); };
    // Said whatever the report level: nobody should learn from a trace they did not ask for
    // that their password went out readable.
    const std::string server = ftp.Host + " port " + std::to_string(ftp.Port & 0xFFFF);
    ftp.OnTlsRefused = [server](const std::string&, bool& goOn) {
        goOn = true;
        Err("warning: " + server +
            " does not offer TLS: the session, password included, is not encrypted");
    };
    ftp.OnTlsWarning = [server](TTlsWarning warning) { Err(TlsWarningLine(server, warning)); };
    if (options.progress) {
        ftp.OnPacketRecvd = [](TComponent*) { Event("OnPacketRecvd"); };
        ftp.OnPacketSent = [](TComponent*) { Event("OnPacketSent"); };
    } else if (!options.quiet && ::isatty(STDERR_FILENO)) {
        ShowTransferProgress(ftp);
    }
}

std::string TlsWarningLine(const std::string& server, TTlsWarning warning)
{
    if (warning == TTlsWarning::DataInClear)
        return "warning: " + server +
               " refused to protect data connections: listings and files are not encrypted";
    return "warning: a data connection to " + server +
           " did not resume the TLS session of the login; it may not come from the server";
}

void Run(TVaskFTP& ftp, const Options& options, const Command& command)
{
    const auto& a = command.args;
    const std::string& name = command.name;
    // Checked again here: the file may be one that an earlier command downloaded, or it may
    // have gone since the run began.
    if (ReadsLocalFile(command)) CheckFileToSend(LocalPathOf(command));
    if (name == "ls") {
        ftp.ListDirectory();
        if (options.parseList) PrintParsedEntries(ftp);
    } else if (name == "pwd") {
        Out("pwd: ", ftp.CurrentDirectory());
    } else if (name == "cd") {
        ftp.ChangeDirectory(a[0]);
    } else if (name == "mkdir") {
        ftp.MakeDirectory(a[0]);
    } else if (name == "rm") {
        ftp.DeleteFile(a[0]);
    } else if (name == "get" || name == "resume") {
        const platform::ScopedValue<bool> drawn(fileCommandRuns, true);
        Fetch(ftp, options, command);
    } else if (name == "put") {
        const platform::ScopedValue<bool> drawn(fileCommandRuns, true);
        ftp.Upload(a[0], a[1]);
    } else if (name == "append") {
        const platform::ScopedValue<bool> drawn(fileCommandRuns, true);
        ftp.AppendUpload(a[0], a[1]);
    } else if (name == "quote") {
        ftp.SendCommand(a[0]);
    }
}

std::string TimeOutDetail(const TVaskFTP& ftp, const std::exception& error)
{
    const ErrorReason reason = ReasonOf(error);
    if (reason != ErrorReason::TimedOut && reason != ErrorReason::ConnectTimedOut) return {};
    // A transfer that was too slow was not silent: its message says so.
    if (std::string_view(error.what()) == ftp.SlowTransferText()) return {};
    const std::string host = ftp.Proxy.empty() ? ftp.Host : ftp.Proxy;
    const int32_t port = (ftp.Proxy.empty() ? ftp.Port : ftp.ProxyPort) & 0xFFFF;
    // An IPv6 address is bracketed, or its last group would pass for the port.
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                              ":" + std::to_string(port);
    const int32_t ms = ftp.TimeOut;
    std::string seconds = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        while (fraction.back() == '0') fraction.pop_back();
        seconds += "." + fraction;
    }
    return "no answer from " + where + " for " + seconds + " s";
}

std::string RefusalText(TVaskFTP& ftp, const std::exception& error)
{
    const auto* refusal = dynamic_cast<const FTPException*>(&error);
    const std::vector<std::string>& lines = ftp.Replies().LastFailure();
    if (!refusal || refusal->Reason() != ErrorReason::ServerRefused || lines.size() < 2) return {};
    // Only the reply the exception carries; a server may repeat a password in it.
    const auto masked = [&](const std::string& text) {
        return MaskSecret(MaskSecret(text, ftp.FWPassword), ftp.Password);
    };
    if (WithoutLineEnd(masked(lines.front())) != WithoutLineEnd(refusal->Message())) return {};
    std::vector<std::string> shown;
    for (const std::string& line : lines) shown.push_back(masked(line));
    return ReplyText(shown);
}

std::string ConnectFailureDetail(const TVaskFTP& ftp, const ESockError& error)
{
    const std::string noAnswer = TimeOutDetail(ftp, error);
    if (!noAnswer.empty()) return noAnswer;
    // The port as the connect uses it: its low 16 bits.
    const std::string target =
        ftp.Proxy.empty()
            ? ftp.Host + " port " + std::to_string(ftp.Port & 0xFFFF)
            : "proxy " + ftp.Proxy + " port " + std::to_string(ftp.ProxyPort & 0xFFFF);
    const std::string reason = ConnectFailureReason(error);
    return reason.empty() ? target : target + ": " + reason;
}

} // namespace ftpdrive
