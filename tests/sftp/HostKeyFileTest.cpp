// Our own known-hosts file: a key accepted for good replaces what the file had for that host.
#include "sftp/HostKey.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

TEST(SftpTrustFile, RememberingAKeyReplacesTheHostsOldLine)
{
    const struct {
        const char* what;
        const char* before; // nullptr: no file
        const char* line;
        const char* after;
    } cases[] = {
        {"no file nor directory yet", nullptr, "[h]:2222 ssh-ed25519 AAAA1",
         "[h]:2222 ssh-ed25519 AAAA1\n"},
        {"other hosts and comments kept", "# mine\nother ssh-rsa BBBB\n",
         "[h]:2222 ssh-ed25519 AAAA1\n",
         "# mine\nother ssh-rsa BBBB\n[h]:2222 ssh-ed25519 AAAA1\n"},
        {"the host's old key replaced", "[h]:2222 ssh-rsa OLD\nh ssh-rsa PORT22\n",
         "[h]:2222 ssh-ed25519 NEW", "h ssh-rsa PORT22\n[h]:2222 ssh-ed25519 NEW\n"},
        {"a last line without its line end", "other ssh-rsa BBBB", "h ssh-ed25519 C",
         "other ssh-rsa BBBB\nh ssh-ed25519 C\n"},
    };
    for (const auto& c : cases) {
        testsupport::TempDir dir;
        const std::string path = dir.File("config/tavolen/known_hosts");
        if (c.before) {
            ::mkdir(dir.File("config").c_str(), 0700);
            ::mkdir(dir.File("config/tavolen").c_str(), 0700);
            testsupport::WriteFileBytes(path, c.before);
        }
        sftp::HostKey key;
        key.knownHostsLine = c.line;
        sftp::RememberHostKey(path, key);
        EXPECT_EQ(testsupport::ReadFileBytes(path), c.after) << c.what;
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << c.what;
    }
}

} // namespace
