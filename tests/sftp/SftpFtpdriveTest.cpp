// ftpdrive --protocol sftp against a real sshd: host keys refused, pinned and accepted as the
// command line says, and ls, get, put and mirror both ways byte-exact.
#include "integration/FtpdriveRun.h"
#include "sftp/TestSshd.h"

#include "support/TestUtil.h"

#include "platform/LocalFile.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
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
        // A file as its length and a hash of its bytes: a failure shows the paths that differ,
        // not megabytes of their contents.
        const std::string bytes = entry.is_directory() ? "" : testsupport::ReadFileBytes(path);
        tree[relative] =
            (entry.is_directory() ? std::string("<dir>")
                                  : std::to_string(bytes.size()) + " bytes #" +
                                        std::to_string(std::hash<std::string>{}(bytes))) +
            when(path);
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

    // The login's arguments, then `options`, then `command`.
    std::vector<std::string> Args(const std::vector<std::string>& options,
                                  const std::vector<std::string>& command) const
    {
        std::vector<std::string> args{"--protocol",     "sftp",       "--host",
                                      "127.0.0.1",      "--port",     std::to_string(sshd_.Port()),
                                      "--user",         sshd_.User(), "--identity",
                                      sshd_.ClientKey()};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }

    Drive Run(const std::vector<std::string>& options, const std::vector<std::string>& command = {})
    {
        // Known hosts and the trust file of the test's own; no agent, no password.
        return ftpdrivetest::RunFtpdrive(Args(options, command),
                                         {{"HOME", home_.Path()},
                                          {"XDG_CONFIG_HOME", home_.File("config")},
                                          {"SSH_AUTH_SOCK", std::nullopt},
                                          {"TAVOLEN_PASSWORD", std::nullopt}});
    }

    struct Shown {
        int exitCode = -1;
        std::string text; // all the terminal showed, both streams
    };

    // As Run, with a pseudo-terminal for standard input, output and error.
    Shown RunOnTerminal(const std::vector<std::string>& options,
                        const std::vector<std::string>& command)
    {
        // Made before the fork: the child only calls exec. A password in the environment
        // keeps ftpdrive from asking for one on the terminal; the key logs in first.
        std::vector<std::string> variables{"HOME=" + home_.Path(),
                                           "XDG_CONFIG_HOME=" + home_.File("config"),
                                           "TAVOLEN_PASSWORD=unused"};
        for (char** variable = environ; *variable; ++variable) {
            const std::string text = *variable, name = text.substr(0, text.find('=') + 1);
            if (name != "HOME=" && name != "XDG_CONFIG_HOME=" && name != "SSH_AUTH_SOCK=" &&
                name != "TAVOLEN_PASSWORD=")
                variables.push_back(text);
        }
        const std::string program = ftpdrivetest::FtpdrivePath();
        std::vector<std::string> args = Args(options, command);
        args.insert(args.begin(), program);
        const auto pointers = [](std::vector<std::string>& texts) {
            std::vector<char*> list;
            for (std::string& text : texts) list.push_back(text.data());
            list.push_back(nullptr);
            return list;
        };
        std::vector<char*> envp = pointers(variables), argv = pointers(args);

        Shown shown;
        int terminal = -1;
        const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (child < 0) {
            ADD_FAILURE() << "forkpty failed";
            return shown;
        }
        if (child == 0) {
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        // Until the child closed its side (read fails), with a bound on the waits.
        bool ended = false;
        for (int waits = 0; !ended && waits < 1200; ++waits) {
            pollfd ready{terminal, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char block[4096];
            const ssize_t got = ::read(terminal, block, sizeof block);
            if (got <= 0)
                ended = true;
            else
                shown.text.append(block, static_cast<size_t>(got));
        }
        if (!ended) {
            ADD_FAILURE() << "ftpdrive did not finish: " << shown.text;
            ::kill(child, SIGKILL);
        }
        int status = 0;
        if (::waitpid(child, &status, 0) == child && WIFEXITED(status))
            shown.exitCode = WEXITSTATUS(status);
        ::close(terminal);
        return shown;
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
    const std::string other = sshd_.OtherKeyKnownHostsLine();
    const std::string known = "Known: " + sshd_.OtherKeyFingerprint();
    const std::string notGiven = "not the one given with --hostkey";
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
        {"pinned wrongly", "", {"--hostkey", wrongPin}, 1, {fingerprint, notGiven}},
        {"changed, pinned", other, {"--hostkey", fingerprint}, 1, {fingerprint, "changed", known}},
        {"changed, new keys accepted", other, {"--accept-new-hostkey"}, 1, {"changed", known}},
    };
    for (const auto& c : cases) {
        KnowHostKey(c.knownHosts);
        const Drive d = Run(c.options, {"ls"});
        EXPECT_EQ(d.exitCode, c.exitCode) << c.what << "\n" << Dump(d);
        for (const std::string& text : c.inErr) EXPECT_TRUE(ErrHas(d, text)) << c.what << Dump(d);
        if (std::string(c.what).find("changed") != std::string::npos) {
            EXPECT_FALSE(ErrHas(d, "--hostkey " + fingerprint)) << "no advice to accept it";
        }
    }

    // mirror's sessions are refused alike, and the run says with which key and, as the single
    // commands do, how to accept it, unless it changed.
    const struct {
        const char* what;
        std::string knownHosts;
        std::vector<std::string> options;
        std::string advice; // none: no advice at all
    } mirrors[] = {
        {"unknown", "", {}, "--hostkey " + fingerprint + ", or keep it with --accept-new-hostkey"},
        {"pinned wrongly", "", {"--hostkey", wrongPin}, notGiven},
        {"changed", other, {}, ""},
    };
    for (const auto& m : mirrors) {
        KnowHostKey(m.knownHosts);
        const Drive mirror = Run(m.options, {"mirror", Remote("."), local_.File("copy")});
        EXPECT_EQ(mirror.exitCode, 1) << m.what << Dump(mirror);
        EXPECT_EQ(mirror.CountContaining(fingerprint), 1u) << m.what << Dump(mirror);
        if (m.advice.empty()) {
            EXPECT_EQ(mirror.CountContaining("--hostkey"), 0u) << m.what << Dump(mirror);
        } else {
            EXPECT_EQ(mirror.CountContaining(m.advice), 1u) << m.what << Dump(mirror);
        }
    }

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

    const Drive d =
        Run({"--times"}, {"put", local_.File("up.bin"), Remote("up.bin"), "mkdir", Remote("sub"),
                          "get", Remote("up.bin"), local_.File("down.bin"), "ls"});
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

    const Drive up = Run({"--parallel", "3"}, {"mirror", "-R", source.string(), Remote("tree")});
    ASSERT_EQ(up.exitCode, 0) << Dump(up);
    EXPECT_EQ(TreeOf(Remote("tree")), TreeOf(source));

    // Links on the server: one to a file comes down as that file, with its time; one to a
    // folder is left out, and said so.
    fs::create_symlink("plain.txt", Remote("tree/to-plain.txt"));
    fs::create_symlink("a", Remote("tree/to-a"));
    auto expected = TreeOf(source);
    expected["to-plain.txt"] = expected["plain.txt"];

    const fs::path copy = fs::path(local_.Path()) / "copy";
    const Drive down = Run({"--parallel", "3"}, {"mirror", Remote("tree"), copy.string()});
    ASSERT_EQ(down.exitCode, 0) << Dump(down);
    // The root of a download is the user's folder: it keeps its own time.
    expected.erase(".");
    std::map<std::string, std::string> got = TreeOf(copy);
    got.erase(".");
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(down.Has("left out: to-a: a link on the server, not followed")) << Dump(down);
}

// get continues the LOCAL.part an earlier run left, with a note on standard error, when the
// server's file is unchanged since, as FTP's get does; --no-resume, or a file changed after the
// part was written, starts over.
TEST_F(SftpFtpdrive, GetContinuesAPartialFileOfAnUnchangedServerFile)
{
    KnowHostKey(sshd_.KnownHostsLine());
    const std::string payload = RandomBytes(64 * 32768 + 4321, 21);
    testsupport::WriteFileBytes(Remote("grande.bin"), payload);
    const std::string target = local_.File("grande.bin");
    const struct {
        const char* why;
        bool noResume;
        bool serverFileNewer;
        bool continued;
    } rows[] = {
        {"unchanged: continued", false, false, true},
        {"--no-resume: started over", true, false, false},
        {"changed since: started over", false, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        // What an earlier run left: the file's first bytes, but for its last one, which is not
        // the server's. Continued, it stays as it is; started over, it is the server's again.
        std::string part = payload.substr(0, 70000);
        part.back() = static_cast<char>(~part.back());
        testsupport::WriteFileBytes(target + ".part", part);
        const fs::file_time_type partTime = fs::last_write_time(target + ".part");
        fs::last_write_time(Remote("grande.bin"), row.serverFileNewer
                                                      ? partTime + std::chrono::hours(1)
                                                      : partTime - std::chrono::hours(1));
        const Drive d =
            Run(row.noResume ? std::vector<std::string>{"--no-resume"} : std::vector<std::string>{},
                {"get", Remote("grande.bin"), target});
        EXPECT_EQ(d.exitCode, 0) << Dump(d);
        const std::vector<std::string> note{"note: continuing " + target +
                                            ".part from 70000 bytes"};
        EXPECT_EQ(d.err, row.continued ? note : std::vector<std::string>{}) << Dump(d);
        // Compared whole, without printing megabytes of bytes that differ.
        EXPECT_TRUE(testsupport::ReadFileBytes(target) ==
                    (row.continued ? part + payload.substr(70000) : payload));
        EXPECT_FALSE(fs::exists(target + ".part"));
        fs::remove(target);
    }
}

// On a terminal, get and put draw the progress line FTP's do and wipe it at the end; --quiet
// draws none, and --progress prints an event line for each block instead.
TEST_F(SftpFtpdrive, GetAndPutShowTheirProgress)
{
    KnowHostKey(sshd_.KnownHostsLine());
    const std::string bytes = RandomBytes(64 * 32768 * 2 + 1, 9); // "4.2 MB"
    testsupport::WriteFileBytes(Remote("down.bin"), bytes);
    testsupport::WriteFileBytes(local_.File("up.bin"), bytes);
    const std::vector<std::string> get{"get", Remote("down.bin"), local_.File("down.bin")};
    const std::vector<std::string> put{"put", local_.File("up.bin"), Remote("up.bin")};
    const struct {
        const char* what;
        std::vector<std::string> options, command;
        bool terminal;
        bool line;
        std::string event; // printed for each block, when not empty
    } rows[] = {
        {"get on a terminal", {}, get, true, true, ""},
        {"put on a terminal", {}, put, true, true, ""},
        {"--quiet", {"--quiet"}, get, true, false, ""},
        {"--progress get", {"--progress"}, get, false, false, "event: OnPacketRecvd"},
        {"--progress put", {"--progress"}, put, false, false, "event: OnPacketSent"},
    };
    for (const auto& row : rows) {
        if (row.terminal) {
            const Shown shown = RunOnTerminal(row.options, row.command);
            EXPECT_EQ(shown.exitCode, 0) << row.what << ": " << shown.text;
            // The line, and its wiping once the file moved: nothing is left drawn after it.
            for (const char* drawn : {"of 4.2 MB (", "\r\x1b[K"})
                EXPECT_EQ(shown.text.find(drawn) != std::string::npos, row.line)
                    << row.what << ": " << shown.text;
        } else {
            const Drive d = Run(row.options, row.command);
            EXPECT_EQ(d.exitCode, 0) << row.what << Dump(d);
            EXPECT_GT(d.Count(row.event), 0u) << row.what << Dump(d);
            EXPECT_EQ(d.Count(row.event), d.out.size()) << row.what << Dump(d);
        }
        EXPECT_EQ(testsupport::ReadFileBytes(local_.File("down.bin")), bytes) << row.what;
    }
    EXPECT_EQ(testsupport::ReadFileBytes(Remote("up.bin")), bytes);
}

} // namespace
