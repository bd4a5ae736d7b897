// ftpdrive --protocol sftp against a real sshd: host keys refused, pinned and accepted as the
// command line says, and ls, get, put and mirror both ways byte-exact.
#include "integration/FtpdriveRun.h"
#include "sftp/TestSshd.h"

#include "support/TestUtil.h"

#include "platform/LocalFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

namespace {

namespace fs = std::filesystem;
using ftpdrivetest::Drive;
using ftpdrivetest::Dump;
using sftptest::TestSshd;

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

bool ErrHas(const Drive& d, const std::string& text)
{
    for (const std::string& line : d.err)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

// Every directory and file below `root`, and the root itself ("."): a file as its bytes and its
// time, a directory as <dir> and its time.
std::map<std::string, std::string> TreeOf(const fs::path& root)
{
    const auto when = [](const std::string& path) {
        return " @" + std::to_string(platform::LocalFile::ModifiedOf(path).value_or(-1));
    };
    std::map<std::string, std::string> tree{{".", "<dir>" + when(root.string())}};
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        const std::string relative = entry.path().lexically_relative(root).string();
        tree[relative] =
            (entry.is_directory() ? "<dir>" : testsupport::ReadFileBytes(path)) + when(path);
    }
    return tree;
}

// Spaces, UTF-8, an empty file and folder, a dot file, shell characters, depth, and a file of
// several blocks.
void MakeTree(const fs::path& root)
{
    fs::create_directories(root / "pasta com espaço/vazia");
    fs::create_directories(root / "a/b/c");
    const std::vector<std::pair<std::string, std::string>> files{
        {"plain.txt", "plain\n"},
        {"pasta com espaço/ação ünïcode.txt", "utf-8 name\n"},
        {"a/b/c/deep.bin", std::string("\0\r\n\xff", 4)},
        {"empty file", ""},
        {".hidden", "dot\n"},
        {"odd #%&;'$ name!.txt", "odd\n"},
        {"big.bin", RandomBytes(3 * 32768 * 64 + 777, 7)},
    };
    int64_t time = 1'500'000'000;
    for (const auto& [path, bytes] : files) {
        testsupport::WriteFileBytes((root / path).string(), bytes);
        platform::LocalFile::SetModified((root / path).string(), time += 3607);
    }
    // The folders' times too, once nothing more is written into them.
    for (const char* folder :
         {"pasta com espaço/vazia", "pasta com espaço", "a/b/c", "a/b", "a", ""})
        platform::LocalFile::SetModified((root / folder).string(), time += 86399);
}

class SftpFtpdrive : public ::testing::Test {
protected:
    void SetUp() override
    {
        TAVOLEN_REQUIRE(TestSshd::Available(), "sshd and ssh-keygen (openssh-server)");
        ASSERT_TRUE(sshd_.Start());
        fs::create_directories(home_.File(".ssh"));
    }

    void KnowHostKey(const std::string& line)
    {
        testsupport::WriteFileBytes(home_.File(".ssh/known_hosts"), line);
    }

    Drive Run(std::vector<std::string> more)
    {
        std::vector<std::string> args{"--protocol",     "sftp",       "--host",
                                      "127.0.0.1",      "--port",     std::to_string(sshd_.Port()),
                                      "--user",         sshd_.User(), "--identity",
                                      sshd_.ClientKey()};
        args.insert(args.end(), more.begin(), more.end());
        // Known hosts and the trust file of the test's own; no agent, no password.
        return ftpdrivetest::RunFtpdrive(args, {{"HOME", home_.Path()},
                                                {"XDG_CONFIG_HOME", home_.File("config")},
                                                {"SSH_AUTH_SOCK", std::nullopt},
                                                {"TAVOLEN_PASSWORD", std::nullopt}});
    }

    std::string Remote(const std::string& name) const { return sshd_.Root() + "/" + name; }

    TestSshd sshd_;
    testsupport::TempDir home_{"tavolen-sftp-home"};
    testsupport::TempDir local_{"tavolen-sftp-local"};
};

TEST_F(SftpFtpdrive, HostKeysAreRefusedPinnedOrAcceptedAsTold)
{
    const std::string fingerprint = sshd_.HostKeyFingerprint();
    ASSERT_EQ(fingerprint.rfind("SHA256:", 0), 0u) << fingerprint;
    const std::string wrongPin = "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
    const struct {
        const char* what;
        std::string knownHosts;
        std::vector<std::string> options;
        int exitCode;
        std::vector<std::string> inErr;
    } cases[] = {
        {"known", sshd_.KnownHostsLine(), {}, 0, {}},
        {"unknown", "", {}, 1, {fingerprint, "not known", "--hostkey " + fingerprint}},
        {"pinned", "", {"--hostkey", fingerprint}, 0, {}},
        {"pinned wrongly",
         "",
         {"--hostkey", wrongPin},
         1,
         {fingerprint, "not the one given with --hostkey"}},
        {"changed, even pinned",
         sshd_.OtherKeyKnownHostsLine(),
         {"--hostkey", fingerprint},
         1,
         {fingerprint, "changed"}},
        {"changed, new keys accepted",
         sshd_.OtherKeyKnownHostsLine(),
         {"--accept-new-hostkey"},
         1,
         {"changed"}},
    };
    for (const auto& c : cases) {
        KnowHostKey(c.knownHosts);
        std::vector<std::string> args = c.options;
        args.push_back("ls");
        const Drive d = Run(args);
        EXPECT_EQ(d.exitCode, c.exitCode) << c.what << "\n" << Dump(d);
        for (const std::string& text : c.inErr) EXPECT_TRUE(ErrHas(d, text)) << c.what << Dump(d);
        if (std::string(c.what).find("changed") != std::string::npos) {
            EXPECT_FALSE(ErrHas(d, "--hostkey " + fingerprint)) << "no advice to accept it";
        }
    }

    // mirror's sessions are refused alike, and the run says with which key.
    KnowHostKey("");
    const Drive mirror = Run({"mirror", Remote("."), local_.File("copy")});
    EXPECT_EQ(mirror.exitCode, 1) << Dump(mirror);
    EXPECT_EQ(mirror.CountContaining(fingerprint), 1u) << Dump(mirror);

    // A new key accepted is kept, and known without the option the next time.
    KnowHostKey("");
    const Drive accepted = Run({"--accept-new-hostkey", "ls"});
    ASSERT_EQ(accepted.exitCode, 0) << Dump(accepted);
    EXPECT_TRUE(ErrHas(accepted, fingerprint)) << Dump(accepted);
    const Drive again = Run({"ls"});
    EXPECT_EQ(again.exitCode, 0) << Dump(again);
}

TEST_F(SftpFtpdrive, ListsGetsAndPutsByteExact)
{
    KnowHostKey(sshd_.KnownHostsLine());
    const std::string bytes = RandomBytes(64 * 32768 * 2 + 4321, 33);
    testsupport::WriteFileBytes(local_.File("up.bin"), bytes);
    platform::LocalFile::SetModified(local_.File("up.bin"), 1'600'000'000);
    // An older copy stands where the download goes: replaced only once the new one is whole.
    testsupport::WriteFileBytes(local_.File("down.bin"), "older");

    const Drive d = Run({"--times", "put", local_.File("up.bin"), Remote("up.bin"), "mkdir",
                         Remote("sub"), "get", Remote("up.bin"), local_.File("down.bin"), "ls"});
    ASSERT_EQ(d.exitCode, 0) << Dump(d);
    EXPECT_EQ(testsupport::ReadFileBytes(Remote("up.bin")), bytes);
    EXPECT_EQ(testsupport::ReadFileBytes(local_.File("down.bin")), bytes);
    EXPECT_EQ(platform::LocalFile::ModifiedOf(Remote("up.bin")), 1'600'000'000);
    EXPECT_EQ(platform::LocalFile::ModifiedOf(local_.File("down.bin")), 1'600'000'000);
    EXPECT_TRUE(fs::is_directory(Remote("sub")));
    // ls lists the directory the login starts in: the user's home, not the test's root; what
    // counts is that it printed entries and nothing else.
    for (const std::string& line : d.out) EXPECT_EQ(line.rfind("entry: ", 0), 0u) << line;
    // Nothing staged is left beside the file.
    EXPECT_EQ(std::distance(fs::directory_iterator(local_.Path()), fs::directory_iterator()), 2);

    // A missing remote file fails, and leaves the local one as it was.
    const Drive missing = Run({"get", Remote("nothing"), local_.File("down.bin")});
    EXPECT_EQ(missing.exitCode, 1) << Dump(missing);
    EXPECT_EQ(testsupport::ReadFileBytes(local_.File("down.bin")), bytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(local_.Path()), fs::directory_iterator()), 2);

    // A device is written straight: nothing to stage beside it, no length to cut.
    const Drive discarded = Run({"get", Remote("up.bin"), "/dev/null"});
    EXPECT_EQ(discarded.exitCode, 0) << Dump(discarded);

    const Drive removed = Run({"rm", Remote("up.bin")});
    EXPECT_EQ(removed.exitCode, 0) << Dump(removed);
    EXPECT_FALSE(fs::exists(Remote("up.bin")));
}

TEST_F(SftpFtpdrive, MirrorsATreeBothWaysWithItsTimes)
{
    KnowHostKey(sshd_.KnownHostsLine());
    const fs::path source = fs::path(local_.Path()) / "source";
    MakeTree(source);

    const Drive up = Run({"--parallel", "3", "mirror", "-R", source.string(), Remote("tree")});
    ASSERT_EQ(up.exitCode, 0) << Dump(up);
    EXPECT_EQ(TreeOf(Remote("tree")), TreeOf(source));

    const fs::path copy = fs::path(local_.Path()) / "copy";
    const Drive down = Run({"--parallel", "3", "mirror", Remote("tree"), copy.string()});
    ASSERT_EQ(down.exitCode, 0) << Dump(down);
    // The root of a download is the user's folder: it keeps its own time.
    std::map<std::string, std::string> want = TreeOf(source);
    want.erase(".");
    std::map<std::string, std::string> got = TreeOf(copy);
    got.erase(".");
    EXPECT_EQ(got, want);
}

} // namespace
