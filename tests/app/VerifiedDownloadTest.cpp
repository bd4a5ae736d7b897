// The window's download at a server that offers a checksum and a file time: a matching file is
// said to be verified and takes the server's time; one that does not match is kept aside, and the
// window does not fetch it again behind the user's back.
#include "FormTestSupport.h"

#include "support/ScriptedFtpServer.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace apptest;
using testsupport::ScriptedFtpServer;

namespace {

const std::string kPayload = "123456789";
const std::string kSha256 = "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225";

int64_t ModifiedSeconds(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtim.tv_sec) : -1;
}

class VerifiedDownloadTest : public FormTest {
protected:
    // Log-in, listing and the download up to the answer to "HASH arquivo.bin".
    ScriptedFtpServer& ScriptDownload(const std::string& hashValue)
    {
        return ScriptWindowLogin(server, {"HASH SHA-256*;MD5", "MDTM"})
            .ActiveListing("arquivo.bin\r\n")
            .Expect("TYPE I")
            .Reply("200 binary")
            .Expect("SIZE arquivo.bin")
            .Reply("213 9")
            .ExpectPrefix("PORT ")
            .Reply("200 PORT ok")
            .Expect("RETR arquivo.bin")
            .Reply("150 Opening BINARY mode data connection for arquivo.bin (9 bytes).")
            .ConnectBack()
            .SendData(kPayload)
            .CloseData()
            .Reply("226 Transfer complete")
            .Expect("HASH arquivo.bin")
            .Reply("213 SHA-256 0-9 " + hashValue + " arquivo.bin");
    }

    void Download()
    {
        server.Start();
        ConnectTo(server.Port(), "u", "p");
        form->Edit1->setText(QStringLiteral("arquivo.bin"));
        form->Edit2->setText(QString::fromStdString(local.File("copia.bin")));
        form->Button2->click();
    }

    ScriptedFtpServer server;
    testsupport::TempDir local;
};

} // namespace

TEST_F(VerifiedDownloadTest, MatchingFileIsVerifiedAndKeepsTheServersTime)
{
    ScriptDownload(kSha256).Expect("MDTM arquivo.bin").Reply("213 20200102030405");
    Download();
    EXPECT_TRUE(server.Verify());
    EXPECT_EQ(Status(*form), "Donload do arquivo Concluido (verificado)");
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin")), kPayload);
    EXPECT_EQ(ModifiedSeconds(local.File("copia.bin")), 1577934245);
    EXPECT_TRUE(boxes.Errors().empty());
}

// The failed check is not followed by the automatic resume of a failed download: nothing would
// be left to continue, and a fresh copy would land in place unchecked.
TEST_F(VerifiedDownloadTest, MismatchIsKeptAsideAndNotFetchedAgain)
{
    const std::string other(64, 'a');
    ScriptDownload(other);
    Download();
    EXPECT_TRUE(server.Verify());
    EXPECT_FALSE(std::filesystem::exists(local.File("copia.bin")));
    EXPECT_FALSE(std::filesystem::exists(local.File("copia.bin.part")));
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin.unverified")), kPayload);
    ASSERT_EQ(boxes.Errors().size(), 1u);
    EXPECT_TRUE(boxes.Errors()[0].text.contains(QString::fromStdString(kSha256)));
    EXPECT_TRUE(boxes.Errors()[0].text.contains(QString::fromStdString(other)));
    EXPECT_EQ(server.ReceivedLines().back(), "HASH arquivo.bin");
}
