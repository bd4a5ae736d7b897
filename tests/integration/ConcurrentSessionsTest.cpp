// Many sessions at once on the one thread, through the non-blocking session: files exact in both
// directions and both modes, over TLS too, with the transfers truly overlapping; a listing and a
// new directory; a cancelled download that leaves the session usable.
#include "ftp/FtpSession.h"
#include "platform/LocalFile.h"
#include "support/EventLoop.h"
#include "support/RealServers.h"
#include "support/TestCertificates.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using testsupport::PumpUntil;

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

struct Server {
    std::string user;
    std::string password;
    uint16_t port = 0;
    std::string caFile; // TLS when set
};

std::unique_ptr<FtpSession> SessionTo(const Server& server, bool passive)
{
    auto ftp = std::make_unique<TVaskFTP>(nullptr);
    ftp->Host = "127.0.0.1";
    ftp->Port = server.port;
    ftp->UserID = server.user;
    ftp->Password = server.password;
    ftp->Passive = passive;
    ftp->TimeOut = 20000;
    if (!server.caFile.empty()) {
        ftp->TlsMode = tlsRequired;
        ftp->TlsCaFiles = {server.caFile};
        ftp->TlsSystemTrust = false;
    }
    return std::make_unique<FtpSession>(std::move(ftp));
}

// Opens every session; false when one fails (its message added to the failure).
::testing::AssertionResult OpenAll(std::vector<std::unique_ptr<FtpSession>>& sessions)
{
    std::vector<transfer::Outcome> opened;
    for (auto& session : sessions)
        session->Open([&](const transfer::Outcome& outcome) { opened.push_back(outcome); });
    if (!PumpUntil([&] { return opened.size() == sessions.size(); }, 30000))
        return ::testing::AssertionFailure() << "logins did not end";
    for (const transfer::Outcome& outcome : opened)
        if (!outcome.ok) return ::testing::AssertionFailure() << "login: " << outcome.message;
    return ::testing::AssertionSuccess();
}

struct Row {
    const char* name;
    transfer::Operation operation;
    bool passive;
    bool tls;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class ConcurrentSessions : public ::testing::TestWithParam<Row> {};

// Eight sessions move eight files of 8 MiB at once. Every file arrives exact; starting returns at
// once, and the transfers overlap.
TEST_P(ConcurrentSessions, EightFilesAtOnceArriveExact)
{
    const Row& row = GetParam();
    constexpr int kSessions = 8;
    constexpr size_t kSize = 8u * 1024 * 1024 + 4321;
    std::unique_ptr<testsupport::RealServer> running;
    Server server;
    std::string remoteDir; // where the server's files are on disk
    std::string remotePrefix;
    if (row.tls) {
        TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd (as root)");
        TAVOLEN_REQUIRE(testsupport::TestCertificates::Available(), "openssl");
        const auto& certs = testsupport::TestCertificates::Shared();
        auto vsftpd = std::make_unique<testsupport::VsftpdServer>();
        vsftpd->UseTls({testsupport::FtpsMode::Explicit, certs.Server()});
        ASSERT_TRUE(vsftpd->Start());
        server = {vsftpd->User(), vsftpd->Password(), vsftpd->Port(), certs.CaFile()};
        remoteDir = vsftpd->WritableDir();
        remotePrefix = testsupport::VsftpdServer::WritableFtpPath() + "/";
        running = std::move(vsftpd);
    } else {
        TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
        auto pyftpdlib = std::make_unique<testsupport::PyftpdlibServer>();
        ASSERT_TRUE(pyftpdlib->Start());
        server = {pyftpdlib->User(), pyftpdlib->Password(), pyftpdlib->Port(), {}};
        remoteDir = pyftpdlib->Root();
        remotePrefix = "/";
        running = std::move(pyftpdlib);
    }
    testsupport::TempDir local("tavolen-concurrent");
    const bool get = row.operation == transfer::Operation::Get;

    std::vector<std::string> contents;
    std::vector<std::unique_ptr<FtpSession>> sessions;
    for (int i = 0; i < kSessions; ++i) {
        contents.push_back(RandomBytes(kSize, 77 + i));
        const std::string name = "f" + std::to_string(i) + ".bin";
        testsupport::WriteFileBytes(get ? remoteDir + "/" + name : local.File(name), contents[i]);
        sessions.push_back(SessionTo(server, row.passive));
    }
    ASSERT_TRUE(OpenAll(sessions));

    std::vector<int64_t> movedWhenFirstEnded;
    std::vector<int64_t> moved(kSessions, 0);
    std::vector<std::optional<transfer::Outcome>> ended(kSessions);
    for (int i = 0; i < kSessions; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        transfer::Request request;
        request.operation = row.operation;
        request.remotePath = remotePrefix + name;
        request.localPath = local.File(get ? "got-" + name : name);
        ASSERT_TRUE(sessions[i]->Start(
            request, [&moved, i](const transfer::Progress& progress) { moved[i] = progress.bytes; },
            [&, i](const transfer::Outcome& outcome) {
                if (movedWhenFirstEnded.empty()) movedWhenFirstEnded = moved;
                ended[i] = outcome;
            }));
        EXPECT_FALSE(sessions[i]->Idle()) << "one operation at a time";
    }
    // Starting returned at once: nothing has moved, nothing has ended.
    EXPECT_EQ(moved, std::vector<int64_t>(kSessions, 0));
    EXPECT_TRUE(std::none_of(ended.begin(), ended.end(), [](auto& e) { return e.has_value(); }));
    ASSERT_TRUE(PumpUntil(
        [&] {
            return std::all_of(ended.begin(), ended.end(), [](auto& e) { return e.has_value(); });
        },
        120000));
    for (int i = 0; i < kSessions; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        ASSERT_TRUE(ended[i]->ok) << i << ": " << ended[i]->message;
        const std::string copy =
            testsupport::ReadFileBytes(get ? local.File("got-" + name) : remoteDir + "/" + name);
        EXPECT_TRUE(copy == contents[i]) << "file " << i << " differs";
        EXPECT_EQ(ended[i]->bytes, static_cast<int64_t>(kSize));
    }
    // Another session was under way while the first one ran: none waits for another to end.
    const auto under = std::count_if(movedWhenFirstEnded.begin(), movedWhenFirstEnded.end(),
                                     [](int64_t bytes) { return bytes > 0; });
    EXPECT_GE(under, 2) << "the transfers ran one after the other";
    for (auto& session : sessions) session->Close();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ConcurrentSessions,
    ::testing::Values(Row{"PassiveDownloads", transfer::Operation::Get, true, false},
                      Row{"ActiveDownloads", transfer::Operation::Get, false, false},
                      Row{"PassiveUploads", transfer::Operation::Put, true, false},
                      Row{"TlsDownloads", transfer::Operation::Get, true, true},
                      Row{"TlsActiveUploads", transfer::Operation::Put, false, true}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// Runs one operation of the session to its end.
transfer::Outcome RunToEnd(FtpSession& session, const transfer::Request& request)
{
    std::optional<transfer::Outcome> ended;
    EXPECT_TRUE(session.Start(request, nullptr, [&](const transfer::Outcome& o) { ended = o; }));
    EXPECT_TRUE(PumpUntil([&] { return ended.has_value(); }, 20000));
    return ended.value_or(transfer::Outcome{});
}

TEST(FtpSession, ListsMakesDirectoriesAndGoesOnAfterACancel)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer pyftpdlib;
    ASSERT_TRUE(pyftpdlib.Start());
    const std::string big = RandomBytes(64u * 1024 * 1024, 5);
    testsupport::WriteFileBytes(pyftpdlib.Root() + "/big.bin", big);
    testsupport::WriteFileBytes(pyftpdlib.Root() + "/small file.txt", "hello\n");
    testsupport::TempDir local("tavolen-session");
    std::vector<std::unique_ptr<FtpSession>> sessions;
    sessions.push_back(
        SessionTo({pyftpdlib.User(), pyftpdlib.Password(), pyftpdlib.Port(), {}}, true));
    ASSERT_TRUE(OpenAll(sessions));
    FtpSession& session = *sessions[0];

    transfer::Request mkd;
    mkd.operation = transfer::Operation::MakeDirectory;
    mkd.remotePath = "/new dir";
    EXPECT_TRUE(RunToEnd(session, mkd).ok);
    const transfer::Outcome again = RunToEnd(session, mkd);
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.replyCode, 550);

    // A cancel in the middle of a download: reported as such, the partial file never in place.
    transfer::Request get;
    get.operation = transfer::Operation::Get;
    get.remotePath = "/big.bin";
    get.localPath = local.File("big.bin");
    std::optional<transfer::Outcome> cancelled;
    ASSERT_TRUE(session.Start(
        get,
        [&](const transfer::Progress& progress) {
            if (progress.bytes > 1024 * 1024) session.Cancel();
        },
        [&](const transfer::Outcome& o) { cancelled = o; }));
    ASSERT_TRUE(PumpUntil([&] { return cancelled.has_value(); }, 20000));
    EXPECT_FALSE(cancelled->ok);
    EXPECT_EQ(cancelled->reason, ErrorReason::Canceled);
    EXPECT_FALSE(std::filesystem::exists(local.File("big.bin")));

    // The replies the cancel left owed are read before the next operation's.
    std::optional<transfer::Outcome> listed;
    std::vector<transfer::RemoteEntry> entries;
    transfer::Request list;
    list.operation = transfer::Operation::List;
    ASSERT_TRUE(PumpUntil([&] { return session.Idle(); }, 5000));
    ASSERT_TRUE(session.StartList(list, [&](const transfer::Outcome& o, const auto& found) {
        listed = o;
        entries = found;
    }));
    ASSERT_TRUE(PumpUntil([&] { return listed.has_value(); }, 20000));
    ASSERT_TRUE(listed->ok) << listed->message;
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "new dir", "small file.txt"}));
    for (const auto& entry : entries) {
        if (entry.name == "small file.txt") {
            EXPECT_EQ(entry.size.value_or(0), 6u);
        }
    }

    get.resume = true;
    const transfer::Outcome resumed = RunToEnd(session, get);
    ASSERT_TRUE(resumed.ok) << resumed.message;
    EXPECT_TRUE(testsupport::ReadFileBytes(local.File("big.bin")) == big);
    EXPECT_LT(resumed.bytes, static_cast<int64_t>(big.size())) << "went on from the partial file";

    // An upload keeps its modification time on the server when asked (MFMT), at the latest once
    // the session has closed: pipelined, MFMT's answer is read after the upload has ended.
    session.Ftp().KeepTimes = true;
    const std::string dated = local.File("dated.txt");
    testsupport::WriteFileBytes(dated, "kept\n");
    constexpr int64_t kTime = 1'600'000'000;
    ASSERT_TRUE(platform::LocalFile::SetModified(dated, kTime));
    transfer::Request put;
    put.operation = transfer::Operation::Put;
    put.localPath = dated;
    put.remotePath = "/dated.txt";
    const transfer::Outcome kept = RunToEnd(session, put);
    ASSERT_TRUE(kept.ok) << kept.message;
    session.Close();
    EXPECT_EQ(platform::LocalFile::ModifiedOf(pyftpdlib.Root() + "/dated.txt"), kTime);
}

// The window's commands through the session interface, against both real servers: relative
// names from the directory the session changed to, every reply read as its command's.
TEST(FtpSession, RunsTheWindowsCommandsAtRealServers)
{
    using transfer::FailureKind;
    using transfer::Operation;
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd, run as root");
    testsupport::PyftpdlibServer pyftpdlib;
    ASSERT_TRUE(pyftpdlib.Start());
    testsupport::VsftpdServer vsftpd;
    ASSERT_TRUE(vsftpd.Start());
    testsupport::TempDir local("tavolen-commands");
    testsupport::WriteFileBytes(local.File("tail"), "tail");
    const struct {
        const char* name;
        Server server;
        std::string root; // on disk, where the FTP path "/" is
        std::string base; // a directory the client may write in
    } servers[] = {
        {"pyftpdlib",
         {pyftpdlib.User(), pyftpdlib.Password(), pyftpdlib.Port(), {}},
         pyftpdlib.Root(),
         "/"},
        {"vsftpd",
         {vsftpd.User(), vsftpd.Password(), vsftpd.Port(), {}},
         vsftpd.Root(),
         vsftpd.WritableFtpPath()},
    };
    for (const auto& server : servers) {
        SCOPED_TRACE(server.name);
        const std::string base = server.base == "/" ? "" : server.base;
        const auto onDisk = [&](const std::string& path) { return server.root + base + path; };
        std::vector<std::unique_ptr<FtpSession>> sessions;
        sessions.push_back(SessionTo(server.server, true));
        ASSERT_TRUE(OpenAll(sessions));
        FtpSession& session = *sessions[0];
        const struct {
            const char* what;
            Operation operation;
            std::string path;
            FailureKind kind = FailureKind::None;
            std::string named = {}; // the directory, or the start of a typed command's reply
            std::string other = {}; // Rename: the new name; SendCommand: the line
        } steps[] = {
            {"cd", Operation::ChangeDirectory, server.base, FailureKind::None, server.base},
            {"mkdir", Operation::MakeDirectory, "d"},
            {"cd relative", Operation::ChangeDirectory, "d", FailureKind::None, base + "/d"},
            {"pwd", Operation::CurrentDirectory, "", FailureKind::None, base + "/d"},
            {"put", Operation::Put, "f"},
            {"append", Operation::Put, "f"},
            {"rename", Operation::Rename, "f", FailureKind::None, "", "g"},
            {"rename of nothing", Operation::Rename, "f", FailureKind::RefusedForGood, "", "h"},
            {"delete", Operation::Delete, "g"},
            {"delete of nothing", Operation::Delete, "g", FailureKind::RefusedForGood},
            {"cd up", Operation::ChangeDirectory, "..", FailureKind::None, server.base},
            {"rmdir", Operation::RemoveDirectory, "d"},
            {"rmdir of nothing", Operation::RemoveDirectory, "d", FailureKind::RefusedForGood},
            {"typed", Operation::SendCommand, "", FailureKind::None, "200", "NOOP"},
            {"typed, many lines", Operation::SendCommand, "", FailureKind::None, "214-", "HELP"},
            {"typed, unknown", Operation::SendCommand, "", FailureKind::Unsupported, "500",
             "XYZZY"},
        };
        for (const auto& step : steps) {
            SCOPED_TRACE(step.what);
            transfer::Request request;
            request.operation = step.operation;
            request.remotePath = step.path;
            request.localPath = local.File("tail");
            request.append = std::string(step.what) == "append";
            request.newRemotePath = step.other;
            request.command = step.other;
            const transfer::Outcome outcome = RunToEnd(session, request);
            EXPECT_EQ(transfer::KindOf(outcome), step.kind) << outcome.message;
            if (step.operation == Operation::SendCommand) {
                EXPECT_EQ(outcome.reply.rfind(step.named, 0), 0u) << outcome.reply;
                if (step.named == "214-") {
                    EXPECT_NE(outcome.reply.find('\n'), std::string::npos) << outcome.reply;
                }
            } else if (!step.named.empty()) {
                EXPECT_EQ(outcome.path, step.named);
            }
            if (std::string(step.what) == "append") {
                EXPECT_EQ(testsupport::ReadFileBytes(onDisk("/d/f")), "tailtail");
            }
            if (std::string(step.what) == "rename") {
                EXPECT_EQ(testsupport::ReadFileBytes(onDisk("/d/g")), "tailtail");
            }
            ASSERT_TRUE(session.Idle()) << "the session goes on";
        }
        EXPECT_FALSE(std::filesystem::exists(onDisk("/d")));
        session.Close();
    }
}

} // namespace
