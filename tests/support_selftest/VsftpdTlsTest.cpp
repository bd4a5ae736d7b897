// The vsftpd fixture's TLS modes work for a client that speaks TLS as servers expect (curl: it
// resumes the control connection's session on the data connection), and refuse a login in clear.
#include "support/RealServers.h"
#include "support/TestCertificates.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testsupport;

namespace {

constexpr const char* kCurl = "/usr/bin/curl";

} // namespace

TEST(VsftpdTls, ServesATlsClientInBothModesAndRefusesALoginInClear)
{
    TAVOLEN_REQUIRE(VsftpdServer::Available(), "vsftpd");
    TAVOLEN_REQUIRE_BINARY(kCurl);
    TAVOLEN_REQUIRE(TestCertificates::Available(), "openssl");
    const auto& certs = TestCertificates::Shared();
    const std::string payload = AllByteValuesWithCrLf();
    TempDir scratch;

    struct Case {
        FtpsMode mode;
        const char* scheme;
    };
    for (const Case& c : {Case{FtpsMode::Explicit, "ftp"}, Case{FtpsMode::Implicit, "ftps"}}) {
        SCOPED_TRACE(c.scheme);
        VsftpdServer server;
        server.UseTls({c.mode, certs.Server()});
        ASSERT_TRUE(server.Start());
        WriteFileBytes(server.Root() + "/f.bin", payload);
        const std::string url =
            std::string(c.scheme) + "://127.0.0.1:" + std::to_string(server.Port()) + "/f.bin";
        const std::string target = scratch.File(std::string(c.scheme) + ".bin");
        EXPECT_TRUE(RunQuietly({kCurl, "-sS", "--max-time", "20", "--ssl-reqd", "--cacert",
                                certs.CaFile(), "-o", target, url}))
            << server.Log();
        EXPECT_EQ(ReadFileBytes(target), payload);
        if (c.mode == FtpsMode::Explicit) {
            // Without TLS the server takes no login at all ("530 Anonymous sessions must use
            // encryption").
            EXPECT_FALSE(RunQuietly(
                {kCurl, "-sS", "--max-time", "20", "-o", scratch.File("clear.bin"), url}));
        }
    }
}
