// ftpdrive's own behaviour, without a server: usage errors, --help, and failures that say what
// failed and why, with local files checked before anything is sent.
#include "FtpdriveRun.h"

#include "support/Loopback.h"
#include "support/RealServers.h"
#include "support/ScriptedFtpServer.h"
#include "support/TestUtil.h"
#include "tools/ftpdrive/Netrc.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using ftpdrivetest::Drive;
using ftpdrivetest::Dump;
using ftpdrivetest::RunFtpdrive;

std::vector<std::string> At(int port, std::vector<std::string> commands)
{
    std::vector<std::string> args{"--host", "127.0.0.1", "--port", std::to_string(port)};
    args.insert(args.end(), commands.begin(), commands.end());
    return args;
}

} // namespace

TEST(Ftpdrive, UsageErrorsExitWith2)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"ls"},
          {"--host", "127.0.0.1", "get", "only-one"},
          {"--host", "127.0.0.1", "--port", "x", "ls"},
          {"--host", "127.0.0.1", "--tls", "sometimes", "ls"},
          {"--host", "127.0.0.1", "--fingerprint", "AB:CD", "ls"},
          {"--host", "127.0.0.1", "mirror", "/only-one"},
          {"--host", "127.0.0.1", "mirror", "-R", "/only-one"},
          {"--host", "127.0.0.1", "ls", "mirror", "/a", "b"},
          {"--host", "127.0.0.1", "--parallel", "0", "mirror", "/a", "b"},
          {"--host", "127.0.0.1", "--if-exists", "sometimes", "mirror", "/a", "b"},
          {"--host", "127.0.0.1", "--protocol", "gopher", "ls"},
          {"--host", "127.0.0.1", "--protocol", "sftp", "cd", "/a"},
          {"--host", "127.0.0.1", "--protocol", "sftp", "--hostkey", "SHA256:short", "ls"},
          {"--host", "127.0.0.1", "--identity", "key", "ls"},
          {"--host", "127.0.0.1", "--hostkey", "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
           "ls"}}) {
        const Drive d = RunFtpdrive(args);
        EXPECT_EQ(d.exitCode, 2) << Dump(d);
        EXPECT_TRUE(d.out.empty());
    }
}

TEST(Ftpdrive, HelpPrintsTheUsageOnStandardOutput)
{
    for (const char* option : {"--help", "-h"}) {
        const Drive d = RunFtpdrive({"--port", "21", option});
        EXPECT_EQ(d.exitCode, 0) << Dump(d);
        ASSERT_FALSE(d.out.empty());
        EXPECT_EQ(d.out.front().rfind("usage: ftpdrive --host HOST", 0), 0u) << Dump(d);
        EXPECT_TRUE(d.err.empty()) << Dump(d);
    }
    // --help and the manual page name the same parts of mirror's summary line.
    const Drive help = RunFtpdrive({"--help"});
    std::string helpText;
    for (const std::string& line : help.out) helpText += line + "\n";
    const std::string manual =
        testsupport::ReadFileBytes(std::string(TAVOLEN_SOURCE_DIR) + "/tools/ftpdrive/ftpdrive.1");
    const size_t summary = manual.find(".B mirror: FILES files");
    ASSERT_NE(summary, std::string::npos);
    const std::string manualLine = manual.substr(summary, manual.find('\n', summary) - summary);
    for (const char* part : {"V verified", "SKIPPED skipped", "canceled"}) {
        EXPECT_NE(helpText.find(std::string("[, ") + part + "]"), std::string::npos) << part;
        EXPECT_NE(manualLine.find(std::string("\\fB, ") + part + "\\fR]"), std::string::npos)
            << part;
    }
}

// Each failure ends the run with exit status 1 and one error line that names what failed and
// why. Local files are checked before the connection: the listener must never see one.
TEST(Ftpdrive, FailuresSayWhatAndWhy)
{
    testsupport::TempDir local;
    testsupport::WriteFileBytes(local.File("present.bin"), "x");
    testsupport::LoopbackListener listener;
    testsupport::SilentListener silent;
    const int closed = testsupport::FreeLoopbackPort();
    const int open = listener.Port();
    // A label of more than 63 characters is refused by the resolver itself, without the network.
    const std::string badName = std::string(70, 'a') + ".invalid";
    const std::string missing = local.File("missing.bin");
    // One that never greets, and one that turns us away with a reply of several lines.
    testsupport::ScriptedFtpServer mute;
    mute.Start();
    testsupport::ScriptedFtpServer full;
    full.Send("421-Too many users are logged in.\r\n Only 10 may be.\r\n421 Try later.\r\n")
        .Expect("QUIT")
        .Reply("221 tchau");
    full.Start();
    // One whose refusal would retitle the terminal and clear its screen, were it printed raw.
    testsupport::ScriptedFtpServer hostile;
    hostile.Reply("421 Go away\x1b]0;pwned\x07\x1b[2J\xc2\x9b").Expect("QUIT").Reply("221 tchau");
    hostile.Start();

    struct Row {
        std::vector<std::string> args;
        std::string error;
    };
    const Row rows[] = {
        {At(closed, {"ls"}), "error: ESockError: Connection Failed (127.0.0.1 port " +
                                 std::to_string(closed) + ": Connection refused)"},
        {{"--host", badName, "ls"},
         "error: ESockError: Null Remote Address (" + badName + " port 21: Host not found)"},
        {{"--timeout", "300", "--host", "127.0.0.1", "--port", std::to_string(silent.Port()), "ls"},
         "error: ESockError: Connection Timed out (no answer from 127.0.0.1:" +
             std::to_string(silent.Port()) + " for 0.3 s)"},
        {{"--timeout", "300", "--host", "127.0.0.1", "--port", std::to_string(mute.Port()), "ls"},
         "error: EAbortError: Socket readln aborted (no answer from 127.0.0.1:" +
             std::to_string(mute.Port()) + " for 0.3 s)"},
        {{"--tls", "off", "--host", "127.0.0.1", "--port", std::to_string(full.Port()), "ls"},
         "error: FTPException: 421 Too many users are logged in. Only 10 may be. Try later."},
        {{"--tls", "off", "--host", "127.0.0.1", "--port", std::to_string(hostile.Port()), "ls"},
         "error: FTPException: 421 Go away\\x1b]0;pwned\\x07\\x1b[2J\\u009b"},
        {At(open, {"put", missing, "r.bin"}),
         "error: Exception: Cannot open file " + missing + " (No such file or directory)"},
        {At(open, {"--ca-file", missing, "ls"}),
         "error: Exception: Cannot open file " + missing + " (No such file or directory)"},
        {At(open, {"ls", "append", local.Path(), "r.bin"}),
         "error: Exception: Cannot open file " + local.Path() + " (Is a directory)"},
        {At(open, {"get", "r.bin", local.File("none/r.bin")}),
         "error: Exception: Cannot create file " + local.File("none/r.bin") +
             " (No such file or directory)"},
        {At(open, {"resume", "r.bin", local.File("present.bin/r.bin")}),
         "error: Exception: Cannot create file " + local.File("present.bin/r.bin") +
             " (Not a directory)"},
    };
    for (const Row& row : rows) {
        const Drive d = RunFtpdrive(row.args);
        EXPECT_EQ(d.exitCode, 1) << Dump(d);
        EXPECT_EQ(d.err, std::vector<std::string>{row.error}) << Dump(d);
    }
    EXPECT_FALSE(listener.AcceptOne(0).Valid()) << "a local file problem reached the server";
}

// A server that stops answering halfway through a transfer, in every direction: the run ends
// within the time-out and a second for the goodbye, not a time-out more for each reply still owed
// and for QUIT.
TEST(Ftpdrive, StalledTransfersEndWithinTheTimeOutAndASecond)
{
    using Script = testsupport::ScriptedFtpServer;
    testsupport::TempDir local;
    // Small enough for the sockets on the way to take it whole: the stall is the server's, and
    // the time-out counts from the moment the bytes went out, not from when the system took its
    // last block of a large file.
    testsupport::WriteFileBytes(local.File("up"), std::string(1024, 'u'));
    testsupport::WriteFileBytes(local.File("part"), "ab");
    struct Row {
        const char* name;
        std::vector<std::string> command;
        std::function<void(Script&)> stall; // after TYPE I
    };
    auto passive = [](Script& s, const char* command) {
        s.PassiveListen().Expect("PASV").ReplyPasv().Expect(command).Reply("150 Opening");
        s.AcceptData();
    };
    const Row rows[] = {
        {"put", {"put", local.File("up"), "r"}, [&](Script& s) { passive(s, "STOR r"); }},
        {"append", {"append", local.File("up"), "r"}, [&](Script& s) { passive(s, "APPE r"); }},
        {"get",
         {"get", "r", local.File("down")},
         [&](Script& s) {
             passive(s, "RETR r");
             s.SendData("half");
         }},
        {"resume",
         {"resume", "r", local.File("part")},
         [&](Script& s) {
             s.Expect("SIZE r").Reply("213 10").PassiveListen().Expect("PASV").ReplyPasv();
             s.Expect("REST 2").Reply("350 Restarting").Expect("RETR r").Reply("150 Opening");
             s.AcceptData().SendData("cd");
         }},
        {"ls",
         {"ls"},
         [&](Script& s) {
             passive(s, "LIST");
             s.SendData("-rw-r--r-- 1 a a 1 Jan  1 00:00 x\r\n");
         }},
    };
    const int timeOutMs = 2000;
    for (const Row& row : rows) {
        Script server;
        server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
        if (std::string(row.name) != "ls") server.Expect("TYPE I").Reply("200 binary");
        row.stall(server);
        server.Hold();
        server.Start();
        std::vector<std::string> args{"--host",
                                      "127.0.0.1",
                                      "--port",
                                      std::to_string(server.Port()),
                                      "--user",
                                      "ana",
                                      "--password",
                                      "x",
                                      "--tls",
                                      "off",
                                      "--passive",
                                      "--timeout",
                                      std::to_string(timeOutMs)};
        args.insert(args.end(), row.command.begin(), row.command.end());
        const auto started = std::chrono::steady_clock::now();
        const Drive d = RunFtpdrive(args);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        server.Release();
        EXPECT_EQ(d.exitCode, 1) << row.name << Dump(d);
        // The time-out, a second for QUIT, and room for starting the program.
        EXPECT_LT(took.count(), timeOutMs + 1700) << row.name << Dump(d);
    }
}

// A server that trickles a byte at a time: the time-out asks only for progress and lets it go on;
// --speed-limit (curl's meaning) ends it once it stays slower for --speed-time, in get as in
// mirror, with a message that says so.
TEST(Ftpdrive, SpeedLimitEndsATrickleThatTheTimeOutLetsGoOn)
{
    using Script = testsupport::ScriptedFtpServer;
    using Ms = std::chrono::milliseconds;
    testsupport::TempDir local;
    const std::string slow = "error: EAbortError: Transfer slower than 1000 bytes/s for 1 s";
    struct Row {
        const char* what;
        std::vector<std::string> options;
        bool mirror;
        Ms interval; // between two bytes of 20 (or, for the slow rows, of 400)
        int exitCode;
        std::string line; // on standard error (get) or output (mirror)
    };
    const Row rows[] = {
        {"off by default", {}, false, Ms(25), 0, ""},
        {"--speed-time alone: a byte a second is enough",
         {"--speed-time", "1"},
         false,
         Ms(25),
         0,
         ""},
        {"get: slower than the limit",
         {"--speed-limit", "1000", "--speed-time", "1"},
         false,
         Ms(50),
         1,
         slow},
        {"mirror: slower than the limit, on every try",
         {"--speed-limit", "1000", "--speed-time", "1"},
         true,
         Ms(50),
         1,
         "failed: f.bin: Transfer slower than 1000 bytes/s for 1 s"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const bool fails = row.exitCode != 0;
        const std::string data(fails ? 400 : 20, 'd');
        Script server;
        server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
        if (row.mirror) {
            server.PassiveListen().Expect("PASV").ReplyPasv().Expect("LIST /x");
            server.Reply("150 listing").AcceptData();
            server.SendData("-rw-r--r-- 1 ftp ftp 400 Jan 01  2024 f.bin\r\n");
            server.CloseData().Reply("226 done");
            // A session whose transfer timed out is not used again: each try logs in anew.
            for (int attempt = 0; attempt < 3; ++attempt) {
                if (attempt > 0) {
                    server.NextSession().Reply("220 pronto").Expect("USER ana").Reply("230 ok");
                    server.NoFeatures();
                }
                server.Expect("TYPE I").Reply("200 binary");
                // Each try goes on from the bytes the one before left.
                if (attempt > 0) server.Expect("SIZE /x/f.bin").Reply("213 400");
                server.PassiveListen().Expect("PASV").ReplyPasv();
                if (attempt > 0) server.ExpectPrefix("REST ").Reply("350 Restarting");
                server.Expect("RETR /x/f.bin");
                server.Reply("150 Opening").AcceptData().DripData(data, row.interval);
                server.AllowClientAbort().Expect("ABOR").Reply("426 aborted").Reply("226 ok");
                server.Expect("QUIT").Reply("221 tchau");
            }
        } else {
            server.Expect("TYPE I").Reply("200 binary");
            server.PassiveListen().Expect("PASV").ReplyPasv().Expect("RETR r");
            server.Reply("150 Opening").AcceptData().DripData(data, row.interval);
            if (fails)
                server.AllowClientAbort().Hold();
            else
                server.CloseData().Reply("226 done");
        }
        server.Start();
        std::vector<std::string> args{
            "--host", "127.0.0.1", "--port",     std::to_string(server.Port()),
            "--user", "ana",       "--password", "x",
            "--tls",  "off",       "--passive",  "--timeout",
            "5000"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        const std::string down = local.File(std::string("down-") + std::to_string(&row - rows));
        if (row.mirror) {
            args.insert(args.end(), {"--parallel", "1", "mirror", "/x", down});
        } else {
            args.insert(args.end(), {"get", "r", down});
        }
        const Drive d = RunFtpdrive(args);
        server.Release();
        EXPECT_EQ(d.exitCode, row.exitCode) << Dump(d);
        if (!fails) {
            EXPECT_EQ(testsupport::ReadFileBytes(down), data);
        } else if (row.mirror) {
            EXPECT_TRUE(d.Has(row.line)) << Dump(d);
            EXPECT_TRUE(server.Verify());
        } else {
            ASSERT_FALSE(d.err.empty()) << Dump(d);
            EXPECT_EQ(d.err.back(), row.line) << Dump(d);
        }
    }
}

namespace {

void WriteFileWithMode(const std::string& path, const std::string& text, mode_t mode)
{
    testsupport::WriteFileBytes(path, text);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

} // namespace

// Every source of the password, in its order, against a real server that accepts only "tester"
// with "secret": a wrong password in a later source must not matter, and one in the source that
// counts must fail the login. HOME is a directory of the test's, so the user's own ~/.netrc
// never joins in.
TEST(Ftpdrive, PasswordSourcesInTheirOrder)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server("tester", "secret");
    ASSERT_TRUE(server.Start());
    testsupport::TempDir home;
    testsupport::TempDir files;
    const std::string good = files.File("good"), wrong = files.File("wrong");
    WriteFileWithMode(good, "secret\nsecond line\n", 0600);
    WriteFileWithMode(wrong, "nope\n", 0600);
    const std::string netrcGood = files.File("netrc-good"), netrcWrong = files.File("netrc-wrong");
    WriteFileWithMode(netrcGood,
                      "machine other.example login x password y\n"
                      "machine 127.0.0.1 login tester password secret\n",
                      0600);
    WriteFileWithMode(netrcWrong, "default login tester password nope\n", 0600);
    const std::string netrcOpen = files.File("netrc-open");
    WriteFileWithMode(netrcOpen, "machine 127.0.0.1 login tester password secret\n", 0644);

    using Env = std::map<std::string, std::optional<std::string>>;
    struct Row {
        const char* what;
        std::vector<std::string> args;
        Env env;
        int exitCode;
        std::string errorPart; // in the only line on standard error; none when empty
    };
    const std::vector<std::string> user{"--user", "tester"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Row rows[] = {
        {"file", with(user, {"--password-file", good}), {}, 0, ""},
        {"file before environment",
         with(user, {"--password-file", good}),
         {{"TAVOLEN_PASSWORD", "nope"}},
         0,
         ""},
        {"wrong file",
         with(user, {"--password-file", wrong}),
         {{"TAVOLEN_PASSWORD", "secret"}},
         1,
         "530"},
        {"missing file",
         with(user, {"--password-file", files.File("none")}),
         {},
         1,
         "cannot be read"},
        {"environment", user, {{"TAVOLEN_PASSWORD", "secret"}}, 0, ""},
        {"environment before netrc",
         with(user, {"--netrc-file", netrcWrong}),
         {{"TAVOLEN_PASSWORD", "secret"}},
         0,
         ""},
        {"netrc names the user", {"--netrc-file", netrcGood}, {}, 0, ""},
        {"netrc for the user given", with(user, {"--netrc-file", netrcGood}), {}, 0, ""},
        {"netrc default entry, wrong", with(user, {"--netrc-file", netrcWrong}), {}, 1, "530"},
        {"netrc readable by others",
         {"--netrc-file", netrcOpen},
         {},
         1,
         "can be read or changed by other users (mode 0644)"},
        {"command line, with a warning",
         with(user, {"--password", "secret"}),
         {},
         0,
         "warning: --password shows the password to every local user"},
    };
    for (const Row& row : rows) {
        Env env = row.env;
        env.emplace("HOME", home.Path());
        env.emplace("TAVOLEN_PASSWORD", std::nullopt);
        const Drive d = RunFtpdrive(
            with({"--host", "127.0.0.1", "--port", std::to_string(server.Port()), "--tls", "off"},
                 with(row.args, {"pwd"})),
            env);
        EXPECT_EQ(d.exitCode, row.exitCode) << row.what << "\n" << Dump(d);
        if (row.errorPart.empty()) {
            EXPECT_TRUE(d.err.empty()) << row.what << "\n" << Dump(d);
        } else {
            ASSERT_EQ(d.err.size(), 1u) << row.what << "\n" << Dump(d);
            EXPECT_NE(d.err[0].find(row.errorPart), std::string::npos) << row.what << "\n"
                                                                       << Dump(d);
        }
        if (row.exitCode == 0) {
            EXPECT_TRUE(d.Has("pwd: /")) << row.what << "\n" << Dump(d);
        }
    }

    // ~/.netrc itself: used when private, refused with the reason when not.
    WriteFileWithMode(home.File(".netrc"), "machine 127.0.0.1 login tester password secret\n",
                      0600);
    const std::vector<std::string> plain{
        "--host", "127.0.0.1", "--port", std::to_string(server.Port()), "--tls", "off", "pwd"};
    const Env homeOnly{{"HOME", home.Path()}, {"TAVOLEN_PASSWORD", std::nullopt}};
    const Drive kept = RunFtpdrive(plain, homeOnly);
    EXPECT_EQ(kept.exitCode, 0) << Dump(kept);
    ASSERT_EQ(::chmod(home.File(".netrc").c_str(), 0604), 0);
    const Drive refused = RunFtpdrive(plain, homeOnly);
    EXPECT_EQ(refused.exitCode, 1) << Dump(refused);
    ASSERT_EQ(refused.err.size(), 1u) << Dump(refused);
    EXPECT_NE(refused.err[0].find(home.File(".netrc") + " can be read or changed"),
              std::string::npos)
        << Dump(refused);
}

// On a terminal with no other source, ftpdrive asks, and what is typed is not echoed.
TEST(Ftpdrive, PromptsWithoutEchoOnATerminal)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server("tester", "s3cr3t-typed");
    ASSERT_TRUE(server.Start());
    testsupport::TempDir home;
    const std::string program = ftpdrivetest::FtpdrivePath();
    const std::string port = std::to_string(server.Port());

    // Made before the fork: the child only calls exec.
    std::vector<std::string> variables{"HOME=" + home.Path()};
    for (char** variable = environ; *variable; ++variable) {
        const std::string text = *variable;
        if (text.rfind("HOME=", 0) != 0 && text.rfind("TAVOLEN_PASSWORD=", 0) != 0)
            variables.push_back(text);
    }
    std::vector<char*> envp;
    for (std::string& text : variables) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{program, "--host", "127.0.0.1", "--port", port,
                                  "--tls", "off",    "--user",    "tester", "pwd"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    // Everything the terminal shows, read with a bound on each wait.
    std::string shown;
    auto readUntil = [&](const std::string& text) {
        for (int waits = 0; shown.find(text) == std::string::npos && waits < 300; ++waits) {
            pollfd ready{terminal, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char block[512];
            const ssize_t got = ::read(terminal, block, sizeof block);
            if (got <= 0) break;
            shown.append(block, static_cast<size_t>(got));
        }
        return shown.find(text) != std::string::npos;
    };
    EXPECT_TRUE(readUntil("Password for tester@127.0.0.1: ")) << shown;
    const std::string typed = "s3cr3t-typed\n";
    ASSERT_EQ(::write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    if (!readUntil("pwd: /")) {
        ADD_FAILURE() << shown;
        ::kill(child, SIGKILL); // bounded: a client still waiting must not hold the suite
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    EXPECT_EQ(shown.find("s3cr3t"), std::string::npos) << "echoed: " << shown;
}

TEST(Netrc, FindsTheEntryOfTheHost)
{
    const std::string text = "# a comment line with machine evil password x\n"
                             "machine ftp.example.org login alice password a1\n"
                             "machine FTP.example.org login bob password \"b 2\\\"q\"\n"
                             "macdef init\n"
                             "machine inside.macro login m password m\n"
                             "\n"
                             "machine nologin.example password n\n"
                             "machine nopassword.example login carol account acct\n"
                             "default login anonymous password guest@\n";
    using Found = std::optional<ftpdrive::NetrcEntry>;
    struct Row {
        const char* host;
        std::optional<std::string> user;
        std::optional<std::string> login; // nullopt: no entry at all
        std::optional<std::string> password;
    };
    const Row rows[] = {
        {"ftp.example.org", std::nullopt, "alice", "a1"},        // the first entry of the machine
        {"ftp.EXAMPLE.org", "bob", "bob", "b 2\"q"},             // any case; quoted with escapes
        {"ftp.example.org", "dave", std::nullopt, std::nullopt}, // nor does the default's
        {"inside.macro", std::nullopt, "anonymous", "guest@"},   // a macro's body is skipped
        {"evil", std::nullopt, "anonymous", "guest@"},           // so is a comment
        {"nologin.example", "erin", "", "n"},                    // fits any user
        {"nopassword.example", std::nullopt, "carol", std::nullopt},
        {"elsewhere", std::nullopt, "anonymous", "guest@"},
    };
    for (const Row& row : rows) {
        const Found found = ftpdrive::FindNetrcEntry(text, row.host, row.user);
        ASSERT_EQ(found.has_value(), row.login.has_value()) << row.host;
        if (!found) continue;
        EXPECT_EQ(found->login, *row.login) << row.host;
        EXPECT_EQ(found->password, row.password) << row.host;
    }
    EXPECT_FALSE(ftpdrive::FindNetrcEntry("machine a login b password c", "other", std::nullopt));
    EXPECT_FALSE(ftpdrive::FindNetrcEntry("login stray password words", "a", std::nullopt));
}

// get continues the LOCAL.part an earlier run left, with a note on standard error, when the
// server's file is unchanged since; --no-resume, or a file changed after the part was written,
// starts over.
TEST(Ftpdrive, GetContinuesAPartialFileOfAnUnchangedServerFile)
{
    TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
    testsupport::PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    std::string payload;
    while (payload.size() < 100000) payload += testsupport::AllByteValuesWithCrLf();
    const std::string remote = server.Root() + "/grande.bin";
    testsupport::WriteFileBytes(remote, payload);
    testsupport::TempDir local;
    const std::string target = local.File("grande.bin");
    struct Row {
        const char* why;
        bool noResume;
        bool serverFileNewer;
        bool continued;
    };
    const Row rows[] = {
        {"unchanged: continued", false, false, true},
        {"--no-resume: started over", true, false, false},
        {"changed since: started over", false, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        namespace fs = std::filesystem;
        testsupport::WriteFileBytes(target + ".part", payload.substr(0, 4000));
        const fs::file_time_type partTime = fs::last_write_time(target + ".part");
        fs::last_write_time(remote, row.serverFileNewer ? partTime + std::chrono::hours(1)
                                                        : partTime - std::chrono::hours(1));
        std::vector<std::string> args = {
            "--host", "127.0.0.1", "--port",   std::to_string(server.Port()), "--user", "tester",
            "--tls",  "off",       "--passive"};
        if (row.noResume) args.push_back("--no-resume");
        args.insert(args.end(), {"get", "grande.bin", target});
        const Drive d = RunFtpdrive(args, {{"TAVOLEN_PASSWORD", "secret"}});
        EXPECT_EQ(d.exitCode, 0) << Dump(d);
        const std::vector<std::string> note{"note: continuing " + target + ".part from 4000 bytes"};
        EXPECT_EQ(d.err, row.continued ? note : std::vector<std::string>{}) << Dump(d);
        EXPECT_EQ(testsupport::ReadFileBytes(target), payload);
        EXPECT_FALSE(fs::exists(target + ".part"));
        fs::remove(target);
    }
}
