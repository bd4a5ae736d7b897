#pragma once
// Real FTP servers for integration tests, each on a free loopback port with its own temporary
// root, started by the test and stopped (by process id) when the fixture goes out of scope.
//
//     TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
//     testsupport::PyftpdlibServer server;           // user "tester", password "secret"
//     ASSERT_TRUE(server.Start());
//     WriteFileBytes(server.Root() + "/a.bin", ...);  // the FTP path is "/a.bin"
//
//     TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd");
//     testsupport::VsftpdServer vsftpd;              // user "anonymous", any password
//     vsftpd.UseTls({FtpsMode::Explicit, certs.Server()}); // optional: TLS required
//     ASSERT_TRUE(vsftpd.Start());
//     // read-only root vsftpd.Root(); writable "/upload" = vsftpd.WritableDir()
#include "support/Loopback.h"
#include "support/TestCertificates.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr const char* kPython3 = "/usr/bin/python3";
inline constexpr const char* kVsftpd = "/usr/sbin/vsftpd";

// True when path names an executable file.
bool BinaryAvailable(const std::string& path);
// Runs a short command to completion with its output discarded; true when it exits with 0.
bool RunQuietly(const std::vector<std::string>& argv);

// Skips the test when something it needs is missing, but fails it under CI=true, where a missing
// server must never pass unnoticed. Use at the top of a TEST body (it returns from it).
#define TAVOLEN_REQUIRE(available, what)                                                           \
    do {                                                                                           \
        if (!(available)) {                                                                        \
            if (::testsupport::InCi()) {                                                           \
                FAIL() << "missing, and CI=true forbids skipping: " << (what);                     \
            } else {                                                                               \
                GTEST_SKIP() << "missing: " << (what);                                             \
            }                                                                                      \
        }                                                                                          \
    } while (false)
#define TAVOLEN_REQUIRE_BINARY(path) TAVOLEN_REQUIRE(::testsupport::BinaryAvailable(path), path)

// The process handling both servers share: spawn in a process group of its own, wait until the
// port greets with 220, stop with SIGTERM and then SIGKILL. Each server listens on the loopback
// address of the family given to Start() and writes every command it receives to its Log().
class RealServer {
public:
    virtual ~RealServer();
    RealServer(const RealServer&) = delete;
    RealServer& operator=(const RealServer&) = delete;

    uint16_t Port() const { return port_; }
    IpFamily Family() const { return family_; }
    const std::string& Root() const { return root_->Path(); }
    pid_t Pid() const { return pid_; }
    std::string Log() const; // the server's stdout and stderr so far
    void Stop();             // also done by the destructor

protected:
    RealServer();
    // Tries a few free ports (another process may grab one between choosing and binding).
    ::testing::AssertionResult
    Launch(IpFamily family,
           const std::function<std::vector<std::string>(uint16_t port)>& commandLine);

    std::unique_ptr<TempDir> root_;  // served to clients
    std::unique_ptr<TempDir> state_; // config and log, never visible to clients
    // False for a server that speaks TLS from the first byte: then being able to connect is the
    // sign that it is up.
    bool greetsInClear_ = true;

private:
    bool Spawn(const std::vector<std::string>& argv);
    bool WaitForGreeting(std::string& why);

    uint16_t port_ = 0;
    IpFamily family_ = IpFamily::V4;
    pid_t pid_ = -1;
};

// pyftpdlib with one user who may do everything in Root(), which is the FTP root "/".
class PyftpdlibServer : public RealServer {
public:
    explicit PyftpdlibServer(std::string user = "tester", std::string password = "secret");
    static bool Available(); // the interpreter exists and can import pyftpdlib
    // Before Start: MFMT sets a directory's time as well as a file's, as some servers do
    // (pyftpdlib itself refuses a directory).
    void SetDirectoryTimes() { directoryTimes_ = true; }
    ::testing::AssertionResult Start(IpFamily family = IpFamily::V4);

    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }

private:
    std::string user_;
    std::string password_;
    bool directoryTimes_ = false;
};

// Explicit: "AUTH TLS" on the normal port; implicit: TLS from the first byte.
enum class FtpsMode { Explicit, Implicit };
struct VsftpdTls {
    FtpsMode mode = FtpsMode::Explicit;
    TestCertificates::KeyPair identity;
    // Data connections must resume the control connection's TLS session (vsftpd's
    // require_ssl_reuse): proof that whoever connects for the data is the one who logged in.
    bool requireSessionReuse = true;
};

// vsftpd with anonymous login ("anonymous" or "ftp", no password needed). vsftpd will not serve a
// root the anonymous user could write to, so Root() ("/") is read-only for clients and
// "/upload" (WritableDir() on disk) allows upload, mkdir, delete and rename. Passive and active
// mode both work; files vsftpd creates are owned by the "ftp" user with mode 0644.
class VsftpdServer : public RealServer {
public:
    VsftpdServer();
    static bool Available(); // the binary exists and we are root (anonymous mode chroots)
    // Before Start: TLS is required for the login and for every data connection.
    void UseTls(const VsftpdTls& tls);
    // Before Start: at most `sessions` connections from one address at a time; the next one is
    // greeted with 421 and closed.
    void LimitSessionsPerAddress(int sessions) { maxPerIp_ = sessions; }
    // Before Start: a session that sends no command for `seconds` is told 421 and closed (the
    // server's own default is 300 s).
    void CloseIdleSessionsAfter(int seconds) { idleSeconds_ = seconds; }
    ::testing::AssertionResult Start(IpFamily family = IpFamily::V4);

    static std::string User() { return "anonymous"; }
    static std::string Password() { return "guest@example.invalid"; }
    static std::string WritableFtpPath() { return "/upload"; }
    std::string WritableDir() const { return Root() + "/upload"; }
    // Files the test puts below WritableDir() belong to root; hand them (recursively) to the
    // server's "ftp" user when the client is to overwrite or rename them, or write inside them.
    void GiveToServer(const std::string& path) const;

private:
    std::optional<VsftpdTls> tls_;
    int maxPerIp_ = 0;
    int idleSeconds_ = 300;
};

} // namespace testsupport
