#include "tools/ftpdrive/Options.h"

#include "platform/Conversions.h"

#include <cctype>
#include <pwd.h>
#include <unistd.h>

namespace ftpdrive {

const char* const kUsage =
    "usage: ftpdrive --host HOST [--protocol ftp|sftp] [--port N] [--user U]\n"
    "                [--password-file FILE] [--identity FILE] [--hostkey SHA256:...]\n"
    "                [--accept-new-hostkey]\n"
    "                [--netrc-file FILE] [--passive] [--timeout MS]\n"
    "                [--speed-limit BYTES] [--speed-time SECONDS]\n"
    "                [--report-level N] [--parse-list] [--progress] [--keep-going] [--in-place]\n"
    "                [--no-resume]\n"
    "                [--times] [--no-times] [--verify off|auto|require]\n"
    "                [--proxy HOST --proxy-port N --firewall user|open|site]\n"
    "                [--fw-user U --fw-password P]\n"
    "                [--tls off|auto|require|implicit] [--ca-file FILE]... [--fingerprint "
    "SHA256]...\n"
    "                [--no-system-trust] [--allow-unresumed-data]\n"
    "                [--parallel N] [--only-newer] [--if-exists POLICY] [--follow-links]\n"
    "                [--quiet]\n"
    "                COMMAND...\n"
    "       ftpdrive --help\n"
    "COMMAND: ls | pwd | cd DIR | mkdir DIR | rm FILE | get REMOTE LOCAL | put LOCAL REMOTE\n"
    "         | resume REMOTE LOCAL | append LOCAL REMOTE | quote \"COMMAND LINE\"\n"
    "         | mirror REMOTE_DIR LOCAL_DIR | mirror -R LOCAL_DIR REMOTE_DIR\n";

const char* const kHelp =
    "\n"
    "Logs in to HOST, runs the commands in order and logs out. The first command that fails\n"
    "ends the run, unless --keep-going is given.\n"
    "\n"
    "Commands:\n"
    "  ls                   list the current directory\n"
    "  pwd                  print the current directory\n"
    "  cd DIR               change the current directory\n"
    "  mkdir DIR            create a directory\n"
    "  rm FILE              delete a file\n"
    "  get REMOTE LOCAL     download REMOTE into LOCAL.part, which replaces LOCAL once whole;\n"
    "                       a LOCAL.part an earlier run left is continued when REMOTE has not\n"
    "                       changed since (its size and time), unless --no-resume is given\n"
    "  put LOCAL REMOTE     upload LOCAL as REMOTE\n"
    "  resume REMOTE LOCAL  continue LOCAL.part, or else LOCAL, from its length; when neither\n"
    "                       exists, download REMOTE whole as get does (LOCAL is required;\n"
    "                       \"\" stands for the remote name)\n"
    "  append LOCAL REMOTE  add LOCAL to the end of REMOTE\n"
    "  quote \"LINE\"         send one command line to the server as it stands\n"
    "  mirror REMOTE_DIR LOCAL_DIR\n"
    "                       download the tree under REMOTE_DIR into LOCAL_DIR, over up to\n"
    "                       --parallel sessions at once (the only command of its run)\n"
    "  mirror -R LOCAL_DIR REMOTE_DIR\n"
    "                       upload the tree under LOCAL_DIR into REMOTE_DIR\n"
    "\n"
    "Options:\n"
    "  --protocol ftp|sftp  ftp (default), or SFTP over SSH, for which the commands are ls,\n"
    "                       mkdir, rm, get, put and mirror; ls prints entry: lines; the\n"
    "                       FTP and TLS options do not apply to it\n"
    "  --host HOST          server name, IPv4 or IPv6 address (required)\n"
    "  --port N             server port (default 21; 22 for sftp)\n"
    "  --user U             user name (default anonymous; for sftp the local user's)\n"
    "  --password-file FILE the password is the first line of FILE\n"
    "  --netrc-file FILE    read FILE in place of ~/.netrc\n"
    "  --password P         the password itself; every local user can read it (ps) for the\n"
    "                       whole run, so ftpdrive warns on standard error\n"
    "  --passive            passive data connections (PASV; over IPv6 EPSV) instead of active\n"
    "                       ones (PORT; over IPv6 EPRT)\n"
    "  --timeout MS         give up after MS milliseconds without an answer or data from the\n"
    "                       server: connect, greeting, replies, transfers (default 30000;\n"
    "                       0: wait for good)\n"
    "  --speed-limit BYTES  fail a listing or transfer that moves fewer than BYTES bytes a\n"
    "                       second for --speed-time SECONDS (default 30 once either is\n"
    "                       given), however steadily it moves; off by default, when only\n"
    "                       --timeout ends a transfer, and only one that stops\n"
    "  --speed-time SECONDS see --speed-limit (which is 1 when only this is given)\n"
    "  --report-level N     status texts up to level N: 1 protocol, 4 socket steps, 8 all\n"
    "  --parse-list         parse listings, with MLSD where offered (entry: lines)\n"
    "  --progress           an event line for every block sent or received\n"
    "  --keep-going         run every command even after one fails; the exit status is\n"
    "                       still that of the first failure\n"
    "  --in-place           downloads write straight into LOCAL, as they arrive, instead of\n"
    "                       into LOCAL.part (a LOCAL that is no regular file, /dev/null or a\n"
    "                       pipe, is always written straight)\n"
    "  --no-resume          get starts over instead of continuing a LOCAL.part\n"
    "  --times              get gives LOCAL the server's modification time of REMOTE, put\n"
    "                       gives REMOTE that of LOCAL (MFMT, or SITE UTIME), to the second\n"
    "  --no-times           mirror leaves the times alone (it keeps them by default)\n"
    "  --verify MODE        compare what get and put move with the server's checksum (HASH,\n"
    "                       XSHA256, XSHA1, XMD5, XCRC): auto (default) when the server\n"
    "                       offers one, require fails a transfer it cannot check, off never;\n"
    "                       a file that does not match fails, and get keeps it as\n"
    "                       LOCAL.unverified\n"
    "  --proxy HOST         log in through a proxy; with --proxy-port N and --firewall\n"
    "                       user (USER user@host), open (OPEN host) or site (SITE host)\n"
    "  --fw-user U          log in to a firewall first, with --fw-password P\n"
    "  --tls MODE           FTP over TLS: auto (default) asks for TLS and goes on in clear\n"
    "                       when the server has none, with a warning on standard error;\n"
    "                       require logs in only over TLS, with the data protected too;\n"
    "                       implicit speaks TLS from the first byte (the custom is port\n"
    "                       990); off never asks\n"
    "  --ca-file FILE       trust the authorities in this PEM file besides the system's\n"
    "                       (may be given more than once)\n"
    "  --fingerprint SHA256 accept the server certificate with this SHA-256 fingerprint\n"
    "                       (hex, colons optional, any case) whatever its check finds\n"
    "                       (may be given more than once); in auto mode it also makes TLS\n"
    "                       required, since that server has offered it before\n"
    "  --no-system-trust    trust only --ca-file and --fingerprint, not the system's\n"
    "                       authorities\n"
    "  --allow-unresumed-data\n"
    "                       with --tls require, accept data connections that do not resume\n"
    "                       the control connection's TLS session (otherwise refused: they\n"
    "                       may not come from the server); a warning all the same\n"
    "  --parallel N         mirror: up to N sessions at once (default 4, 1 to 64); a server\n"
    "                       that turns sessions away gets fewer\n"
    "  --if-exists POLICY   mirror: a file already at the target is sent again (overwrite,\n"
    "                       the default), continued from its length (resume), left (skip),\n"
    "                       or sent when its size differs or it is older (different)\n"
    "  --only-newer         mirror: --if-exists different\n"
    "  --follow-links       mirror -R: send what symbolic links point to (otherwise left\n"
    "                       out); a link to a directory of the tree is left out all the same\n"
    "  --quiet              no progress line on a terminal (mirror, get, put)\n"
    "  --identity FILE      sftp: log in with this private key, in place of ~/.ssh/id_ed25519,\n"
    "                       id_ecdsa and id_rsa (an encrypted one takes the password as its\n"
    "                       passphrase); keys of ssh-agent are offered as well\n"
    "  --hostkey SHA256:... sftp: accept the server's host key with this fingerprint, as\n"
    "                       ssh-keygen -l shows it, and no other, whatever the known-hosts\n"
    "                       files say\n"
    "  --accept-new-hostkey sftp: accept a host key that neither ~/.ssh/known_hosts nor\n"
    "                       Tavolen's own trust file knows, and keep it in the trust file\n"
    "                       (~/.config/tavolen/known_hosts); a changed key is refused all\n"
    "                       the same\n"
    "  --help, -h           print this text and exit\n"
    "\n"
    "The password, never from the command line unless --password gives it, comes from the\n"
    "first of these that has one: --password-file FILE (its first line); the environment\n"
    "variable TAVOLEN_PASSWORD, when --user names the user; ~/.netrc or --netrc-file FILE\n"
    "(the entry \"machine HOST\", else \"default\"; its login is the user unless --user\n"
    "names one); a prompt on the terminal that does not show what is typed, when standard\n"
    "input is one. A netrc file that other users can read or write, or that is not yours,\n"
    "is refused. An anonymous login sends an e-mail-style placeholder.\n"
    "\n"
    "Over sftp, a host key that neither known-hosts file knows is refused unless --hostkey\n"
    "or --accept-new-hostkey accepts it; the error shows its fingerprint. A key other than\n"
    "the one on record is always refused. mirror binds every session to the key the first\n"
    "one accepted.\n"
    "\n"
    "Local files are checked before the connection is opened: a file to upload must be a\n"
    "readable regular file, and a file to download into must be one that can be written.\n"
    "A download that fails or is interrupted leaves LOCAL as it was and its bytes in\n"
    "LOCAL.part, where resume continues them.\n"
    "\n"
    "mirror writes a progress line on standard error when that is a terminal, and at the\n"
    "end, on standard output:\n"
    "  mirror: FILES files, BYTES bytes, SECONDS s, SPEED/s, N sessions[, V verified]\n"
    "          [, SKIPPED skipped][, canceled]\n"
    "                                       V: files the server's checksum confirmed;\n"
    "                                       SPEED in powers of 1000 (1 MB: 1000000 bytes)\n"
    "  failed: PATH: WHY                    each file that did not arrive whole, each\n"
    "                                       name of the tree that was refused, and what the\n"
    "                                       bounds of the walk left (64 levels, 1000000\n"
    "                                       entries a run, 500000 a listing)\n"
    "  left out: PATH: WHY                  links not followed, folders already walked\n"
    "\n"
    "Standard output:\n"
    "  event: NAME [KIND]                   each event of the FTP component, as it fires\n"
    "  list: LINE                           a line of a listing\n"
    "  entry: KIND<tab>SIZE<tab>MTIME<tab>NAME  a parsed entry (--parse-list)\n"
    "  pwd: DIR                             the current directory\n"
    "Standard error:\n"
    "  status: TEXT                         the component's status texts (--report-level)\n"
    "  warning: TEXT                        less protection than TLS gives: no TLS in auto\n"
    "                                       mode, data in clear, an unresumed data session\n"
    "  error: CLASS: MESSAGE [(DETAIL)]     the failure that ended the run; DETAIL names\n"
    "                                       where a connection failed and why, as in\n"
    "                                       (127.0.0.1 port 21: Connection refused), how long\n"
    "                                       the server was silent (no answer from\n"
    "                                       127.0.0.1:21 for 30 s), or the\n"
    "                                       system's reason for a local file, or how to\n"
    "                                       trust a server certificate that was refused\n"
    "\n"
    "Exit status: 0 every command succeeded (for mirror: every file arrived whole), 1 a\n"
    "command failed, 2 usage error.\n";

namespace {

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
    if (name == "get" || name == "put" || name == "resume" || name == "append" || name == "mirror")
        return 2;
    return std::nullopt;
}

TFirewallType ParseFirewall(const std::string& mode)
{
    if (mode == "user") return FTUser;
    if (mode == "open") return FtOpen;
    if (mode == "site") return FtSite;
    throw UsageError{"unknown firewall mode: " + mode};
}

TVerifyMode ParseVerify(const std::string& mode)
{
    if (mode == "off") return TVerifyMode::Off;
    if (mode == "auto") return TVerifyMode::Auto;
    if (mode == "require") return TVerifyMode::Require;
    throw UsageError{"unknown verify mode: " + mode};
}

TTlsMode ParseTls(const std::string& mode)
{
    if (mode == "off") return tlsNone;
    if (mode == "auto") return tlsIfAvailable;
    if (mode == "require") return tlsRequired;
    if (mode == "implicit") return tlsImplicit;
    throw UsageError{"unknown TLS mode: " + mode};
}

std::string ParseFingerprint(const std::string& text)
{
    const std::optional<std::string> fingerprint = CanonicalFingerprint(text);
    if (!fingerprint) throw UsageError{"not a SHA-256 fingerprint: " + text};
    return *fingerprint;
}

Protocol ParseProtocol(const std::string& name)
{
    if (name == "ftp") return Protocol::Ftp;
    if (name == "sftp") return Protocol::Sftp;
    throw UsageError{"unknown protocol: " + name};
}

// "SHA256:" and the 43 characters of unpadded base64 that ssh-keygen -l shows.
std::string ParseHostKey(const std::string& text)
{
    const std::string prefix = "SHA256:";
    bool valid = text.size() == prefix.size() + 43 && text.compare(0, prefix.size(), prefix) == 0;
    for (size_t i = prefix.size(); valid && i < text.size(); ++i) {
        const char c = text[i];
        valid = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
    }
    if (!valid) throw UsageError{"not a host key fingerprint (SHA256:...): " + text};
    return text;
}

// Who logs in over SSH when --user does not say: the local user, as ssh does.
std::string LocalUserName()
{
    if (const passwd* entry = ::getpwuid(::getuid())) return entry->pw_name;
    return "root";
}

// The FTP commands that have no SFTP form here.
bool SftpCommand(const std::string& name)
{
    return name == "ls" || name == "mkdir" || name == "rm" || name == "get" || name == "put" ||
           name == "mirror";
}

transfer::OverwritePolicy ParsePolicy(const std::string& policy)
{
    if (policy == "overwrite") return transfer::OverwritePolicy::Overwrite;
    if (policy == "resume") return transfer::OverwritePolicy::Resume;
    if (policy == "skip") return transfer::OverwritePolicy::Skip;
    if (policy == "different") return transfer::OverwritePolicy::IfDifferent;
    throw UsageError{"unknown --if-exists policy: " + policy};
}

} // namespace

Options ParseArguments(const std::vector<std::string>& argv)
{
    Options options;
    bool portGiven = false;
    size_t i = 0;
    auto value = [&](const std::string& option) -> const std::string& {
        if (i + 1 >= argv.size()) throw UsageError{"missing value for " + option};
        return argv[++i];
    };
    // Options come first; the first word without a leading dash is the first command.
    for (; i < argv.size() && argv[i].rfind('-', 0) == 0; ++i) {
        const std::string& option = argv[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            return options;
        }
        if (option == "--host")
            options.host = value(option);
        else if (option == "--protocol")
            options.protocol = ParseProtocol(value(option));
        else if (option == "--port") {
            options.port = ParseNumber(option, value(option), 0, 65535);
            portGiven = true;
        } else if (option == "--identity")
            options.identity = value(option);
        else if (option == "--hostkey")
            options.hostKey = ParseHostKey(value(option));
        else if (option == "--accept-new-hostkey")
            options.acceptNewHostKey = true;
        else if (option == "--user") {
            options.user = value(option);
            options.userGiven = true;
        } else if (option == "--password")
            options.password = value(option);
        else if (option == "--password-file")
            options.passwordFile = value(option);
        else if (option == "--netrc-file")
            options.netrcFile = value(option);
        else if (option == "--passive")
            options.passive = true;
        else if (option == "--timeout")
            options.timeout = ParseNumber(option, value(option), 0, INT32_MAX);
        else if (option == "--speed-limit")
            options.speedLimit = ParseNumber(option, value(option), 1, INT32_MAX);
        else if (option == "--speed-time")
            options.speedTime = ParseNumber(option, value(option), 1, 86400);
        else if (option == "--report-level")
            options.reportLevel = ParseNumber(option, value(option), 0, 255);
        else if (option == "--parse-list")
            options.parseList = true;
        else if (option == "--progress")
            options.progress = true;
        else if (option == "--keep-going")
            options.keepGoing = true;
        else if (option == "--in-place")
            options.inPlace = true;
        else if (option == "--no-resume")
            options.noResume = true;
        else if (option == "--times")
            options.keepTimes = true;
        else if (option == "--no-times")
            options.noTimes = true;
        else if (option == "--verify")
            options.verify = ParseVerify(value(option));
        else if (option == "--proxy")
            options.proxy = value(option);
        else if (option == "--proxy-port")
            options.proxyPort = ParseNumber(option, value(option), 0, 65535);
        else if (option == "--firewall")
            options.firewall = ParseFirewall(value(option));
        else if (option == "--fw-user")
            options.fwUser = value(option);
        else if (option == "--fw-password")
            options.fwPassword = value(option);
        else if (option == "--tls")
            options.tls = ParseTls(value(option));
        else if (option == "--ca-file")
            options.caFiles.push_back(value(option));
        else if (option == "--fingerprint")
            options.fingerprints.push_back(ParseFingerprint(value(option)));
        else if (option == "--no-system-trust")
            options.systemTrust = false;
        else if (option == "--allow-unresumed-data")
            options.allowUnresumedData = true;
        else if (option == "--parallel")
            options.parallel = ParseNumber(option, value(option), 1, 64);
        else if (option == "--if-exists")
            options.ifExists = ParsePolicy(value(option));
        else if (option == "--only-newer")
            options.ifExists = transfer::OverwritePolicy::IfDifferent;
        else if (option == "--follow-links")
            options.followLinks = true;
        else if (option == "--quiet")
            options.quiet = true;
        else
            throw UsageError{"unknown option: " + option};
    }
    if (options.host.empty()) throw UsageError{"--host is required"};
    if (options.speedLimit > 0 && options.speedTime == 0) options.speedTime = 30;
    if (options.speedTime > 0 && options.speedLimit == 0) options.speedLimit = 1;
    if (options.password && options.passwordFile)
        throw UsageError{"--password and --password-file: give the password one way"};
    while (i < argv.size()) {
        Command command{argv[i++], {}};
        // mirror -R: the upload; the flag is kept as the first argument.
        if (command.name == "mirror" && i < argv.size() && argv[i] == "-R")
            command.args.push_back(argv[i++]);
        const auto arity = Arity(command.name);
        if (!arity) throw UsageError{"unknown command: " + command.name};
        if (i + *arity > argv.size()) throw UsageError{"missing argument for " + command.name};
        command.args.insert(command.args.end(), argv.begin() + i, argv.begin() + i + *arity);
        i += *arity;
        options.commands.push_back(std::move(command));
    }
    if (options.commands.empty()) throw UsageError{"no command given"};
    if (options.protocol == Protocol::Sftp) {
        if (!portGiven) options.port = 22;
        if (!options.userGiven) options.user = LocalUserName();
        for (const Command& command : options.commands)
            if (!SftpCommand(command.name))
                throw UsageError{command.name + " is not available over sftp"};
    } else if (options.identity || !options.hostKey.empty() || options.acceptNewHostKey) {
        throw UsageError{"--identity, --hostkey and --accept-new-hostkey are for --protocol sftp"};
    }
    for (const Command& command : options.commands)
        if (command.name == "mirror" && options.commands.size() > 1)
            throw UsageError{"mirror is the only command of its run"};
    return options;
}

} // namespace ftpdrive
