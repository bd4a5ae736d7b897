#include "support/RealServers.h"

#include "support/Loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kStartupTimeout = 10s;
constexpr auto kStopGrace = 3s;
constexpr int kLaunchAttempts = 3;

// The first line the server sends, or "" when nothing complete arrives before the deadline.
std::string ReadFirstLine(int fd, Clock::time_point deadline)
{
    std::string text;
    while (text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) != 1) return {};
        char buffer[512];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return {};
        text.append(buffer, size_t(n));
    }
    return text.substr(0, text.find('\n'));
}

} // namespace

// Runs a short command to completion with its output discarded; true when it exits with 0.
bool RunQuietly(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool BinaryAvailable(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// ---- RealServer ----

RealServer::RealServer()
    : root_(std::make_unique<TempDir>("tavolen-ftproot")),
      state_(std::make_unique<TempDir>("tavolen-ftpstate"))
{
}

RealServer::~RealServer() { Stop(); }

std::string RealServer::Log() const
{
    std::ifstream in(state_->File("server.log"), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

::testing::AssertionResult
RealServer::Launch(IpFamily family,
                   const std::function<std::vector<std::string>(uint16_t port)>& commandLine)
{
    std::string why;
    family_ = family;
    for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
        Stop();
        port_ = FreeLoopbackPort(family_);
        std::vector<std::string> argv = commandLine(port_);
        if (!Spawn(argv))
            return ::testing::AssertionFailure()
                   << "cannot start " << argv.front() << ": " << std::strerror(errno);
        if (WaitForGreeting(why)) return ::testing::AssertionSuccess();
    }
    Stop();
    return ::testing::AssertionFailure() << "server did not come up: " << why << "\n--- log ---\n"
                                         << Log();
}

bool RealServer::Spawn(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::string log = state_->File("server.log");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // A process group of its own, so Stop() also ends the session processes a server forks.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    int error = ::posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        errno = error;
        return false;
    }
    return true;
}

bool RealServer::WaitForGreeting(std::string& why)
{
    auto deadline = Clock::now() + kStartupTimeout;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            why = "the server exited at once (status " + std::to_string(status) + ")";
            return false;
        }
        UniqueFd connection = ConnectLoopback(port_, 500, true, family_);
        if (connection.Valid() && !greetsInClear_) return true;
        if (connection.Valid()) {
            const std::string greeting = ReadFirstLine(connection.Get(), deadline);
            if (greeting.rfind("220", 0) == 0) return true;
            why = "unexpected greeting '" + greeting + "'";
            return false;
        }
        // Not listening yet: the interpreter or daemon is still starting.
        std::this_thread::sleep_for(50ms);
    }
    why = "no greeting on port " + std::to_string(port_) + " within the startup timeout";
    return false;
}

void RealServer::Stop()
{
    if (pid_ <= 0) return;
    // Only the group this fixture created: the server and the sessions it forked. The leader is
    // not reaped until the end, so its id cannot be reused while we still signal the group.
    ::kill(-pid_, SIGTERM);
    auto deadline = Clock::now() + kStopGrace;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno != EINTR)
            break;
        if (info.si_pid == pid_ || Clock::now() >= deadline) break;
        std::this_thread::sleep_for(20ms);
    }
    // Whatever is left (a server ignoring SIGTERM, sessions outliving their parent) ends now.
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

// ---- pyftpdlib ----

PyftpdlibServer::PyftpdlibServer(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password))
{
}

bool PyftpdlibServer::Available()
{
    static const bool available =
        BinaryAvailable(kPython3) && RunQuietly({kPython3, "-c", "import pyftpdlib"});
    return available;
}

::testing::AssertionResult PyftpdlibServer::Start(IpFamily family)
{
    if (!Available())
        return ::testing::AssertionFailure() << "pyftpdlib is not available via " << kPython3;
    // The server's own MFMT, with a directory let through its check for a file.
    static const char* const kDirectoryTimes = R"(import runpy, sys
from pyftpdlib import handlers
mfmt = handlers.FTPHandler.ftp_MFMT
def ftp_MFMT(self, path, timeval):
    if not self.fs.isdir(path):
        return mfmt(self, path, timeval)
    self.fs.isfile = self.fs.isdir
    try:
        return mfmt(self, path, timeval)
    finally:
        del self.fs.isfile
handlers.FTPHandler.ftp_MFMT = ftp_MFMT
sys.argv[0] = 'pyftpdlib'
runpy.run_module('pyftpdlib', run_name='__main__', alter_sys=True)
)";
    return Launch(family, [this, family](uint16_t port) {
        // -D: every command and reply in the log.
        return std::vector<std::string>{kPython3,
                                        directoryTimes_ ? "-c" : "-m",
                                        directoryTimes_ ? kDirectoryTimes : "pyftpdlib",
                                        "-i",
                                        LoopbackText(family),
                                        "-p",
                                        std::to_string(port),
                                        "-u",
                                        user_,
                                        "-P",
                                        password_,
                                        "-d",
                                        Root(),
                                        "-w",
                                        "-D"};
    });
}

// ---- vsftpd ----

VsftpdServer::VsftpdServer() = default;

bool VsftpdServer::Available() { return BinaryAvailable(kVsftpd) && ::geteuid() == 0; }

void VsftpdServer::GiveToServer(const std::string& path) const
{
    const passwd* ftp = ::getpwnam("ftp");
    if (ftp == nullptr) return;
    ::chown(path.c_str(), ftp->pw_uid, ftp->pw_gid);
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) return;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error))
        ::lchown(entry.path().c_str(), ftp->pw_uid, ftp->pw_gid);
}

void VsftpdServer::UseTls(const VsftpdTls& tls)
{
    tls_ = tls;
    greetsInClear_ = tls.mode == FtpsMode::Explicit;
}

::testing::AssertionResult VsftpdServer::Start(IpFamily family)
{
    if (!Available())
        return ::testing::AssertionFailure() << kVsftpd << " is missing or we are not root";
    // The anonymous user (uid "ftp") must reach the root through /tmp but not write to it.
    std::string empty = state_->File("empty");
    std::filesystem::create_directory(empty);
    std::filesystem::create_directory(WritableDir());
    ::chmod(Root().c_str(), 0755);
    ::chmod(empty.c_str(), 0755);
    ::chmod(WritableDir().c_str(), 0777);

    std::string config = state_->File("vsftpd.conf");
    const bool v6 = family == IpFamily::V6;
    return Launch(family, [&](uint16_t port) {
        std::ofstream out(config, std::ios::trunc);
        out << (v6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                   : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n")
            << "listen_port=" << port
            << "\n"
               "background=NO\n"
               "anonymous_enable=YES\n"
               "local_enable=NO\n"
               "no_anon_password=YES\n"
               "anon_root="
            << Root()
            << "\n"
               "write_enable=YES\n"
               "anon_upload_enable=YES\n"
               "anon_mkdir_write_enable=YES\n"
               "anon_other_write_enable=YES\n"
               "anon_world_readable_only=NO\n"
               "anon_umask=022\n"
               "file_open_mode=0666\n"
               "pasv_enable=YES\n"
            << (v6 ? "" : "pasv_address=127.0.0.1\n")
            << "pasv_addr_resolve=NO\n"
               "port_enable=YES\n"
               "connect_from_port_20=NO\n"
               "seccomp_sandbox=NO\n"
               "isolate=NO\n"
               "isolate_network=NO\n"
               "secure_chroot_dir="
            << empty
            << "\n"
               // Every command and reply, into the log beside the daemon's own output.
               "xferlog_enable=YES\n"
               "xferlog_std_format=NO\n"
               "log_ftp_protocol=YES\n"
               "vsftpd_log_file="
            << state_->File("server.log")
            << "\n"
               "dirmessage_enable=NO\n"
               "tcp_wrappers=NO\n"
               "use_localtime=NO\n"
               "max_per_ip="
            << maxPerIp_
            << "\n"
               "max_clients=0\n"
               "idle_session_timeout="
            << idleSeconds_ << "\n";
        if (tls_) {
            // vsftpd's own cipher default (DES-CBC3-SHA) is one OpenSSL 3 no longer offers.
            out << "ssl_enable=YES\n"
                   "allow_anon_ssl=YES\n"
                   "force_anon_logins_ssl=YES\n"
                   "force_anon_data_ssl=YES\n"
                   "ssl_request_cert=NO\n"
                   "ssl_ciphers=HIGH\n"
                   "require_ssl_reuse="
                << (tls_->requireSessionReuse ? "YES" : "NO")
                << "\n"
                   "implicit_ssl="
                << (tls_->mode == FtpsMode::Implicit ? "YES" : "NO")
                << "\n"
                   "rsa_cert_file="
                << tls_->identity.certificate << "\nrsa_private_key_file=" << tls_->identity.key
                << "\n";
        }
        out.close();
        return std::vector<std::string>{kVsftpd, config};
    });
}

} // namespace testsupport
