// ftpdrive's own behaviour, without a server: usage errors, --help, and failures that say what
// failed and why, with local files checked before anything is sent.
#include "FtpdriveRun.h"

#include "support/Loopback.h"
#include "support/RealServers.h"
#include "support/ScriptedFtpServer.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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
          {"--host", "127.0.0.1", "--if-exists", "sometimes", "mirror", "/a", "b"}}) {
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
            "--host", "127.0.0.1", "--port",     std::to_string(server.Port()),
            "--user", "tester",    "--password", "secret",
            "--tls",  "off",       "--passive"};
        if (row.noResume) args.push_back("--no-resume");
        args.insert(args.end(), {"get", "grande.bin", target});
        const Drive d = RunFtpdrive(args);
        EXPECT_EQ(d.exitCode, 0) << Dump(d);
        const std::vector<std::string> note{"note: continuing " + target + ".part from 4000 bytes"};
        EXPECT_EQ(d.err, row.continued ? note : std::vector<std::string>{}) << Dump(d);
        EXPECT_EQ(testsupport::ReadFileBytes(target), payload);
        EXPECT_FALSE(fs::exists(target + ".part"));
        fs::remove(target);
    }
}
