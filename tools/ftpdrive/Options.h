#pragma once
// ftpdrive's command line: the settings of the component, the commands to run, and the usage
// and help texts.
#include "ftp/FileVerification.h"
#include "ftp/FtpTypes.h"
#include "queue/Overwrite.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ftpdrive {

struct Command {
    std::string name;
    std::vector<std::string> args;
};

enum class Protocol { Ftp, Sftp };

struct Options {
    bool help = false; // --help: nothing else is read
    // --protocol: FTP (with TLS where offered) or SFTP over SSH.
    Protocol protocol = Protocol::Ftp;
    std::string host;
    int32_t port = 21; // 22 for SFTP unless --port says otherwise
    std::string user = "anonymous";
    bool userGiven = false; // --user: a netrc entry does not choose the user then
    // --password: readable by every local user for the whole run, so only with a warning.
    std::optional<std::string> password;
    std::optional<std::string> passwordFile; // --password-file: its first line
    std::optional<std::string> netrcFile;    // --netrc-file, in place of ~/.netrc
    bool passive = false;
    // Long enough for any server that is still there, short enough that a silent one ends the
    // run instead of holding it for good.
    int32_t timeout = 30000;
    // --speed-limit BYTES, --speed-time SECONDS: a transfer slower than BYTES a second for
    // SECONDS fails. Off unless one is given; the other then defaults as curl's does (30 s,
    // 1 byte a second).
    int64_t speedLimit = 0;
    int32_t speedTime = 0;
    int32_t reportLevel = 0;
    bool parseList = false;
    bool progress = false;
    // Every command runs even after one has failed.
    bool keepGoing = false;
    // Downloads write straight into the local file instead of into LOCAL.part first.
    bool inPlace = false;
    // get starts over even where a LOCAL.part an earlier run left could be continued.
    bool noResume = false;
    // get and put carry the file's modification time over (--times).
    bool keepTimes = false;
    // mirror keeps the times of the files it moves unless told not to (--no-times).
    bool noTimes = false;
    // get and put compare the file with the server's checksum when it offers one.
    TVerifyMode verify = TVerifyMode::Auto;
    std::string proxy;
    int32_t proxyPort = 0;
    TFirewallType firewall = FTUser;
    std::optional<std::string> fwUser;
    std::string fwPassword;
    // TLS when the server offers it, unless told otherwise.
    TTlsMode tls = tlsIfAvailable;
    std::vector<std::string> caFiles;
    std::vector<std::string> fingerprints; // as CanonicalFingerprint writes them
    bool systemTrust = true;
    bool allowUnresumedData = false;
    // mirror: how many sessions at once, what to do with files already at the target, and
    // whether to draw a progress line on a terminal.
    int32_t parallel = 4;
    transfer::OverwritePolicy ifExists = transfer::OverwritePolicy::Overwrite;
    bool quiet = false;
    bool followLinks = false;
    // SFTP: a private key file to log in with (--identity), in place of ~/.ssh/id_*; a host key
    // accepted by its fingerprint (--hostkey SHA256:...); an unknown host key accepted and kept
    // in the trust file (--accept-new-hostkey).
    std::optional<std::string> identity;
    std::string hostKey;
    bool acceptNewHostKey = false;
    std::vector<Command> commands;
};

struct UsageError {
    std::string message;
};

// Raises UsageError for anything it cannot make sense of.
Options ParseArguments(const std::vector<std::string>& argv);

// The synopsis, printed after a usage error.
extern const char* const kUsage;
// The synopsis and what each command, output line and exit status means (--help).
extern const char* const kHelp;

} // namespace ftpdrive
