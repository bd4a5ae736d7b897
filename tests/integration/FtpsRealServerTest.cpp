// FTP over TLS against vsftpd that requires it for the login and for every data connection, and
// that refuses a data connection that does not resume the control connection's TLS session: files
// byte-exact both ways in explicit and implicit mode, passive and active; certificates that are
// not to be trusted, with nothing of the login sent. (Servers without TLS: every other test of
// this suite logs in to one with ftpdrive's default, TLS when offered.)
#include "FtpdriveRun.h"

#include "ftp/VaskFtp.h"
#include "support/Outcome.h"
#include "support/RealServers.h"
#include "support/TestCertificates.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using ftpdrivetest::Drive;
using ftpdrivetest::Dump;
using ftpdrivetest::RunFtpdrive;
using testsupport::FtpsMode;
using testsupport::Sha256OfBytes;
using testsupport::Sha256OfFile;
using testsupport::TestCertificates;
using testsupport::VsftpdServer;

const TestCertificates& Certs() { return TestCertificates::Shared(); }

#define REQUIRE_FTPS_SERVER()                                                                      \
    do {                                                                                           \
        TAVOLEN_REQUIRE(VsftpdServer::Available(), "vsftpd (as root)");                            \
        TAVOLEN_REQUIRE(TestCertificates::Available(), "the openssl command");                     \
    } while (false)

std::string RandomBytes(size_t size)
{
    std::mt19937_64 random(20261207);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

// Whether vsftpd's log shows the command `word` received ("FTP command: ..., "USER anonymous"").
bool Received(const std::string& log, const std::string& word)
{
    return log.find("FTP command: Client \"127.0.0.1\", \"" + word) != std::string::npos;
}

std::vector<std::string> At(const VsftpdServer& server, std::vector<std::string> arguments)
{
    // An anonymous login: ftpdrive's own placeholder is password enough for vsftpd.
    std::vector<std::string> args{"--host", "127.0.0.1", "--port", std::to_string(server.Port())};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return args;
}

struct TransferRow {
    const char* name;
    FtpsMode mode;
    bool passive;
};

class FtpsTransfer : public ::testing::TestWithParam<TransferRow> {};

TEST_P(FtpsTransfer, TwentyMegabytesByteExactBothWays)
{
    REQUIRE_FTPS_SERVER();
    const TransferRow& row = GetParam();
    VsftpdServer server;
    server.UseTls({row.mode, Certs().Server()});
    ASSERT_TRUE(server.Start());
    testsupport::TempDir local;
    const std::string payload = RandomBytes(20'000'000);
    const std::string sha = Sha256OfBytes(payload);
    testsupport::WriteFileBytes(server.Root() + "/down.bin", payload);
    testsupport::WriteFileBytes(local.File("up.bin"), payload);

    std::vector<std::string> args{"--tls", row.mode == FtpsMode::Implicit ? "implicit" : "require",
                                  "--ca-file", Certs().CaFile()};
    if (row.passive) args.push_back("--passive");
    for (const std::string& word :
         {std::string("get"), std::string("down.bin"), local.File("down.bin"), std::string("put"),
          local.File("up.bin"), std::string("upload/up.bin"), std::string("ls")})
        args.push_back(word);
    const Drive d = RunFtpdrive(At(server, args));
    ASSERT_EQ(d.exitCode, 0) << Dump(d) << server.Log();
    EXPECT_EQ(Sha256OfFile(local.File("down.bin")), sha);
    EXPECT_EQ(Sha256OfFile(server.WritableDir() + "/up.bin"), sha);
    // The listing came over a protected data connection too: the root's file and directory.
    EXPECT_EQ(d.CountContaining("list: "), 2u) << Dump(d);
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpsTransfer,
                         ::testing::Values(TransferRow{"ExplicitPassive", FtpsMode::Explicit, true},
                                           TransferRow{"ExplicitActive", FtpsMode::Explicit, false},
                                           TransferRow{"ImplicitPassive", FtpsMode::Implicit, true},
                                           TransferRow{"ImplicitActive", FtpsMode::Implicit,
                                                       false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A certificate that is not to be trusted ends the run before the login: the server never sees
// USER (nor PASS). --fingerprint accepts exactly that one certificate, and nothing falls back to a
// session in clear.
struct RefusalRow {
    const char* name;
    const TestCertificates::KeyPair& (TestCertificates::*identity)() const;
    std::vector<std::string> options;
    bool pinTheFingerprint;
    bool loggedIn;
};

class FtpsCertificate : public ::testing::TestWithParam<RefusalRow> {};

TEST_P(FtpsCertificate, UntrustedEndsTheRunBeforeTheLogin)
{
    REQUIRE_FTPS_SERVER();
    const RefusalRow& row = GetParam();
    const TestCertificates::KeyPair& identity = (Certs().*row.identity)();
    const std::string fingerprint = TestCertificates::FingerprintOf(identity);
    VsftpdServer server;
    server.UseTls({FtpsMode::Explicit, identity});
    ASSERT_TRUE(server.Start());
    std::vector<std::string> args = row.options;
    if (row.pinTheFingerprint) args.insert(args.end(), {"--fingerprint", fingerprint});
    args.insert(args.end(), {"--passive", "ls"});

    const Drive d = RunFtpdrive(At(server, args));
    if (row.loggedIn) {
        EXPECT_EQ(d.exitCode, 0) << Dump(d);
        return;
    }
    EXPECT_EQ(d.exitCode, 1) << Dump(d);
    ASSERT_EQ(d.err.size(), 1u) << Dump(d);
    EXPECT_EQ(d.err[0].rfind("error: FTPException: Certificate of 127.0.0.1 not trusted", 0), 0u)
        << d.err[0];
    EXPECT_NE(d.err[0].find("--fingerprint " + fingerprint), std::string::npos) << d.err[0];
    const std::string log = server.Log();
    EXPECT_TRUE(Received(log, "AUTH TLS")) << log;
    EXPECT_FALSE(Received(log, "USER")) << log;
    EXPECT_FALSE(Received(log, "PASS")) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FtpsCertificate,
    ::testing::Values(
        RefusalRow{
            "UnknownAuthority", &TestCertificates::Server, {"--tls", "require"}, false, false},
        RefusalRow{"UnknownAuthorityInAutoModeToo", &TestCertificates::Server, {}, false, false},
        RefusalRow{"WrongName",
                   &TestCertificates::WrongName,
                   {"--tls", "require", "--ca-file", Certs().CaFile()},
                   false,
                   false},
        RefusalRow{"Expired",
                   &TestCertificates::Expired,
                   {"--tls", "require", "--ca-file", Certs().CaFile()},
                   false,
                   false},
        RefusalRow{"SelfSignedAcceptedByItsFingerprint",
                   &TestCertificates::SelfSigned,
                   {"--tls", "require"},
                   true,
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

// What the error line tells the user to do about a refused certificate depends on what is wrong
// with it: a fingerprint that does not match is named as such with the real one; a certificate
// that only names other hosts than the address connected to lists them, and no --ca-file would
// help it.
TEST(FtpsCertificate, ErrorLineSaysWhatWouldHelp)
{
    REQUIRE_FTPS_SERVER();
    struct Row {
        const char* name;
        const TestCertificates::KeyPair& (TestCertificates::*identity)() const;
        std::vector<std::string> options;
        std::vector<std::string> said;
        std::vector<std::string> notSaid;
    };
    const std::string serverPrint = TestCertificates::FingerprintOf(Certs().Server());
    const std::string selfPrint = TestCertificates::FingerprintOf(Certs().SelfSigned());
    const Row rows[] = {
        {"WrongFingerprint",
         &TestCertificates::SelfSigned,
         {"--fingerprint", serverPrint},
         {"fingerprint is " + selfPrint + ", not the one given with --fingerprint"},
         {"--ca-file"}},
        {"AddressNotNamed",
         &TestCertificates::WrongName,
         {"--ca-file", Certs().CaFile()},
         {"does not name the address connected to (it names ", "connect by a name"},
         {"host name", "--ca-file"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VsftpdServer server;
        server.UseTls({FtpsMode::Explicit, (Certs().*row.identity)()});
        ASSERT_TRUE(server.Start());
        std::vector<std::string> args = row.options;
        args.insert(args.end(), {"--tls", "require", "--passive", "ls"});
        const Drive d = RunFtpdrive(At(server, args));
        EXPECT_EQ(d.exitCode, 1) << Dump(d);
        ASSERT_EQ(d.err.size(), 1u) << Dump(d);
        for (const std::string& part : row.said)
            EXPECT_NE(d.err[0].find(part), std::string::npos) << part << "\n" << d.err[0];
        for (const std::string& part : row.notSaid)
            EXPECT_EQ(d.err[0].find(part), std::string::npos) << part << "\n" << d.err[0];
        EXPECT_FALSE(Received(server.Log(), "USER"));
    }
}

// Going on in clear is said on standard error every time, whatever the report level; asking for
// no TLS at all says nothing. A pinned fingerprint makes TLS required: a server that no longer
// offers it gets no login.
TEST(FtpdriveInClear, WarnsOnStandardErrorAndNeverWithAPinnedServer)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    TAVOLEN_REQUIRE(TestCertificates::Available(), "the openssl command");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    const std::string port = std::to_string(server.Port());
    const std::vector<std::string> login{"--host", "127.0.0.1", "--port",
                                         port,     "--user",    server.User()};
    auto run = [&](std::vector<std::string> options) {
        std::vector<std::string> args = login;
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("pwd");
        return RunFtpdrive(args, {{"TAVOLEN_PASSWORD", server.Password()}});
    };
    const Drive automatic = run({});
    EXPECT_EQ(automatic.exitCode, 0) << Dump(automatic);
    EXPECT_EQ(automatic.err,
              std::vector<std::string>{"warning: 127.0.0.1 port " + port +
                                       " does not offer TLS: the session, password included, is "
                                       "not encrypted"})
        << Dump(automatic);

    // A mirror logs in several times, each session in clear; it says so once for the run.
    std::filesystem::create_directories(server.Root() + "/arvore");
    for (int i = 0; i < 6; ++i)
        testsupport::WriteFileBytes(server.Root() + "/arvore/f" + std::to_string(i), "x");
    testsupport::TempDir local;
    std::vector<std::string> mirror = login;
    mirror.insert(mirror.end(),
                  {"--passive", "--parallel", "3", "mirror", "/arvore", local.File("copia")});
    const Drive tree = RunFtpdrive(mirror, {{"TAVOLEN_PASSWORD", server.Password()}});
    EXPECT_EQ(tree.exitCode, 0) << Dump(tree);
    EXPECT_EQ(tree.err, automatic.err) << Dump(tree);
    EXPECT_EQ(tree.CountContaining("mirror: 6 files, 6 bytes"), 1u) << Dump(tree);
    EXPECT_EQ(tree.CountContaining(" 1 session"), 0u)
        << "one login is no test of once" << Dump(tree);

    const Drive off = run({"--tls", "off"});
    EXPECT_EQ(off.exitCode, 0) << Dump(off);
    EXPECT_TRUE(off.err.empty()) << Dump(off);

    const Drive pinned = run({"--fingerprint", TestCertificates::FingerprintOf(Certs().Server())});
    EXPECT_EQ(pinned.exitCode, 1) << Dump(pinned);
    ASSERT_EQ(pinned.err.size(), 1u) << Dump(pinned);
    EXPECT_NE(pinned.err[0].find("offered TLS before and no longer does"), std::string::npos)
        << pinned.err[0];
    EXPECT_FALSE(pinned.Has("pwd: /")) << Dump(pinned);
}

// vsftpd takes a data connection only from whoever resumes the control connection's session
// ("522 SSL connection failed: session reuse required"). Without resumption the transfers fail,
// and never pass for a success.
TEST(FtpsSessionReuse, DataConnectionsWithoutItFail)
{
    REQUIRE_FTPS_SERVER();
    VsftpdServer server;
    server.UseTls({FtpsMode::Explicit, Certs().Server()});
    ASSERT_TRUE(server.Start());
    testsupport::WriteFileBytes(server.Root() + "/f.bin", "conteudo");
    testsupport::TempDir local;

    for (const bool resume : {true, false}) {
        SCOPED_TRACE(resume ? "resumed" : "not resumed");
        TVaskFTP ftp(nullptr);
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.UserID = server.User();
        ftp.Password = server.Password();
        ftp.Passive = true;
        ftp.TimeOut = 10000;
        ftp.TlsMode = tlsRequired;
        ftp.TlsCaFiles = {Certs().CaFile()};
        ftp.TlsResumeSessions = resume;
        int successes = 0;
        ftp.OnSuccess = [&](TCmdType) { ++successes; };
        ftp.Connect();
        ASSERT_TRUE(ftp.DataProtected());
        const auto listed = testsupport::ReasonRaisedBy([&] { ftp.ListDirectory(); });
        const auto fetched =
            testsupport::ReasonRaisedBy([&] { ftp.Download("f.bin", local.File("f.bin")); });
        if (resume) {
            EXPECT_EQ(listed, std::nullopt);
            EXPECT_EQ(fetched, std::nullopt);
            EXPECT_EQ(testsupport::ReadFileBytes(local.File("f.bin")), "conteudo");
            EXPECT_EQ(successes, 2);
            ftp.Disconnect();
        } else {
            EXPECT_NE(listed, std::nullopt);
            EXPECT_NE(fetched, std::nullopt);
            EXPECT_EQ(successes, 0);
        }
    }
}

} // namespace
