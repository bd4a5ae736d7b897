#include "tools/ftpdrive/Mirror.h"

#include "tools/ftpdrive/Interrupt.h"
#include "tools/ftpdrive/Output.h"
#include "tools/ftpdrive/ProgressLine.h"
#include "tools/ftpdrive/Session.h"
#include "tools/ftpdrive/SftpRun.h"

#include "ftp/FtpSessionFactory.h"
#include "platform/PrintableText.h"
#include "sftp/SftpSessionFactory.h"

#include "queue/Scheduler.h"
#include "queue/TreeTransfer.h"

#include <QEventLoop>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <set>

namespace ftpdrive {

namespace {

transfer::TreeJob JobOf(const Options& options, const Command& command)
{
    transfer::TreeJob job;
    const bool upload = command.args.size() == 3;
    job.direction = upload ? transfer::TreeDirection::Upload : transfer::TreeDirection::Download;
    // Download: REMOTE_DIR LOCAL_DIR; upload: -R LOCAL_DIR REMOTE_DIR.
    job.localRoot = command.args[1];
    job.remoteRoot = upload ? command.args[2] : command.args[0];
    job.policy = options.ifExists;
    job.followLinks = options.followLinks;
    job.queue.maxSessions = options.parallel;
    job.keepTimes = !options.noTimes;
    return job;
}

// A server's reply keeps its line ends (and a reply of several lines has some inside): one
// output line each, and the names and texts in it (the server's) with no control character
// left to act on the terminal.
std::string OneLine(std::string text)
{
    text = WithoutLineEnd(std::move(text));
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return platform::PrintableText(text);
}

void PrintSummary(const transfer::TreeSummary& summary)
{
    const double seconds = summary.elapsedMs / 1000.0;
    char line[256];
    std::snprintf(line, sizeof line, "mirror: %zu files, %lld bytes, %.2f s, %s/s", summary.files,
                  static_cast<long long>(summary.bytes), seconds,
                  Bytes(seconds > 0 ? summary.bytes / seconds : 0).c_str());
    std::string text = line;
    text += ", " + std::to_string(summary.sessions) +
            (summary.sessions == 1 ? " session" : " sessions");
    if (summary.verified > 0) text += ", " + std::to_string(summary.verified) + " verified";
    if (summary.skipped > 0) text += ", " + std::to_string(summary.skipped) + " skipped";
    if (summary.canceled) text += ", canceled";
    Out(text);
    for (const std::string& failure : summary.failures) Out("failed: " + OneLine(failure));
    for (const std::string& left : summary.leftOut)
        Out("left out: " + platform::PrintableText(left));
}

} // namespace

int RunMirror(const Options& options, const Command& command)
{
    transfer::EventLoopScheduler scheduler;
    const std::string server = options.host + " port " + std::to_string(options.port & 0xFFFF);
    bool warned = false;
    auto inClear = [&warned, server] {
        if (warned) return;
        warned = true;
        Err("warning: " + server +
            " does not offer TLS: the session, password included, is not encrypted");
    };
    // Each session learns for itself that the server leaves its data unprotected; the user is
    // told once a run, as get tells it.
    std::set<TTlsWarning> tlsWarned;
    auto tlsWarning = [&tlsWarned, server](TTlsWarning warning) {
        if (tlsWarned.insert(warning).second) Err(TlsWarningLine(server, warning));
    };
    // Every session logs in as the first: the same host, user, TLS mode and trust; once the
    // first has TLS, with its certificate and no other.
    FtpSessionFactory sessions([&options, inClear, tlsWarning](TVaskFTP& ftp) {
        Configure(ftp, options);
        // A tree keeps its files' times both ways, unless told not to.
        ftp.KeepTimes = !options.noTimes;
        ftp.OnTlsRefused = [inClear](const std::string&, bool& goOn) {
            goOn = true;
            inClear();
        };
        ftp.OnTlsWarning = tlsWarning;
    });
    // Fewer sessions than asked for, and why: one line per session refused.
    sessions.onRefused = [server](const std::string& why) {
        Err("warning: " + server +
            ": a session beside the first was not used, as it could not have the first one's "
            "TLS and certificate: " +
            OneLine(why));
    };
    // Over SFTP, every session logs in as the first and takes the host key the first accepted.
    sftp::SftpSessionFactory sftpSessions(SftpConnectOptions(options), !options.noTimes);
    transfer::TreeTransfer tree(
        JobOf(options, command),
        options.protocol == Protocol::Sftp ? sftpSessions.Maker() : sessions.Maker(), scheduler);
    ProgressLine progress(!options.quiet && ::isatty(STDERR_FILENO));
    tree.onProgress = [&](const transfer::TreeProgress& now) {
        progress.Update(now, scheduler.NowMs());
    };
    QEventLoop loop;
    transfer::TreeSummary summary;
    bool finished = false;
    tree.onFinished = [&](const transfer::TreeSummary& result) {
        summary = result;
        finished = true;
        loop.quit();
    };
    // Ctrl-C (or SIGTERM) cancels the run: every session stops at once, the summary still says
    // what arrived whole, and nothing cut short is under its real name.
    {
        const InterruptWatch interrupt([&tree] { tree.Cancel(); });
        tree.Start();
        if (!finished) loop.exec();
    }
    progress.Clear();
    if (options.protocol == Protocol::Sftp)
        AddHostKeyAdvice(options, sftpSessions, summary.failures);
    PrintSummary(summary);
    if (InterruptSignal() != 0) return 128 + InterruptSignal();
    return summary.Exact() ? 0 : 1;
}

} // namespace ftpdrive
