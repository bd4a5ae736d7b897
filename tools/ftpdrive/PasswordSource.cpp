#include "tools/ftpdrive/PasswordSource.h"

#include "tools/ftpdrive/Netrc.h"
#include "tools/ftpdrive/Output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace ftpdrive {

namespace {

bool IsAnonymous(const std::string& user) { return user == "anonymous" || user == "ftp"; }

std::string WithoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

std::string FirstLineOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) throw PasswordProblem{path + ": cannot be read"};
    std::string line;
    std::getline(file, line);
    return WithoutLineEnd(line);
}

std::string HomeNetrc()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* entry = getpwuid(getuid());
        home = entry ? entry->pw_dir : nullptr;
    }
    return home ? std::string(home) + "/.netrc" : std::string();
}

std::string Octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

struct NetrcFile {
    std::string text;
    struct stat status {};
};

// The netrc file, or nothing when there is none and none was named.
std::optional<NetrcFile> ReadNetrc(const std::string& path, bool named)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (!named && errno == ENOENT) return std::nullopt;
        throw PasswordProblem{path + ": " + std::strerror(errno)};
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    NetrcFile file;
    if (fstat(fd, &file.status) != 0) throw PasswordProblem{path + ": " + std::strerror(errno)};
    char block[4096];
    for (ssize_t got; (got = read(fd, block, sizeof block)) != 0;) {
        if (got < 0) throw PasswordProblem{path + ": " + std::strerror(errno)};
        file.text.append(block, static_cast<size_t>(got));
    }
    return file;
}

// A password in a file that others can read is known to them; one they can change may be
// theirs.
void CheckPrivate(const std::string& path, const struct stat& status)
{
    if (status.st_uid != geteuid())
        throw PasswordProblem{path + " belongs to another user; its passwords are not used"};
    if ((status.st_mode & 077) != 0)
        throw PasswordProblem{path + " can be read or changed by other users (mode " +
                              Octal(status.st_mode) +
                              "); its passwords are not used until only you can read it: "
                              "chmod 600 " +
                              path};
}

class EchoOff {
public:
    EchoOff()
    {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

std::optional<std::string> Prompt(const Options& options)
{
    std::string line;
    {
        // Off before the prompt shows: whatever is typed once it is there must not be echoed.
        const EchoOff echoOff;
        std::fprintf(stderr, "Password for %s@%s: ", options.user.c_str(), options.host.c_str());
        std::fflush(stderr);
        if (!std::getline(std::cin, line)) return std::nullopt;
    }
    return WithoutLineEnd(line);
}

} // namespace

void SettlePassword(Options& options)
{
    if (options.password) {
        Err("warning: --password shows the password to every local user (ps) for the "
            "whole run; use --password-file, TAVOLEN_PASSWORD or ~/.netrc");
        return;
    }
    if (options.passwordFile) {
        options.password = FirstLineOf(*options.passwordFile);
        return;
    }
    const char* fromEnvironment = std::getenv("TAVOLEN_PASSWORD");
    // Only for a user named on the command line: a variable left in the environment must not
    // go to every anonymous server as well.
    if (fromEnvironment && options.userGiven) {
        options.password = fromEnvironment;
        return;
    }
    const std::string netrc = options.netrcFile.value_or(HomeNetrc());
    const std::optional<NetrcFile> file =
        netrc.empty() ? std::nullopt : ReadNetrc(netrc, options.netrcFile.has_value());
    const std::optional<NetrcEntry> entry =
        file ? FindNetrcEntry(file->text, options.host,
                              options.userGiven ? std::optional<std::string>(options.user)
                                                : std::nullopt)
             : std::nullopt;
    if (entry) {
        if (entry->password) CheckPrivate(netrc, file->status);
        if (!options.userGiven && !entry->login.empty()) options.user = entry->login;
        if (entry->password) {
            options.password = entry->password;
            return;
        }
    }
    if (IsAnonymous(options.user) || !isatty(STDIN_FILENO)) return;
    options.password = Prompt(options);
}

} // namespace ftpdrive
