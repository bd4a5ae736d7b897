// ftpdrive: runs FTP commands through one TVaskFTP from the command line, printing every event
// of the component as it fires. The integration tests and the benchmarks drive the component
// through it.
//
//   ftpdrive --host HOST [--port N] [--user U] [--password P] [--passive] [--timeout MS]
//            [--report-level N] [--parse-list] [--progress] [--keep-going]
//            [--proxy HOST --proxy-port N --firewall user|open|site] [--fw-user U --fw-password P]
//            COMMAND...
//   COMMAND: ls | pwd | cd DIR | mkdir DIR | rm FILE | get REMOTE LOCAL | put LOCAL REMOTE
//            | resume REMOTE LOCAL | append LOCAL REMOTE | quote "COMMAND LINE"
//
// Standard output: "event: NAME [KIND]", "list: LINE", "entry: ATTR\tSIZE\tDATE\tNAME" (ls with
// --parse-list), "pwd: DIR". Standard error: "status: TEXT" and "error: CLASS: MESSAGE".
// Exit status: 0 success, 1 an operation failed, 2 usage error. Without --keep-going the first
// failure ends the run; with it every command runs, and the status is still the first failure's.
#include "ftp/VaskFtp.h"
#include "platform/Conversions.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Anonymous logins send an e-mail-style password by custom.
constexpr const char* kAnonymousPassword = "anonimo@exemplo.com.br";

const char* const kUsage =
    "usage: ftpdrive --host HOST [--port N] [--user U] [--password P] [--passive] [--timeout MS]\n"
    "                [--report-level N] [--parse-list] [--progress] [--keep-going]\n"
    "                [--proxy HOST --proxy-port N --firewall user|open|site]\n"
    "                [--fw-user U --fw-password P]\n"
    "                COMMAND...\n"
    "COMMAND: ls | pwd | cd DIR | mkdir DIR | rm FILE | get REMOTE LOCAL | put LOCAL REMOTE\n"
    "         | resume REMOTE LOCAL | append LOCAL REMOTE | quote \"COMMAND LINE\"\n";

struct Command {
    std::string name;
    std::vector<std::string> args;
};

struct Options {
    std::string host;
    int32_t port = 21;
    std::string user = "anonymous";
    std::optional<std::string> password;
    bool passive = false;
    int32_t timeout = 0;
    int32_t reportLevel = 0;
    bool parseList = false;
    bool progress = false;
    bool keepGoing = false;
    std::string proxy;
    int32_t proxyPort = 0;
    TFirewallType firewall = FTUser;
    std::optional<std::string> fwUser;
    std::string fwPassword;
    std::vector<Command> commands;
};

struct UsageError {
    std::string message;
};

// Reply lines and listing lines keep their line end; output lines get exactly one.
std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void Out(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void Err(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

int32_t ParseNumber(const std::string& option, const std::string& text, int32_t low, int32_t high)
{
    int32_t value = 0;
    if (!platform::TryStrToInt(text, value) || value < low || value > high)
        throw UsageError{"invalid number for " + option + ": " + text};
    return value;
}

// How many arguments each command takes.
std::optional<size_t> Arity(const std::string& name)
{
    if (name == "ls" || name == "pwd") return 0;
    if (name == "cd" || name == "mkdir" || name == "rm" || name == "quote") return 1;
    if (name == "get" || name == "put" || name == "resume" || name == "append") return 2;
    return std::nullopt;
}

Options ParseArguments(const std::vector<std::string>& argv)
{
    Options options;
    size_t i = 0;
    auto value = [&](const std::string& option) -> const std::string& {
        if (i + 1 >= argv.size()) throw UsageError{"missing value for " + option};
        return argv[++i];
    };
    for (; i < argv.size() && argv[i].rfind("--", 0) == 0; ++i) {
        const std::string& option = argv[i];
        if (option == "--host")
            options.host = value(option);
        else if (option == "--port")
            options.port = ParseNumber(option, value(option), 0, 65535);
        else if (option == "--user")
            options.user = value(option);
        else if (option == "--password")
            options.password = value(option);
        else if (option == "--passive")
            options.passive = true;
        else if (option == "--timeout")
            options.timeout = ParseNumber(option, value(option), 0, INT32_MAX);
        else if (option == "--report-level")
            options.reportLevel = ParseNumber(option, value(option), 0, 255);
        else if (option == "--parse-list")
            options.parseList = true;
        else if (option == "--progress")
            options.progress = true;
        else if (option == "--keep-going")
            options.keepGoing = true;
        else if (option == "--proxy")
            options.proxy = value(option);
        else if (option == "--proxy-port")
            options.proxyPort = ParseNumber(option, value(option), 0, 65535);
        else if (option == "--firewall") {
            const std::string& mode = value(option);
            if (mode == "user")
                options.firewall = FTUser;
            else if (mode == "open")
                options.firewall = FtOpen;
            else if (mode == "site")
                options.firewall = FtSite;
            else
                throw UsageError{"unknown firewall mode: " + mode};
        } else if (option == "--fw-user")
            options.fwUser = value(option);
        else if (option == "--fw-password")
            options.fwPassword = value(option);
        else
            throw UsageError{"unknown option: " + option};
    }
    if (options.host.empty()) throw UsageError{"--host is required"};
    while (i < argv.size()) {
        Command command{argv[i++], {}};
        const auto arity = Arity(command.name);
        if (!arity) throw UsageError{"unknown command: " + command.name};
        if (i + *arity > argv.size()) throw UsageError{"missing argument for " + command.name};
        command.args.assign(argv.begin() + i, argv.begin() + i + *arity);
        i += *arity;
        options.commands.push_back(std::move(command));
    }
    if (options.commands.empty()) throw UsageError{"no command given"};
    return options;
}

void Configure(TVaskFTP& ftp, const Options& options)
{
    ftp.Host = options.host;
    ftp.Port = options.port;
    ftp.UserID = options.user;
    ftp.Password = options.password.value_or(kAnonymousPassword);
    ftp.Passive = options.passive;
    ftp.TimeOut = options.timeout;
    ftp.ReportLevel = options.reportLevel;
    ftp.ParseList = options.parseList;
    ftp.Proxy = options.proxy;
    ftp.ProxyPort = options.proxyPort;
    ftp.FirewallType = options.firewall;
    if (options.fwUser) {
        ftp.FWAuthenticate = true;
        ftp.FWUserID = *options.fwUser;
        ftp.FWPassword = options.fwPassword;
    }
}

void Event(const char* name) { Out(std::string("event: ") + name); }
void Event(const char* name, TCmdType kind)
{
    Out(std::string("event: ") + name + " " + CmdTypeName(kind));
}

void AttachEvents(TVaskFTP& ftp, const Options& options)
{
    ftp.OnStatus = [](TComponent*, const std::string& text) {
        Err("status: " + WithoutLineEnd(text));
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
    ftp.OnListItem = [](const std::string& line) { Out("list: " + WithoutLineEnd(line)); };
    if (options.progress) {
        ftp.OnPacketRecvd = [](TComponent*) { Event("OnPacketRecvd"); };
        ftp.OnPacketSent = [](TComponent*) { Event("OnPacketSent"); };
    }
}

void PrintParsedEntries(const TVaskFTP& ftp)
{
    if (!ftp.ListParser) return;
    const TFTPDirectoryList& parser = *ftp.ListParser;
    for (size_t i = 0; i < parser.NameList.size(); ++i)
        Out("entry: " + parser.AttributeList[i] + "\t" + parser.SizeList[i] + "\t" +
            parser.DateList[i] + "\t" + parser.NameList[i]);
}

void Run(TVaskFTP& ftp, const Options& options, const Command& command)
{
    const auto& a = command.args;
    const std::string& name = command.name;
    if (name == "ls") {
        ftp.ListDirectory();
        if (options.parseList) PrintParsedEntries(ftp);
    } else if (name == "pwd") {
        Out("pwd: " + ftp.CurrentDirectory());
    } else if (name == "cd") {
        ftp.ChangeDirectory(a[0]);
    } else if (name == "mkdir") {
        ftp.MakeDirectory(a[0]);
    } else if (name == "rm") {
        ftp.DeleteFile(a[0]);
    } else if (name == "get") {
        ftp.Download(a[0], a[1]);
    } else if (name == "put") {
        ftp.Upload(a[0], a[1]);
    } else if (name == "resume") {
        ftp.ResumeDownload(a[0], a[1]);
    } else if (name == "append") {
        ftp.AppendUpload(a[0], a[1]);
    } else if (name == "quote") {
        ftp.SendCommand(a[0]);
    }
}

void PrintError(const std::exception& error)
{
    const auto* own = dynamic_cast<const Exception*>(&error);
    const std::string className = own ? own->ClassName() : "Exception";
    Err("error: " + className + ": " + WithoutLineEnd(error.what()));
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);

    Options options;
    try {
        options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        Err("ftpdrive: " + error.message);
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }

    TVaskFTP ftp(nullptr);
    Configure(ftp, options);
    AttachEvents(ftp, options);
    int status = 0;
    try {
        ftp.Connect();
        for (const Command& command : options.commands) {
            try {
                Run(ftp, options, command);
            } catch (const std::exception& error) {
                if (!options.keepGoing) throw;
                PrintError(error);
                status = kExitFailure;
            }
        }
        ftp.Disconnect();
    } catch (const std::exception& error) {
        PrintError(error);
        if (ftp.Connected) {
            try {
                ftp.Disconnect();
            } catch (const std::exception&) {
            }
        }
        return kExitFailure;
    }
    return status;
}
