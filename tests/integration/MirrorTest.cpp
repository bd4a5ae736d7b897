// ftpdrive mirror against real servers: a tree of awkward names down and up, byte for byte, and a
// server that takes fewer sessions than asked for.
#include "FtpdriveRun.h"

#include "support/RealServers.h"
#include "support/ScriptedFtpServer.h"
#include "support/StrippingRelay.h"
#include "support/TestCertificates.h"
#include "support/TestUtil.h"

#include "platform/LocalFile.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

namespace fs = std::filesystem;
using ftpdrivetest::Drive;
using ftpdrivetest::Dump;
using ftpdrivetest::RunFtpdrive;

// Every directory and file below `root`, a file with its bytes and, unless `withoutTimes`, its
// modification time to the second, a directory as "<dir>". (vsftpd neither lists times in UTC
// nor lets a client set them.)
std::map<std::string, std::string> TreeOf(const fs::path& root, bool withoutTimes = false)
{
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        const std::string relative = entry.path().lexically_relative(root).string();
        const std::optional<int64_t> time = platform::LocalFile::ModifiedOf(path);
        const std::string when = withoutTimes ? "" : " @" + std::to_string(time.value_or(-1));
        tree[relative] = entry.is_directory() ? "<dir>" : testsupport::ReadFileBytes(path) + when;
    }
    return tree;
}

// The paths where two trees differ, "" when they are alike (a whole tree is too long to show).
std::string Differences(const std::map<std::string, std::string>& got,
                        const std::map<std::string, std::string>& want)
{
    std::string differences;
    for (const auto& [path, bytes] : want) {
        const auto it = got.find(path);
        if (it == got.end())
            differences += "missing: [" + path + "]\n";
        else if (it->second != bytes)
            differences += "differs: [" + path + "]\n";
    }
    for (const auto& [path, bytes] : got)
        if (want.count(path) == 0) differences += "extra: [" + path + "]\n";
    return differences;
}

// Spaces, UTF-8, an empty file, empty directories, a dot file, characters that mean something
// to shells and URLs, depth, and a file larger than one block.
void MakeAwkwardTree(const fs::path& root)
{
    fs::create_directories(root / "pasta com espaço/vazia");
    fs::create_directories(root / "a/b/c");
    fs::create_directories(root / "empty dir");
    const std::vector<std::pair<std::string, std::string>> files{
        {"plain.txt", "plain\n"},
        {"pasta com espaço/ação ünïcode 名前.txt", "utf-8 name\n"},
        {"a/b/c/deep.bin", std::string("\0\r\n\xff", 4)},
        {"empty file", ""},
        {".hidden", "dot\n"},
        {"odd #%&;'$ name!.txt", "odd\n"},
        {"  leading and trailing  ", "spaces\n"},
        {"big.bin", std::string(300000, 'x') + "end"},
    };
    // Times of whole seconds, each its own, that no copy could have by chance.
    int64_t time = 1'500'000'000;
    for (const auto& [path, bytes] : files) {
        testsupport::WriteFileBytes((root / path).string(), bytes);
        platform::LocalFile::SetModified((root / path).string(), time += 3607);
    }
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A passive login to a real server, plain unless `tls` says otherwise (passive last, so that it
// can be taken off).
template <typename Server>
std::vector<std::string> Login(const Server& server,
                               const std::vector<std::string>& tls = {"--tls", "off"})
{
    return With(With({"--host", "127.0.0.1", "--port", std::to_string(server.Port()), "--user",
                      server.User(), "--password", server.Password()},
                     tls),
                {"--passive"});
}

// A login as ana to a scripted server, passive and in one session, with `tls` and then `more`.
std::vector<std::string> Ana(const testsupport::ScriptedFtpServer& server,
                             const std::vector<std::string>& more,
                             const std::vector<std::string>& tls = {"--tls", "off"})
{
    return With(
        With(With({"--host", "127.0.0.1", "--port", std::to_string(server.Port()), "--user", "ana"},
                  tls),
             {"--passive", "--parallel", "1"}),
        more);
}

// The scripted greeting and login of ana, plain or (`prot` given) over TLS with `prot` the
// answer to PROT P.
testsupport::ScriptedFtpServer& ScriptLogin(testsupport::ScriptedFtpServer& server,
                                            const char* prot = nullptr)
{
    server.Reply("220 pronto");
    if (prot) server.AuthTls();
    server.Expect("USER ana").Reply("230 ok").NoFeatures();
    if (prot) server.Expect("PBSZ 0").Reply("200 PBSZ=0").Expect("PROT P").Reply(prot);
    return server;
}

std::string FolderLine(const std::string& name)
{
    return "drwxr-xr-x 2 ftp ftp 0 Jan 01  2024 " + name + "\r\n";
}

// A passive LIST of `path` that gives `listing`, over TLS when `tls` is given.
void ScriptListing(testsupport::ScriptedFtpServer& script, const std::string& path,
                   const std::string& listing,
                   const testsupport::TestCertificates::KeyPair* tls = nullptr)
{
    script.PassiveListen().Expect("PASV").ReplyPasv().Expect("LIST " + path).Reply("150 listing");
    script.AcceptData();
    if (tls) script.StartDataTlsAs(*tls);
    if (!listing.empty()) script.SendData(listing);
    script.CloseData().Reply("226 done");
}

// A started pyftpdlib (taking MFMT for folders when `folderTimes`) or vsftpd, a login to it,
// and a path on it where a tree may be uploaded. No server when it could not be started.
struct EitherServer {
    std::unique_ptr<testsupport::RealServer> server;
    std::vector<std::string> login;
    std::string upload = "/up";
};

void StartEither(bool vsftpd, bool folderTimes, EitherServer& either)
{
    if (vsftpd) {
        TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd");
        auto started = std::make_unique<testsupport::VsftpdServer>();
        ASSERT_TRUE(started->Start());
        either.login = Login(*started);
        either.upload = "/upload/up";
        either.server = std::move(started);
    } else {
        TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
        auto started = std::make_unique<testsupport::PyftpdlibServer>();
        if (folderTimes) started->SetDirectoryTimes();
        ASSERT_TRUE(started->Start());
        either.login = Login(*started);
        either.server = std::move(started);
    }
}

} // namespace

TEST(Mirror, DownloadsATreeOfAwkwardNamesWhole)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    MakeAwkwardTree(fs::path(server.Root()) / "tree");
    testsupport::TempDir local;
    const fs::path target = fs::path(local.Path()) / "copy";

    const Drive d = RunFtpdrive(With(Login(server), {"mirror", "/tree", target.string()}));
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(Differences(TreeOf(target), TreeOf(fs::path(server.Root()) / "tree")), "");
    EXPECT_EQ(d.CountContaining("mirror: 8 files, 300039 bytes"), 1u) << Dump(d);

    // Again, with the mirror rule: every file has the server's size and time now.
    const Drive again =
        RunFtpdrive(With(Login(server), {"--only-newer", "mirror", "/tree", target.string()}));
    ASSERT_EQ(again.exitCode, 0) << Dump(again);
    EXPECT_EQ(again.CountContaining("mirror: 0 files, 0 bytes"), 1u) << Dump(again);
    EXPECT_EQ(again.CountContaining(", 8 skipped"), 1u) << Dump(again);
}

TEST(Mirror, UploadsATreeOfAwkwardNamesWhole)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    testsupport::TempDir local;
    const fs::path source = fs::path(local.Path()) / "source";
    MakeAwkwardTree(source);
    fs::create_symlink("/etc/hostname", source / "a link");

    const Drive d = RunFtpdrive(With(Login(server), {"mirror", "-R", source.string(), "/up/tree"}));
    // "/up" is not there: the first directory cannot be made, and nothing is sent.
    EXPECT_EQ(d.exitCode, 1) << Dump(d);

    const Drive up = RunFtpdrive(With(Login(server), {"mirror", "-R", source.string(), "/up"}));
    ASSERT_EQ(up.exitCode, 0) << Dump(up);
    EXPECT_TRUE(up.Has("left out: a link: a symbolic link, not followed")) << Dump(up);
    fs::remove(source / "a link");
    EXPECT_EQ(Differences(TreeOf(fs::path(server.Root()) / "up"), TreeOf(source)), "");
}

// Active mode, where pyftpdlib may answer STOR before PORT: every run of a hundred files both
// ways is byte for byte, and the byte total is that of the tree, never of tries that failed.
// (pyftpdlib, with several sessions in active mode, now and then stops reading a control
// connection: a login that gets no answer to USER, an MFMT never answered. A short time-out keeps
// the run short, and the retries make every file whole; the times the server keeps are then not
// all ours, so only the download is compared with them.)
TEST(Mirror, ActiveModeTreesArriveWholeBothWays)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    testsupport::TempDir local;
    const fs::path source = fs::path(local.Path()) / "source";
    fs::create_directories(source);
    int64_t total = 0;
    for (int i = 0; i < 100; ++i) {
        std::string bytes(static_cast<size_t>((i * 7919) % 60000 + 1), '\0');
        for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<char>(j * 31 + i);
        testsupport::WriteFileBytes((source / ("f" + std::to_string(i))).string(), bytes);
        total += static_cast<int64_t>(bytes.size());
    }
    std::vector<std::string> active = Login(server);
    active.pop_back(); // --passive
    active = With(active, {"--parallel", "4", "--timeout", "2000"});
    const std::string summary = "mirror: 100 files, " + std::to_string(total) + " bytes";
    for (int run = 0; run < 2; ++run) {
        const std::string remote = "/up" + std::to_string(run);
        const Drive up = RunFtpdrive(With(active, {"mirror", "-R", source.string(), remote}));
        ASSERT_EQ(up.exitCode, 0) << Dump(up);
        const fs::path uploaded = fs::path(server.Root()) / remote.substr(1);
        EXPECT_EQ(Differences(TreeOf(uploaded, true), TreeOf(source, true)), "");
        EXPECT_EQ(up.CountContaining(summary), 1u) << Dump(up);

        const fs::path target = fs::path(local.Path()) / ("down" + std::to_string(run));
        const Drive down = RunFtpdrive(With(active, {"mirror", remote, target.string()}));
        ASSERT_EQ(down.exitCode, 0) << Dump(down);
        EXPECT_EQ(Differences(TreeOf(target), TreeOf(uploaded)), "");
        EXPECT_EQ(down.CountContaining(summary), 1u) << Dump(down);
    }
}

// A folder whose names are the temporary forms of its other names: each file arrives as itself,
// over sessions that fetch them at the same time, and nothing else is left in the target.
TEST(Mirror, NamesLikeTemporaryOnesArriveAsThemselves)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    const fs::path tree = fs::path(server.Root()) / "clash";
    fs::create_directories(tree);
    const std::vector<std::string> names{
        "c", "c.part", "c.part.part", "c.unverified", "d.unverified", "d", "d.part"};
    for (size_t i = 0; i < names.size(); ++i)
        testsupport::WriteFileBytes((tree / names[i]).string(),
                                    names[i] + ":" + std::string(200000 + i, 'a' + char(i)));
    testsupport::TempDir local;
    const fs::path target = fs::path(local.Path()) / "clash";

    const Drive d =
        RunFtpdrive(With(Login(server), {"--parallel", "4", "mirror", "/clash", target.string()}));
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(Differences(TreeOf(target, true), TreeOf(tree, true)), "");
    EXPECT_EQ(d.CountContaining("mirror: 7 files"), 1u) << Dump(d);
}

// vsftpd turns away a third connection from the same address with 421: four sessions asked
// for, two given, and every file arrives all the same.
TEST(Mirror, ServerAllowingTwoSessionsStillGetsEveryFile)
{
    TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd");
    testsupport::VsftpdServer server;
    server.LimitSessionsPerAddress(2);
    ASSERT_TRUE(server.Start());
    const fs::path tree = fs::path(server.Root()) / "many";
    fs::create_directories(tree);
    for (int i = 0; i < 40; ++i)
        testsupport::WriteFileBytes((tree / ("f" + std::to_string(i))).string(),
                                    std::string(1000 + i, static_cast<char>('a' + i % 26)));
    testsupport::TempDir local;
    const fs::path target = fs::path(local.Path()) / "many";

    const Drive d =
        RunFtpdrive(With(Login(server), {"--parallel", "4", "mirror", "/many", target.string()}));
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(Differences(TreeOf(target, true), TreeOf(tree, true)), "");
    EXPECT_EQ(d.CountContaining("mirror: 40 files"), 1u) << Dump(d);
    // Two at most (one, when the server still counts the connection the fixture greeted on).
    EXPECT_EQ(d.CountContaining(", 3 sessions") + d.CountContaining(", 4 sessions"), 0u) << Dump(d);

    // vsftpd lists a missing directory as an empty one; that is no tree to fetch.
    const Drive missing =
        RunFtpdrive(With(Login(server), {"mirror", "/not-there", local.File("none")}));
    EXPECT_EQ(missing.exitCode, 1) << Dump(missing);
    EXPECT_TRUE(missing.Has("failed: /not-there: no such directory")) << Dump(missing);
}

// Over TLS, every session of the run carries the same trust as the first: the server's
// certificate passes by the authority given once on the command line, for all of them.
TEST(Mirror, TreeBothWaysOverTlsWithEverySessionTrusted)
{
    TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd");
    TAVOLEN_REQUIRE(testsupport::TestCertificates::Available(), "the openssl command");
    const auto& certs = testsupport::TestCertificates::Shared();
    testsupport::VsftpdServer server;
    server.UseTls({testsupport::FtpsMode::Explicit, certs.Server()});
    ASSERT_TRUE(server.Start());
    const fs::path tree = fs::path(server.Root()) / "tree";
    MakeAwkwardTree(tree);
    // vsftpd leaves dot files out of its listings.
    fs::remove(tree / ".hidden");
    testsupport::TempDir local;
    const fs::path copy = fs::path(local.Path()) / "copy";
    const std::vector<std::string> login =
        Login(server, {"--tls", "require", "--ca-file", certs.CaFile()});

    const Drive down = RunFtpdrive(With(login, {"mirror", "/tree", copy.string()}));
    ASSERT_EQ(down.exitCode, 0) << Dump(down) << server.Log();
    EXPECT_EQ(Differences(TreeOf(copy, true), TreeOf(tree, true)), "");

    const Drive up = RunFtpdrive(With(login, {"mirror", "-R", copy.string(), "/upload/tree"}));
    ASSERT_EQ(up.exitCode, 0) << Dump(up) << server.Log();
    EXPECT_EQ(
        Differences(TreeOf(fs::path(server.WritableDir()) / "tree", true), TreeOf(tree, true)), "");
}

// A server that protects the login but refuses PROT P, or whose data connections do not resume
// the login's TLS session: mirror says so, once a run, as get does.
TEST(Mirror, WarnsOfUnprotectedDataAsGetDoes)
{
    TAVOLEN_REQUIRE(testsupport::TestCertificates::Available(), "the openssl command");
    const auto& certs = testsupport::TestCertificates::Shared();
    struct Row {
        bool protect; // PROT P accepted; the data connections then speak TLS without resuming
        const char* warning;
    };
    const Row rows[] = {
        {false, " refused to protect data connections: listings and files are not encrypted"},
        {true, " did not resume the TLS session of the login; it may not come from the server"},
    };
    for (const Row& row : rows) {
        testsupport::ScriptedFtpServer server;
        server.UseCertificate(certs.Server());
        ScriptLogin(server, row.protect ? "200 Private" : "536 PROT P not allowed");
        // An empty listing, then its parent's, which tells that the directory is there.
        const auto* tls = row.protect ? &certs.Server() : nullptr;
        ScriptListing(server, "/empty", "", tls);
        ScriptListing(server, "/", FolderLine("empty"), tls);
        server.Expect("QUIT").Reply("221 tchau");
        server.Start();
        testsupport::TempDir local;

        const Drive d = RunFtpdrive(Ana(server, {"mirror", "/empty", local.File("copy")},
                                        {"--tls", "auto", "--ca-file", certs.CaFile()}));
        EXPECT_EQ(d.exitCode, 0) << Dump(d);
        const std::string where = "127.0.0.1 port " + std::to_string(server.Port());
        const std::string line = row.protect
                                     ? "warning: a data connection to " + where + row.warning
                                     : "warning: " + where + row.warning;
        EXPECT_EQ(d.err, std::vector<std::string>{line}) << Dump(d);
        EXPECT_TRUE(server.Verify()) << row.warning;
    }
}

// A target prepared by someone else who can write it: each planted link or special file is
// reported, left as it was, and makes the run fail; every other file arrives; nothing is written
// outside the target.
TEST(Mirror, WritesNothingThroughWhatIsPlantedInTheTarget)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    const fs::path tree = fs::path(server.Root()) / "h";
    for (const char* path : {"a.txt", "f.txt", "in/f.txt", "sub/deep/f.txt"}) {
        fs::create_directories((tree / path).parent_path());
        testsupport::WriteFileBytes((tree / path).string(), std::string("server's ") + path);
    }
    struct Row {
        const char* why;
        std::string planted; // below the target
        std::function<void(const fs::path& at, const fs::path& outside)> plant;
        const char* kind = "a symbolic link"; // as the failed: line names it
    };
    const auto link = [](const std::string& to) {
        return [to](const fs::path& at, const fs::path& outside) {
            fs::create_symlink(to.empty() ? outside : outside / to, at);
        };
    };
    const Row rows[] = {
        {"a link to a folder", "in", link("")},
        {"a link to a folder deeper down", "sub/deep", link("")},
        {"a link to a file", "f.txt", link("secret")},
        {"a dangling link", "f.txt", link("made")},
        {"a link to /dev/null", "f.txt",
         [](const fs::path& at, const fs::path&) { fs::create_symlink("/dev/null", at); }},
        {"a FIFO", "f.txt",
         [](const fs::path& at, const fs::path&) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); },
         "a FIFO"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        testsupport::TempDir local;
        const fs::path target = fs::path(local.Path()) / "copy";
        const fs::path outside = fs::path(local.Path()) / "outside";
        fs::create_directories(outside);
        testsupport::WriteFileBytes((outside / "secret").string(), "secret");
        fs::permissions(outside / "secret", fs::perms::owner_read | fs::perms::owner_write);
        fs::create_directories((target / row.planted).parent_path());
        row.plant(target / row.planted, outside);
        const fs::file_type kind = fs::symlink_status(target / row.planted).type();

        const Drive d = RunFtpdrive(With(Login(server), {"mirror", "/h", target.string()}));
        EXPECT_EQ(d.exitCode, 1) << Dump(d);
        EXPECT_TRUE(d.Has("failed: " + row.planted + ": " + row.kind + " stands there, left alone"))
            << Dump(d);
        EXPECT_EQ(d.CountContaining("failed: "), 1u) << Dump(d);
        EXPECT_EQ(fs::symlink_status(target / row.planted).type(), kind);
        EXPECT_EQ(testsupport::ReadFileBytes((target / "a.txt").string()), "server's a.txt");
        EXPECT_EQ(TreeOf(outside, true),
                  (std::map<std::string, std::string>{{"secret", "secret"}}));
        EXPECT_EQ(fs::status(outside / "secret").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
}

// Ctrl-C or SIGTERM while a mirror waits on its server, with a FIFO in the target: the run ends
// at once with 128 + the signal, says it was canceled, and the file cut short is nowhere under
// its own name. (The bound is a guard against a hang, not a measure of speed.)
TEST(Mirror, InterruptEndsARunPromptlyWithTheSignalsStatus)
{
    for (const int signal : {SIGINT, SIGTERM}) {
        testsupport::ScriptedFtpServer server;
        ScriptListing(ScriptLogin(server), "/x",
                      "-rw-r--r-- 1 u g 10 Jan 01 2020 fifo\r\n"
                      "-rw-r--r-- 1 u g 10 Jan 01 2020 slow\r\n");
        server.Expect("TYPE I").Reply("200 binary").PassiveListen().Expect("PASV").ReplyPasv();
        server.Expect("RETR /x/slow").Reply("150 here").AcceptData().SendData("part").Hold();
        server.Start();
        testsupport::TempDir local;
        const fs::path target = fs::path(local.Path()) / "copy";
        fs::create_directories(target);
        ASSERT_EQ(::mkfifo((target / "fifo").c_str(), 0600), 0);

        QStringList args;
        for (const std::string& arg : Ana(server, {"mirror", "/x", target.string()}))
            args << QString::fromStdString(arg);
        QProcess process;
        process.start(QString::fromStdString(ftpdrivetest::FtpdrivePath()), args);
        ASSERT_TRUE(process.waitForStarted(5000));
        // Until the transfer is under way: bounded, and the signal goes out all the same.
        for (int i = 0; i < 250; ++i) {
            const std::vector<std::string> lines = server.ReceivedLines();
            if (std::find(lines.begin(), lines.end(), "RETR /x/slow") != lines.end()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_EQ(::kill(static_cast<pid_t>(process.processId()), signal), 0);
        const bool ended = process.waitForFinished(5000);
        if (!ended) {
            process.kill();
            process.waitForFinished();
        }
        server.Release();
        ASSERT_TRUE(ended) << "signal " << signal;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 128 + signal);
        const Drive d{
            process.exitCode(), ftpdrivetest::SplitLines(process.readAllStandardOutput()), {}};
        EXPECT_GE(d.CountContaining("canceled"), 1u) << "signal " << signal;
        EXPECT_FALSE(fs::exists(target / "slow"));
        EXPECT_EQ(fs::symlink_status(target / "fifo").type(), fs::file_type::fifo);
    }
}

// Someone between ftpdrive and the server strips AUTH TLS from sessions 2-4 of a mirror whose
// first session has TLS, or answers them with a certificate of its own (one that verifies, or
// one that does not): none of them sends the login; the run goes on over the first session, says
// why it used fewer, and every file arrives.
TEST(Mirror, SessionsStrippedOfTlsSendNoPasswordAndTheRunGoesOnWithout)
{
    TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd");
    TAVOLEN_REQUIRE(testsupport::TestCertificates::Available(), "the openssl command");
    const auto& certs = testsupport::TestCertificates::Shared();
    testsupport::VsftpdServer server;
    server.UseTls({testsupport::FtpsMode::Explicit, certs.Server()});
    ASSERT_TRUE(server.Start());
    const fs::path tree = fs::path(server.Root()) / "tree";
    fs::create_directories(tree);
    for (int i = 0; i < 12; ++i)
        testsupport::WriteFileBytes((tree / ("f" + std::to_string(i))).string(),
                                    std::string(2000 + i, static_cast<char>('a' + i)));
    const std::vector<std::string> fingerprint{
        "--tls", "auto", "--fingerprint",
        testsupport::TestCertificates::FingerprintOf(certs.Server())};
    const std::string stripped = "TLS refused by the server: 500 AUTH not understood.";
    const std::string standIn = "Certificate of 127.0.0.1 not trusted";
    struct Row {
        const char* name;
        std::vector<std::string> trust;
        std::optional<testsupport::TestCertificates::KeyPair> standIn;
        std::string why;
    };
    const Row rows[] = {
        {"tls auto", {"--tls", "auto", "--ca-file", certs.CaFile()}, {}, stripped},
        {"tls require", {"--tls", "require", "--ca-file", certs.CaFile()}, {}, stripped},
        {"fingerprint", fingerprint, {}, stripped},
        {"another certificate of the same authority",
         {"--tls", "auto", "--ca-file", certs.CaFile()},
         certs.Twin(),
         standIn},
        {"a self-signed stand-in", fingerprint, certs.SelfSigned(), standIn},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::StrippingRelay relay(server.Port(), {2, 3, 4}, row.standIn);
        relay.Start();
        testsupport::TempDir local;
        const fs::path copy = fs::path(local.Path()) / "copy";

        const Drive d = RunFtpdrive(With(
            With({"--host", "127.0.0.1", "--port", std::to_string(relay.Port()), "--user",
                  server.User(), "--password", server.Password(), "--passive", "--parallel", "4"},
                 row.trust),
            {"mirror", "/tree", copy.string()}));
        ASSERT_EQ(d.exitCode, 0) << Dump(d) << server.Log();
        EXPECT_EQ(Differences(TreeOf(copy, true), TreeOf(tree, true)), "");
        // The stripped sessions were tried, and heard nothing of the login.
        EXPECT_GE(relay.Sessions(), 4);
        for (const std::string& line : relay.StrippedLines()) {
            EXPECT_EQ(line.find("PASS"), std::string::npos) << line;
            EXPECT_EQ(line.find("USER"), std::string::npos) << line;
        }
        EXPECT_EQ(d.CountContaining("mirror: 12 files"), 1u) << Dump(d);
        EXPECT_EQ(d.CountContaining(", 1 session"), 1u) << Dump(d);
        // Each stripped session is said to be left out. The stand-in serves one handshake at a
        // time, so a session whose handshake it could not serve in time may fail that instead
        // of seeing the stand-in's certificate.
        size_t refused = 0;
        size_t saidWhy = 0;
        for (const std::string& line : d.err) {
            if (line.find("a session beside the first was not used") == std::string::npos) continue;
            ++refused;
            if (line.find(row.why) != std::string::npos)
                ++saidWhy;
            else if (!row.standIn || line.find("TLS handshake failed") == std::string::npos)
                ADD_FAILURE() << line;
        }
        EXPECT_EQ(refused, 3u) << Dump(d);
        EXPECT_GE(saidWhy, 1u) << Dump(d);
    }
}

namespace {

std::string Repeated(const std::string& step, size_t times, const std::string& between)
{
    std::string path;
    for (size_t i = 0; i < times; ++i) path += (i == 0 ? "" : between) + step;
    return path;
}

} // namespace

// Servers whose listings have no end: one whose folder lists itself as a folder, one with
// 100,000 folders in every folder. Each walk ends at its bound with a failed: line that says
// where and why, and no folder that was never listed is made. And a refusal: the server's words
// on the failed: line are its own, but its control characters reach the terminal only as
// escapes.
TEST(Mirror, TheWalkOfAListingWithoutEndStopsAtItsBounds)
{
    std::string hundredThousand;
    for (int i = 0; i < 100000; ++i) hundredThousand += FolderLine("pasta" + std::to_string(i));
    struct Row {
        const char* what;
        std::function<void(testsupport::ScriptedFtpServer&)> listings;
        std::string failed;
        std::vector<std::string> made; // folders below the copy that must be there
        std::string notMade;           // "": no folder to look for
    };
    const std::vector<Row> rows{
        {"a folder that lists itself",
         [](testsupport::ScriptedFtpServer& script) {
             for (size_t depth = 0; depth <= 64; ++depth)
                 ScriptListing(script, "/x" + Repeated("/x", depth, ""), FolderLine("x"));
         },
         "failed: " + Repeated("x", 65, "/") + ": not walked: more than 64 levels deep",
         {Repeated("x", 64, "/")},
         Repeated("x", 65, "/")},
        {"100,000 folders in every folder",
         [&](testsupport::ScriptedFtpServer& script) {
             ScriptListing(script, "/x", hundredThousand);
             for (int i = 0; i <= 9; ++i)
                 ScriptListing(script, "/x/pasta" + std::to_string(i), hundredThousand);
         },
         "failed: pasta9: not walked, nor 999990 folders more: the run's limit of 1000000 "
         "entries was reached",
         {"pasta0", "pasta8"},
         "pasta9"},
        {"a refusal with control characters",
         [](testsupport::ScriptedFtpServer& script) {
             script.PassiveListen().Expect("PASV").ReplyPasv().Expect("LIST /x");
             script.Reply("550 No\x1b]0;pwned\x07 such\x1b[2J directory\x9b");
         },
         "failed: /x: 550 No\\x1b]0;pwned\\x07 such\\x1b[2J directory\\x9b",
         {},
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        testsupport::ScriptedFtpServer server;
        row.listings(ScriptLogin(server));
        server.Expect("QUIT").Reply("221 tchau");
        server.Start();
        testsupport::TempDir local;
        const fs::path copy = fs::path(local.Path()) / "copy";

        const Drive d = RunFtpdrive(Ana(server, {"mirror", "/x", copy.string()}));
        EXPECT_EQ(d.exitCode, 1) << Dump(d);
        EXPECT_TRUE(d.Has(row.failed)) << Dump(d);
        EXPECT_EQ(d.CountContaining("failed: "), 1u) << Dump(d);
        for (const std::string& folder : row.made) EXPECT_TRUE(fs::is_directory(copy / folder));
        if (!row.notMade.empty()) {
            EXPECT_FALSE(fs::exists(copy / row.notMade));
        }
        EXPECT_TRUE(server.Verify());
    }
}

// A harmless share with links to its own folders that the server shows as folders (pyftpdlib
// follows links, and names each entry by its target's unique fact): each folder arrives once.
TEST(Mirror, LinksToItsOwnFoldersOnTheServerAreWalkedOnce)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    const fs::path tree = fs::path(server.Root()) / "tree";
    fs::create_directories(tree / "sub");
    testsupport::WriteFileBytes((tree / "a.txt").string(), "a");
    testsupport::WriteFileBytes((tree / "sub/b.txt").string(), "b");
    fs::create_directory_symlink(".", tree / "loop");
    fs::create_directory_symlink("..", tree / "sub/up");
    testsupport::TempDir local;
    const fs::path target = fs::path(local.Path()) / "copy";

    const Drive d = RunFtpdrive(With(Login(server), {"mirror", "/tree", target.string()}));
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(d.CountContaining("left out: loop: the same folder as the top folder"), 1u)
        << Dump(d);
    // The server names sub/up and loop alike: whichever it lists first, both are the top folder.
    EXPECT_EQ(d.CountContaining("left out: sub/up: the same folder as the top folder"), 1u)
        << Dump(d);
    const std::map<std::string, std::string> want{
        {"a.txt", "a"}, {"sub", "<dir>"}, {"sub/b.txt", "b"}};
    EXPECT_EQ(Differences(TreeOf(target, true), want), "");
}

// An upload that follows links, with a link to a folder of the tree that comes before that
// folder: the folder arrives once, whole, under its own name, and the link is said to be left.
TEST(Mirror, FollowedLinkToAFolderOfTheTreeSendsTheFolderOnce)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    testsupport::TempDir local;
    const fs::path source = fs::path(local.Path()) / "source";
    fs::create_directories(source / "realdir");
    testsupport::WriteFileBytes((source / "realdir/f.txt").string(), "f");
    fs::create_directory_symlink("realdir", source / "alink");

    const Drive d = RunFtpdrive(
        With(Login(server), {"--follow-links", "mirror", "-R", source.string(), "/up"}));
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_TRUE(d.Has("left out: alink: a link back into the tree (to realdir), not followed"))
        << Dump(d);
    const std::map<std::string, std::string> want{{"realdir", "<dir>"}, {"realdir/f.txt", "f"}};
    EXPECT_EQ(Differences(TreeOf(fs::path(server.Root()) / "up", true), want), "");
}

// The mirror rule on a server that lists with MLSD (pyftpdlib) and on one that lists with LIST
// only (vsftpd, whose times lack seconds): a first run down and up keeps every time, and a second
// run of each moves no file.
TEST(Mirror, ASecondRunWithOnlyNewerMovesNothingOnEitherServer)
{
    for (const bool vsftpd : {false, true}) {
        SCOPED_TRACE(vsftpd ? "vsftpd" : "pyftpdlib");
        EitherServer either;
        StartEither(vsftpd, false, either);
        if (!either.server) return;
        const auto& [server, login, upload] = either;
        const fs::path tree = fs::path(server->Root()) / "tree";
        MakeAwkwardTree(tree);
        // vsftpd leaves dot files out of its listings.
        fs::remove(tree / ".hidden");
        testsupport::TempDir local;
        const fs::path copy = fs::path(local.Path()) / "copy";
        const std::vector<std::string> down{"--only-newer", "mirror", "/tree", copy.string()};
        const std::vector<std::string> up{"--only-newer", "mirror", "-R", copy.string(), upload};
        for (const auto* args : {&down, &up}) {
            const Drive first = RunFtpdrive(With(login, *args));
            ASSERT_EQ(first.exitCode, 0) << Dump(first) << server->Log();
            EXPECT_EQ(first.CountContaining("mirror: 7 files"), 1u) << Dump(first);
            const Drive second = RunFtpdrive(With(login, *args));
            ASSERT_EQ(second.exitCode, 0) << Dump(second);
            EXPECT_EQ(second.CountContaining("mirror: 0 files, 0 bytes"), 1u) << Dump(second);
            EXPECT_EQ(second.CountContaining(", 7 skipped"), 1u) << Dump(second);
        }
        EXPECT_EQ(Differences(TreeOf(copy), TreeOf(tree)), "");
        const fs::path uploaded = fs::path(server->Root()) / upload.substr(1);
        EXPECT_EQ(Differences(TreeOf(uploaded), TreeOf(tree)), "");
    }
}

namespace {

// The time of every directory below `root` and of `root` itself ("."), to the second.
std::map<std::string, int64_t> FolderTimesOf(const fs::path& root)
{
    std::map<std::string, int64_t> times{
        {".", platform::LocalFile::ModifiedOf(root.string()).value_or(-1)}};
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_directory())
            times[entry.path().lexically_relative(root).string()] =
                platform::LocalFile::ModifiedOf(entry.path().string()).value_or(-1);
    return times;
}

// The commands in a server's log that would set the time of one of `folders`: the path ends
// the line (or the quoted command, in vsftpd's log).
size_t FolderTimeCommands(const std::string& log, const std::vector<std::string>& folders)
{
    size_t count = 0;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '"' || line.back() == '\r')) line.pop_back();
        const bool setsTime =
            line.find("MFMT 2") != std::string::npos || line.find("MFMT 1") != std::string::npos ||
            line.find("SITE UTIME") != std::string::npos ||
            line.find("MDTM 2") != std::string::npos || line.find("MDTM 1") != std::string::npos;
        for (const std::string& folder : folders)
            if (setsTime && line.size() > folder.size() &&
                line.compare(line.size() - folder.size() - 1, std::string::npos, " " + folder) == 0)
                ++count;
    }
    return count;
}

} // namespace

// mirror -R gives the server's folders the local folders' times once their files are there, on
// a server that takes them; one that refuses them (pyftpdlib takes MFMT for files only, vsftpd
// its MDTM with a time) is asked once, and the run is whole all the same.
TEST(Mirror, UploadedFoldersTakeTheLocalTimesWhereTheServerSetsThem)
{
    struct Row {
        const char* what;
        bool vsftpd;
        bool setsFolderTimes; // the pyftpdlib that takes MFMT for a folder too
    };
    const Row rows[] = {
        {"pyftpdlib, MFMT for folders", false, true},
        {"pyftpdlib, MFMT for files only", false, false},
        {"vsftpd", true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EitherServer either;
        StartEither(row.vsftpd, row.setsFolderTimes, either);
        if (!either.server) return;
        const auto& [server, login, upload] = either;
        testsupport::TempDir local;
        const fs::path source = fs::path(local.Path()) / "source";
        MakeAwkwardTree(source);
        fs::remove(source / ".hidden"); // vsftpd leaves dot files out of its listings
        // Times no folder made or written now could have.
        int64_t time = 1'400'000'000;
        std::vector<std::string> folders{upload};
        for (const auto& [path, was] : FolderTimesOf(source)) {
            platform::LocalFile::SetModified((source / path).string(), time += 86399);
            if (path != ".") folders.push_back(upload + "/" + path);
        }

        const Drive up = RunFtpdrive(With(login, {"mirror", "-R", source.string(), upload}));
        ASSERT_EQ(up.exitCode, 0) << Dump(up) << server->Log();
        const fs::path uploaded = fs::path(server->Root()) / upload.substr(1);
        EXPECT_EQ(Differences(TreeOf(uploaded), TreeOf(source)), "");
        EXPECT_EQ(up.CountContaining("failed:"), 0u) << Dump(up);
        const size_t asked = FolderTimeCommands(server->Log(), folders);
        if (row.setsFolderTimes) {
            EXPECT_EQ(FolderTimesOf(uploaded), FolderTimesOf(source));
            EXPECT_EQ(asked, folders.size()) << server->Log();
        } else {
            EXPECT_EQ(asked, 1u) << server->Log();
        }
    }
}

// --tls require against a server whose data connections do not resume the login's TLS session:
// the failure says which option lets them through, for mirror as for get.
TEST(Mirror, UnresumedDataFailureNamesTheOptionThatAcceptsIt)
{
    TAVOLEN_REQUIRE(testsupport::TestCertificates::Available(), "the openssl command");
    const auto& certs = testsupport::TestCertificates::Shared();
    for (const char* command : {"mirror", "get"}) {
        SCOPED_TRACE(command);
        const bool mirror = std::string(command) == "mirror";
        testsupport::ScriptedFtpServer server;
        server.UseCertificate(certs.Server());
        auto& script = ScriptLogin(server, "200 Private");
        if (!mirror) script.Expect("TYPE I").Reply("200 binary");
        script.PassiveListen().Expect("PASV").ReplyPasv();
        script.Expect(mirror ? "LIST /d" : "RETR /f").Reply("150 here");
        script.AcceptData().StartDataTlsAs(certs.Server()).CloseData().Reply("426 Aborted");
        server.SetAfterScript(testsupport::ScriptedFtpServer::AfterScript::Close);
        server.Start();
        testsupport::TempDir local;
        const Drive d =
            RunFtpdrive(Ana(server,
                            mirror ? std::vector<std::string>{"mirror", "/d", local.File("copy")}
                                   : std::vector<std::string>{"get", "/f", local.File("f")},
                            {"--tls", "require", "--ca-file", certs.CaFile()}));
        EXPECT_EQ(d.exitCode, 1) << Dump(d);
        const auto names = [](const std::vector<std::string>& lines) {
            return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                return line.find("did not resume") != std::string::npos &&
                       line.find("--allow-unresumed-data") != std::string::npos;
            });
        };
        EXPECT_EQ(names(d.out) + names(d.err), 1) << Dump(d);
    }
}

// A session lost in the middle of a file, half of it sent: the next try, on a new login, goes on
// from the bytes that arrived (REST), and the run counts each byte once. Rows: a server that says
// no more (found out by the time-out), and one that hangs up, noticed at once: the new login
// comes within the script's own bound (10 s), long before the run's time-out (30 s) would
// have ended the wait for the transfer's reply.
TEST(Mirror, AFileCutOffByALostSessionGoesOnFromItsBytes)
{
    for (const bool hangsUp : {false, true}) {
        SCOPED_TRACE(hangsUp ? "server hangs up" : "server falls silent");
        testsupport::ScriptedFtpServer server;
        auto& script = ScriptLogin(server);
        ScriptListing(script, "/d", "-rw-r--r-- 1 ftp ftp 8 Jan 01  2024 f\r\n");
        script.Expect("TYPE I").Reply("200 binary");
        script.PassiveListen().Expect("PASV").ReplyPasv().Expect("RETR /d/f").Reply("150 here");
        script.AcceptData()
            .SendData("abcd")
            .Pause(testsupport::ScriptedFtpServer::Ms(100))
            .CloseData();
        if (hangsUp) script.Pause(testsupport::ScriptedFtpServer::Ms(100)).Close();
        ScriptLogin(script.NextSession());
        script.Expect("TYPE I").Reply("200 binary").Expect("SIZE /d/f").Reply("213 8");
        script.PassiveListen().Expect("PASV").ReplyPasv().Expect("REST 4").Reply("350 Restarting");
        script.Expect("RETR /d/f").Reply("150 here").AcceptData().SendData("efgh").CloseData();
        script.Reply("226 done").Expect("MDTM /d/f").Reply("213 20240101000000");
        script.Expect("QUIT").Reply("221 tchau");
        server.Start();
        testsupport::TempDir local;

        const Drive d = RunFtpdrive(Ana(
            server, {"--timeout", hangsUp ? "30000" : "1000", "mirror", "/d", local.File("copy")}));
        EXPECT_EQ(d.exitCode, 0) << Dump(d);
        EXPECT_EQ(d.CountContaining("mirror: 1 files, 8 bytes"), 1u) << Dump(d);
        EXPECT_EQ(testsupport::ReadFileBytes(local.File("copy/f")), "abcdefgh");
        EXPECT_EQ(platform::LocalFile::ModifiedOf(local.File("copy/f")), 1704067200);
        EXPECT_TRUE(server.Verify());
    }
}
