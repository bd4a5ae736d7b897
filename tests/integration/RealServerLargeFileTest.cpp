// A download past 2 GiB from a real server, and its resumption from an offset past 2 GiB: sizes,
// counters and restart offsets must not wrap at 32 bits anywhere.
#include "ftp/VaskFtp.h"
#include "platform/LocalFile.h"
#include "support/RealServers.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kTwoGiB = uint64_t{1} << 31;
// Past 2 GiB, and not a whole number of 64 KiB chunks.
constexpr uint64_t kSize = 2'200'000'123;

uint64_t FreeBytes(const std::string& path)
{
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return 0;
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

// A sparse file of zeros with marks where an offset error would show: at the start, across the
// 2 GiB boundary and at the very end.
void CreateMarkedSparseFile(const std::string& path)
{
    testsupport::CreateSparseFile(path, kSize);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string mark = "mark\r\n\x01\xff";
    for (uint64_t at : {uint64_t{0}, kTwoGiB - 3, kSize - mark.size()})
        ASSERT_EQ(::pwrite(fd, mark.data(), mark.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(mark.size()));
    ::close(fd);
}

TEST(RealServerLargeFile, DownloadAndResumePast2GiB)
{
    TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd (as root)");
    testsupport::TempDir local("tavolen-bigfile");
    // The copy is made of real bytes; without room for it the test cannot say anything.
    if (FreeBytes(local.Path()) < kSize + (uint64_t{1} << 30)) {
        if (testsupport::InCi()) FAIL() << "not enough free space in " << local.Path();
        GTEST_SKIP() << "needs " << kSize << " bytes free in " << local.Path();
    }
    testsupport::VsftpdServer server;
    ASSERT_TRUE(server.Start());
    const std::string remoteDisk = server.Root() + "/big.bin";
    CreateMarkedSparseFile(remoteDisk);
    const std::string copy = local.File("big.bin");

    TVaskFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.UserID = server.User();
    ftp.Password = server.Password();
    ftp.Passive = true;
    ftp.ReportLevel = 1;
    std::vector<std::string> status;
    ftp.OnStatus = [&](TComponent*, const std::string& text) { status.push_back(text); };
    std::vector<int64_t> sizeAtStart;
    ftp.OnTransactionStart = [&](TComponent*) { sizeAtStart.push_back(ftp.TransferSize); };
    ftp.Connect();

    ftp.Download("big.bin", copy);
    EXPECT_EQ(static_cast<uint64_t>(platform::LocalFile::SizeOf(copy)), kSize);
    ASSERT_EQ(sizeAtStart.size(), 1u);
    EXPECT_EQ(static_cast<uint64_t>(sizeAtStart[0]), kSize);   // as the server announced it
    EXPECT_EQ(static_cast<uint64_t>(ftp.TransferSize), kSize); // as received
    EXPECT_EQ(static_cast<uint64_t>(ftp.ReceivedBytes()), kSize);

    // Cut the copy just past the boundary and let the server send the rest.
    const uint64_t offset = kTwoGiB + 7;
    ASSERT_EQ(::truncate(copy.c_str(), static_cast<off_t>(offset)), 0);
    ftp.ResumeDownload("big.bin", copy);
    EXPECT_EQ(static_cast<uint64_t>(ftp.TransferSize), kSize - offset);
    EXPECT_NE(std::find(status.begin(), status.end(),
                        "Received " + std::to_string(kSize - offset) + " Bytes"),
              status.end());
    ftp.Disconnect();

    // The resumed copy holds the first download's bytes up to the offset, so one comparison
    // covers both transfers.
    EXPECT_EQ(testsupport::Sha256OfFile(copy), testsupport::Sha256OfFile(remoteDisk));
    ::unlink(copy.c_str()); // 2.2 GB of real bytes: gone at once
}

} // namespace
