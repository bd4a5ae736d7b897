// Listings and transfers against real servers (pyftpdlib and vsftpd), in passive and active mode,
// driven through ftpdrive as a user or a benchmark would drive it.
#include "FtpdriveRun.h"

#include "support/RealServers.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using ftpdrivetest::Drive;
using ftpdrivetest::Dump;
using ftpdrivetest::FtpdrivePath;
using ftpdrivetest::RunFtpdrive;
using testsupport::ReadFileBytes;
using testsupport::Sha256OfBytes;
using testsupport::Sha256OfFile;
using testsupport::WriteFileBytes;

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Binary payload over several 64 KiB chunks, so chunk seams are crossed too.
std::string BinaryPayload()
{
    std::string bytes;
    const std::string unit = testsupport::AllByteValuesWithCrLf();
    while (bytes.size() < 200000) bytes += unit;
    return bytes;
}

enum class Kind { Pyftpdlib, Vsftpd };
struct Mode {
    Kind kind;
    bool passive;
};

void PrintTo(const Mode& mode, std::ostream* out)
{
    *out << (mode.kind == Kind::Pyftpdlib ? "pyftpdlib" : "vsftpd")
         << (mode.passive ? ", passive" : ", active");
}

std::string ModeName(const ::testing::TestParamInfo<Mode>& info)
{
    return std::string(info.param.kind == Kind::Pyftpdlib ? "Pyftpdlib" : "Vsftpd") +
           (info.param.passive ? "Passive" : "Active");
}

class RealServerTransfer : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override
    {
        if (GetParam().kind == Kind::Pyftpdlib) {
            TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
            auto server = std::make_unique<testsupport::PyftpdlibServer>();
            ASSERT_TRUE(server->Start());
            user_ = server->User();
            password_ = server->Password();
            ftpDir_ = "/";
            diskDir_ = server->Root();
            server_ = std::move(server);
        } else {
            TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd (as root)");
            auto server = std::make_unique<testsupport::VsftpdServer>();
            ASSERT_TRUE(server->Start());
            user_ = server->User();
            password_ = server->Password();
            ftpDir_ = testsupport::VsftpdServer::WritableFtpPath() + "/";
            diskDir_ = server->WritableDir();
            server_ = std::move(server);
        }
        ASSERT_TRUE(Exists(FtpdrivePath())) << FtpdrivePath();
    }

    Drive Run(std::vector<std::string> commands, std::vector<std::string> options = {})
    {
        std::vector<std::string> args{
            "--host", "127.0.0.1", "--port",     std::to_string(server_->Port()),
            "--user", user_,       "--password", password_};
        if (GetParam().passive) args.push_back("--passive");
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), commands.begin(), commands.end());
        return RunFtpdrive(args);
    }

    // A file the server can serve (and, for vsftpd, that the anonymous user may replace).
    std::string PutOnServer(const std::string& name, const std::string& bytes)
    {
        WriteFileBytes(diskDir_ + "/" + name, bytes);
        if (auto* vsftpd = dynamic_cast<testsupport::VsftpdServer*>(server_.get()))
            vsftpd->GiveToServer(diskDir_ + "/" + name);
        return ftpDir_ + name;
    }

    std::unique_ptr<testsupport::RealServer> server_;
    std::string user_, password_;
    std::string ftpDir_;  // writable directory as the client names it, ending in "/"
    std::string diskDir_; // the same directory on disk
    testsupport::TempDir local_;
};

TEST_P(RealServerTransfer, DirectoryCommandsAndParsedListing)
{
    WriteFileBytes(local_.File("f.bin"), std::string(4321, 'z'));
    const Drive d =
        Run({"cd", ftpDir_, "mkdir", "novo", "cd", "novo", "pwd", "put", local_.File("f.bin"),
             "meu arquivo.bin", "ls", "rm", "meu arquivo.bin", "ls"},
            {"--parse-list"});
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_TRUE(d.Has("pwd: " + ftpDir_ + "novo")) << Dump(d);
    EXPECT_EQ(d.Count("event: OnSuccess ctList"), 2u) << Dump(d);
    // Listed once (before rm), parsed once, with its size in the size column and its name whole.
    EXPECT_EQ(d.CountContaining("list: "), 1u) << Dump(d);
    EXPECT_EQ(d.CountContaining("\t4321\t"), 1u) << Dump(d);
    EXPECT_EQ(d.CountContaining("\tmeu arquivo.bin"), 1u) << Dump(d);
    EXPECT_TRUE(Exists(diskDir_ + "/novo"));
    EXPECT_FALSE(Exists(diskDir_ + "/novo/meu arquivo.bin"));
    EXPECT_EQ(d.out.back(), "event: OnDisconnect");
}

// A tree with every name that has been cut or misread somewhere: blanks inside and in front,
// semicolons, UTF-8, an empty file, a link, a directory and a 5 GiB sparse file. pyftpdlib lists
// it with MLSD, vsftpd with LIST; either way every name comes out whole with its kind and exact
// size. (pyftpdlib's MLSD follows the link and reports its file.)
TEST_P(RealServerTransfer, ParsedListingGivesEveryNameWholeWithKindAndSize)
{
    const std::string dir = diskDir_ + "/tree";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir + "/sub dir").c_str(), 0755), 0);
    WriteFileBytes(dir + "/with space.txt", "abc");
    WriteFileBytes(dir + "/semi;colon;.txt", "12345");
    WriteFileBytes(dir + "/ leading space", "four");
    WriteFileBytes(dir + "/a\xc3\xa7\xc3\xa3o.txt", "ok");
    WriteFileBytes(dir + "/empty", "");
    testsupport::CreateSparseFile(dir + "/sparse.bin", uint64_t{5} << 30);
    ASSERT_EQ(::symlink("with space.txt", (dir + "/link to file").c_str()), 0);
    const bool machine = GetParam().kind == Kind::Pyftpdlib;

    const Drive d = Run({"cd", ftpDir_ + "tree", "ls"}, {"--parse-list"});
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    // KIND, SIZE and NAME of each entry; MTIME is checked for its form.
    std::vector<std::string> entries;
    for (const std::string& line : d.out) {
        if (line.rfind("entry: ", 0) != 0) continue;
        const size_t size = line.find('\t');
        const size_t time = line.find('\t', size + 1);
        const size_t name = line.find('\t', time + 1);
        const std::string mtime = line.substr(time + 1, name - time - 1);
        EXPECT_EQ(mtime.size(), machine ? 20u : 19u) << line;
        EXPECT_EQ(mtime.back() == 'Z', machine) << line;
        std::string kindSizeName = line.substr(7, time - 7) + line.substr(name);
        // A directory's size is the file system's business.
        if (kindSizeName.rfind("dir\t", 0) == 0) kindSizeName = "dir" + line.substr(name);
        entries.push_back(kindSizeName);
    }
    std::sort(entries.begin(), entries.end());
    const std::vector<std::string> expected = {
        "dir\tsub dir",
        "file\t0\tempty",
        "file\t5\tsemi;colon;.txt",
        "file\t2\ta\xc3\xa7\xc3\xa3o.txt",
        "file\t3\twith space.txt",
        "file\t4\t leading space",
        "file\t5368709120\tsparse.bin",
        machine ? "file\t3\tlink to file" : "link\t14\tlink to file",
    };
    std::vector<std::string> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(entries, sorted) << Dump(d);
    EXPECT_EQ(d.Count("event: OnSuccess ctList"), 1u) << Dump(d);
}

TEST_P(RealServerTransfer, BinaryFileSurvivesBothDirectionsByteForByte)
{
    const std::string payload = BinaryPayload();
    const std::string remote = PutOnServer("all.bin", payload);
    WriteFileBytes(local_.File("up.bin"), payload);

    const Drive d = Run(
        {"get", remote, local_.File("down.bin"), "put", local_.File("up.bin"), ftpDir_ + "up.bin"});
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(Sha256OfFile(local_.File("down.bin")), Sha256OfBytes(payload));
    EXPECT_EQ(Sha256OfFile(diskDir_ + "/up.bin"), Sha256OfBytes(payload));
    EXPECT_EQ(d.Count("event: OnSuccess ctDownload"), 1u);
    EXPECT_EQ(d.Count("event: OnSuccess ctUpload"), 1u);
}

TEST_P(RealServerTransfer, ResumeCompletesATruncatedCopyAndAppendExtendsARemoteFile)
{
    const std::string payload = BinaryPayload();
    const std::string remote = PutOnServer("all.bin", payload);
    WriteFileBytes(local_.File("part.bin"), payload.substr(0, 70001));
    WriteFileBytes(local_.File("a.bin"), "first part\r\n");
    WriteFileBytes(local_.File("b.bin"), payload);

    const Drive d = Run({"resume", remote, local_.File("part.bin"), "put", local_.File("a.bin"),
                         ftpDir_ + "joined.bin", "append", local_.File("b.bin"),
                         ftpDir_ + "joined.bin", "resume", remote, local_.File("fresh.bin")},
                        {"--report-level", "1"});
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(Sha256OfFile(local_.File("part.bin")), Sha256OfBytes(payload));
    // With no local file to continue, the whole file is fetched.
    EXPECT_EQ(Sha256OfFile(local_.File("fresh.bin")), Sha256OfBytes(payload));
    EXPECT_EQ(ReadFileBytes(diskDir_ + "/joined.bin"), "first part\r\n" + payload);
    EXPECT_EQ(d.Count("event: OnSuccess ctAppend"), 1u);
    // Commands sent one after the other keep their own lines and arguments.
    const auto restart = std::find(d.err.begin(), d.err.end(), "status: REST 70001");
    ASSERT_NE(restart, d.err.end()) << Dump(d);
    EXPECT_EQ(std::find(restart, d.err.end(), "status: RETR " + remote) - restart, 1) << Dump(d);
    EXPECT_NE(std::find(d.err.begin(), d.err.end(),
                        "status: Received " + std::to_string(payload.size() - 70001) + " Bytes"),
              d.err.end());
}

// The server's SIZE decides a resume before any data connection: a copy already complete is a
// success with nothing fetched, one longer than the server's file a failure that leaves it alone.
// --keep-going runs the command after the failure.
TEST_P(RealServerTransfer, ResumeAsksTheServersSizeFirst)
{
    const std::string payload = BinaryPayload();
    const std::string remote = PutOnServer("all.bin", payload);
    WriteFileBytes(local_.File("complete.bin"), payload);
    WriteFileBytes(local_.File("longer.bin"), payload + "tail");

    const Drive d = Run({"resume", remote, local_.File("complete.bin"), "resume", remote,
                         local_.File("longer.bin"), "pwd"},
                        {"--report-level", "1", "--keep-going"});
    EXPECT_EQ(d.exitCode, 1) << Dump(d);
    EXPECT_NE(
        std::find(d.err.begin(), d.err.end(), "status: 213 " + std::to_string(payload.size())),
        d.err.end())
        << Dump(d);
    EXPECT_EQ(d.Count("event: OnSuccess ctDownload"), 1u) << Dump(d);
    EXPECT_EQ(d.Count("event: OnFailure ctDownload"), 1u) << Dump(d);
    EXPECT_EQ(d.Count("event: OnTransactionStart"), 0u) << Dump(d);
    EXPECT_TRUE(d.Has("event: OnSuccess ctCurrentDirectory")) << Dump(d);
    EXPECT_EQ(Sha256OfFile(local_.File("complete.bin")), Sha256OfBytes(payload));
    EXPECT_EQ(ReadFileBytes(local_.File("longer.bin")), payload + "tail");
}

// A download goes to NAME.part and takes NAME's place only once whole: a refused one leaves an
// older NAME as it was, resume continues the partial file and then puts it in place, and a target
// that is no regular file is written straight, never renamed over.
TEST_P(RealServerTransfer, DownloadsReplaceTheLocalFileOnlyWhenWhole)
{
    const std::string payload = BinaryPayload();
    const std::string remote = PutOnServer("all.bin", payload);
    WriteFileBytes(local_.File("fetched.bin"), "older copy");
    WriteFileBytes(local_.File("kept.bin"), "older copy");
    WriteFileBytes(local_.File("resumed.bin"), "older copy");
    WriteFileBytes(local_.File("resumed.bin.part"), payload.substr(0, 70001));

    const Drive d = Run({"get", remote, local_.File("fetched.bin"), "get", ftpDir_ + "missing.bin",
                         local_.File("kept.bin"), "resume", remote, local_.File("resumed.bin"),
                         "get", remote, "/dev/null"},
                        {"--keep-going", "--report-level", "1"});
    EXPECT_EQ(d.exitCode, 1) << Dump(d);
    EXPECT_EQ(Sha256OfFile(local_.File("fetched.bin")), Sha256OfBytes(payload));
    EXPECT_FALSE(Exists(local_.File("fetched.bin.part")));
    EXPECT_EQ(ReadFileBytes(local_.File("kept.bin")), "older copy");
    EXPECT_EQ(Sha256OfFile(local_.File("resumed.bin")), Sha256OfBytes(payload));
    EXPECT_FALSE(Exists(local_.File("resumed.bin.part")));
    // Only the rest was fetched.
    EXPECT_NE(std::find(d.err.begin(), d.err.end(),
                        "status: Received " + std::to_string(payload.size() - 70001) + " Bytes"),
              d.err.end())
        << Dump(d);
    struct stat info {};
    ASSERT_EQ(::stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode)) << "/dev/null must stay a device";
    EXPECT_EQ(d.Count("event: OnSuccess ctDownload"), 3u) << Dump(d);
}

// --in-place writes into the target as the bytes arrive, as downloads always did.
TEST_P(RealServerTransfer, InPlaceDownloadsWriteStraightIntoTheTarget)
{
    const std::string payload = BinaryPayload();
    const std::string remote = PutOnServer("all.bin", payload);
    WriteFileBytes(local_.File("straight.bin.part"), "someone else's");
    const Drive d = Run({"get", remote, local_.File("straight.bin")}, {"--in-place"});
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(Sha256OfFile(local_.File("straight.bin")), Sha256OfBytes(payload));
    EXPECT_EQ(ReadFileBytes(local_.File("straight.bin.part")), "someone else's");
}

TEST_P(RealServerTransfer, RefusedDownloadEndsTheRunWithTheServersReply)
{
    const Drive d = Run({"get", ftpDir_ + "missing.bin", local_.File("m.bin"), "pwd"});
    EXPECT_EQ(d.exitCode, 1) << Dump(d);
    EXPECT_EQ(d.Count("event: OnFailure ctDownload"), 1u) << Dump(d);
    ASSERT_FALSE(d.err.empty());
    EXPECT_EQ(d.err.back().rfind("error: FTPException: 550", 0), 0u) << Dump(d);
    // The remaining command did not run, and the session was closed.
    EXPECT_FALSE(d.Has("event: OnSuccess ctCurrentDirectory"));
    EXPECT_EQ(d.out.back(), "event: OnDisconnect");
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerTransfer,
                         ::testing::Values(Mode{Kind::Pyftpdlib, true},
                                           Mode{Kind::Pyftpdlib, false}, Mode{Kind::Vsftpd, true},
                                           Mode{Kind::Vsftpd, false}),
                         ModeName);

} // namespace

namespace {

size_t StatusesStartingWith(const Drive& d, const std::string& text)
{
    return static_cast<size_t>(std::count_if(d.err.begin(), d.err.end(), [&](const std::string& l) {
        return l.rfind("status: " + text, 0) == 0;
    }));
}

int64_t ModifiedSeconds(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtim.tv_sec) : -1;
}

void SetModifiedSeconds(const std::string& path, int64_t seconds)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

} // namespace

// Times carried both ways with --times: the server's to a download (MLST from pyftpdlib, MDTM from
// vsftpd), and the local one to an upload (MFMT on pyftpdlib; vsftpd refuses MFMT and SITE UTIME
// but takes MDTM with a time before the name).
TEST_P(RealServerTransfer, TimesKeptToTheSecondBothWays)
{
    constexpr int64_t kServerTime = 1577934245; // 2020-01-02 03:04:05 UTC
    constexpr int64_t kLocalTime = 1262404800;  // 2010-01-02 04:00:00 UTC
    const std::string remote = PutOnServer("antigo.bin", BinaryPayload());
    SetModifiedSeconds(diskDir_ + "/antigo.bin", kServerTime);
    WriteFileBytes(local_.File("up.bin"), "enviado");
    SetModifiedSeconds(local_.File("up.bin"), kLocalTime);

    const Drive d = Run({"get", remote, local_.File("antigo.bin"), "put", local_.File("up.bin"),
                         ftpDir_ + "up.bin"},
                        {"--times", "--report-level", "1"});
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(ModifiedSeconds(local_.File("antigo.bin")), kServerTime) << Dump(d);
    const bool pyftpdlib = GetParam().kind == Kind::Pyftpdlib;
    EXPECT_EQ(StatusesStartingWith(d, pyftpdlib ? "MLST /" : "MDTM /"), 1u) << Dump(d);
    EXPECT_EQ(ModifiedSeconds(diskDir_ + "/up.bin"), kLocalTime) << Dump(d);
    EXPECT_EQ(StatusesStartingWith(d, "MDTM 20100102040000 /"), pyftpdlib ? 0u : 1u) << Dump(d);
    EXPECT_EQ(StatusesStartingWith(d, "The server keeps its own time"), 0u) << Dump(d);
    // Neither server offers a checksum: the default --verify auto says so, and goes on.
    EXPECT_EQ(StatusesStartingWith(d, "The server offers no checksum"), 2u) << Dump(d);
}
