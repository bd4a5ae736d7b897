// ftpdrive: runs FTP commands through one TVaskFTP from the command line, printing every event
// of the component as it fires. The integration tests and the benchmarks drive the component
// through it. `ftpdrive --help` and ftpdrive.1 describe the options, commands, output lines and
// exit status.
//
// Options.cpp reads the command line, LocalFiles.cpp checks local files before they are used,
// Session.cpp sets up the component and runs the commands, Output.cpp writes the lines.
#include "tools/ftpdrive/Interrupt.h"
#include "tools/ftpdrive/LocalFiles.h"
#include "tools/ftpdrive/Mirror.h"
#include "tools/ftpdrive/Options.h"
#include "tools/ftpdrive/Output.h"
#include "tools/ftpdrive/PasswordSource.h"
#include "tools/ftpdrive/Session.h"
#include "tools/ftpdrive/SftpRun.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

using namespace ftpdrive;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

bool IsLocalFileError(const Exception& error)
{
    switch (error.Reason()) {
    case ErrorReason::FileOpen:
    case ErrorReason::FileCreate:
    case ErrorReason::FileRead:
    case ErrorReason::FileWrite: return true;
    default: return false;
    }
}

// What the user can do about a certificate that was refused. A fingerprint given on the command
// line that does not match is the first thing to tell; an authority file cannot mend a
// certificate that is fine but names another host.
std::string CertificateAdvice(const TCertificateInfo& certificate, const Options& options)
{
    const std::string& fingerprint = certificate.Fingerprint;
    if (!options.fingerprints.empty())
        return "the certificate's SHA-256 fingerprint is " + fingerprint +
               ", not the one given with --fingerprint";
    if (certificate.Problems.size() == 1 && certificate.Has(TCertificateProblem::NameMismatch))
        return "connect by a name the certificate holds, or use --fingerprint " + fingerprint;
    return "to trust it, use --fingerprint " + fingerprint +
           ", or --ca-file with the certificate of its issuer";
}

// The error that ends the run, with what ftpdrive knows beside the exception's own text: for a
// local file the system's reason, whether ftpdrive's own check or the component found it.
void PrintFailure(const std::exception& error, const Options& options,
                  const std::string& detail = {})
{
    if (const auto* problem = dynamic_cast<const LocalFileProblem*>(&error))
        return PrintError(problem->Error(), problem->Reason());
    if (const auto* rejected = dynamic_cast<const CertificateRejectedError*>(&error))
        return PrintError(error, CertificateAdvice(rejected->Certificate(), options));
    const auto* own = dynamic_cast<const Exception*>(&error);
    if (own && own->Reason() == ErrorReason::TlsUnavailable && options.tls == tlsIfAvailable &&
        !options.fingerprints.empty())
        return PrintError(error, "its certificate is pinned with --fingerprint: this server "
                                 "offered TLS before and no longer does; nothing of the login "
                                 "was sent");
    if (own && IsLocalFileError(*own) && own->ErrorNumber() > 0)
        return PrintError(error, std::strerror(own->ErrorNumber()));
    PrintError(error, detail);
}

// A failure of the session: a time-out says how long the server was silent, and a refusal of
// several lines is shown whole.
void PrintSessionFailure(TVaskFTP& ftp, const std::exception& error, const Options& options,
                         std::string detail = {})
{
    if (detail.empty()) detail = TimeOutDetail(ftp, error);
    const std::string whole = RefusalText(ftp, error);
    if (!whole.empty()) return PrintError(error, detail, whole);
    PrintFailure(error, options, detail);
}

// Logs out after a failed command; a failure of the logout itself adds nothing for the user.
void LogOut(TVaskFTP& ftp)
{
    if (!ftp.Connected) return;
    try {
        ftp.Disconnect();
    } catch (const std::exception&) {
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    EndOnInterrupt();
    BufferOutput();
    QCoreApplication app(argc, argv);

    Options options;
    try {
        options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        Err("ftpdrive: " + error.message);
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    }

    // A file that cannot be sent or written is reported before anything goes to the server.
    try {
        for (const std::string& caFile : options.caFiles) CheckFileToSend(caFile);
        CheckLocalFiles(options.commands);
    } catch (const LocalFileProblem& problem) {
        PrintFailure(problem, options);
        return kExitFailure;
    }
    try {
        SettlePassword(options);
    } catch (const PasswordProblem& problem) {
        Err("ftpdrive: " + problem.message);
        return kExitFailure;
    }

    if (options.commands.front().name == "mirror")
        return RunMirror(options, options.commands.front());
    if (options.protocol == Protocol::Sftp) return RunSftp(options);

    TVaskFTP ftp(nullptr);
    Configure(ftp, options);
    AttachEvents(ftp, options);
    try {
        ftp.Connect();
    } catch (const ESockError& error) {
        PrintSessionFailure(ftp, error, options, ConnectFailureDetail(ftp, error));
        LogOut(ftp);
        return kExitFailure;
    } catch (const std::exception& error) {
        PrintSessionFailure(ftp, error, options);
        LogOut(ftp);
        return kExitFailure;
    }
    int status = 0;
    try {
        for (const Command& command : options.commands) {
            try {
                Run(ftp, options, command);
            } catch (const std::exception& error) {
                if (!options.keepGoing) throw;
                // Reported here and left behind: the next command runs all the same.
                PrintSessionFailure(ftp, error, options);
                status = kExitFailure;
            }
        }
        ftp.Disconnect();
    } catch (const std::exception& error) {
        PrintSessionFailure(ftp, error, options);
        LogOut(ftp);
        return kExitFailure;
    }
    return status;
}
