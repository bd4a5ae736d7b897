// The SFTP client against a scripted server that gets one thing wrong on purpose
// (sftp_fault_server.py): password and keyboard-interactive logins, and every malformed,
// oversized, unasked-for, stalled or cut-off answer ending the operation with its reason and
// never a crash, a hang, or a file called whole that is not.
#include "sftp/SftpClient.h"

#include "support/EventLoop.h"
#include "support/RealServers.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <optional>

namespace {

using testsupport::PumpUntil;

constexpr const char* kPassword = "senha secreta";

class ScriptedSftpServer : public testsupport::RealServer {
public:
    ScriptedSftpServer() { greetsInClear_ = false; }
    static bool Available()
    {
        return testsupport::BinaryAvailable(testsupport::kPython3) &&
               testsupport::RunQuietly({testsupport::kPython3, "-c", "import asyncssh"}) &&
               testsupport::BinaryAvailable("/usr/bin/ssh-keygen");
    }
    ::testing::AssertionResult Start(const std::string& mode, const std::string& auth)
    {
        const std::string key = state_->File("host_key");
        if (!testsupport::RunQuietly(
                {"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "", "-f", key}))
            return ::testing::AssertionFailure() << "ssh-keygen failed";
        QProcess keygen;
        keygen.start("/usr/bin/ssh-keygen",
                     {"-l", "-E", "sha256", "-f", QString::fromStdString(key + ".pub")});
        keygen.waitForFinished(10000);
        fingerprint_ =
            QString::fromUtf8(keygen.readAllStandardOutput()).section(' ', 1, 1).toStdString();
        return Launch(testsupport::IpFamily::V4, [&](uint16_t port) {
            return std::vector<std::string>{testsupport::kPython3,
                                            "-W",
                                            "ignore",
                                            TAVOLEN_SOURCE_DIR "/tests/sftp/sftp_fault_server.py",
                                            std::to_string(port),
                                            key,
                                            mode,
                                            auth,
                                            kPassword};
        });
    }
    const std::string& Fingerprint() const { return fingerprint_; }

private:
    std::string fingerprint_;
};

sftp::ConnectOptions OptionsFor(const ScriptedSftpServer& server, const char* password)
{
    sftp::ConnectOptions options;
    options.host = "127.0.0.1";
    options.port = server.Port();
    options.user = "tester";
    options.password = password;
    options.useAgent = false;
    options.pinnedFingerprint = server.Fingerprint();
    return options;
}

std::string Content()
{
    std::string bytes;
    for (int round = 0; round < 1024; ++round)
        for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value));
    return bytes;
}

enum class Run { List, Download };

struct FaultCase {
    const char* mode;
    const char* auth;
    const char* password;
    Run run;
    bool ok;
    ErrorReason reason; // when not ok
};

TEST(SftpScriptedFaults, EveryFaultEndsTheOperationWithItsReason)
{
    TAVOLEN_REQUIRE(ScriptedSftpServer::Available(), "python3-asyncssh");
    const FaultCase cases[] = {
        {"normal", "password", kPassword, Run::Download, true, {}},
        {"normal", "kbdint", kPassword, Run::List, true, {}},
        {"normal", "password", "wrong", Run::List, false, ErrorReason::ServerRefused},
        {"normal", "kbdint", "wrong", Run::List, false, ErrorReason::ServerRefused},
        {"short-reads", "password", kPassword, Run::Download, true, {}},
        {"oversize", "password", kPassword, Run::List, false, ErrorReason::BadReply},
        {"truncated", "password", kPassword, Run::List, false, ErrorReason::BadReply},
        {"wrong-id", "password", kPassword, Run::List, false, ErrorReason::BadReply},
        {"bad-name", "password", kPassword, Run::List, false, ErrorReason::BadReply},
        {"zero-data", "password", kPassword, Run::Download, false, ErrorReason::BadReply},
        {"eof-early", "password", kPassword, Run::Download, false, ErrorReason::TransferIncomplete},
        {"stall", "password", kPassword, Run::Download, false, ErrorReason::TimedOut},
        {"close", "password", kPassword, Run::Download, false, ErrorReason::ServerClosed},
    };
    const std::string content = Content();
    for (const auto& c : cases) {
        const std::string what = std::string(c.mode) + "/" + c.auth + "/" + c.password;
        ScriptedSftpServer server;
        ASSERT_TRUE(server.Start(c.mode, c.auth)) << what;
        testsupport::TempDir local;
        sftp::ConnectOptions options = OptionsFor(server, c.password);
        options.timeoutMs = 1000;
        sftp::SftpClient client;
        std::optional<transfer::Outcome> outcome;
        client.Connect(*platform::ParseAddressLiteral("127.0.0.1"), options,
                       [&](const transfer::Outcome& o) { outcome = o; });
        ASSERT_TRUE(PumpUntil([&] { return outcome.has_value(); }, 20000)) << what;
        if (outcome->ok) {
            outcome.reset();
            std::vector<transfer::RemoteEntry> entries;
            const bool started =
                c.run == Run::List
                    ? client.List("/d",
                                  [&](const transfer::Outcome& o, const auto& e) {
                                      outcome = o;
                                      entries = e;
                                  })
                    : client.Download("/d/file", local.File("file"), 0, {},
                                      [&](const transfer::Outcome& o) { outcome = o; });
            ASSERT_TRUE(started) << what;
            ASSERT_TRUE(PumpUntil([&] { return outcome.has_value(); }, 20000)) << what;
            if (outcome->ok && c.run == Run::List) {
                ASSERT_EQ(entries.size(), 1u) << what;
                EXPECT_EQ(entries[0].name, "file");
                EXPECT_EQ(entries[0].size, content.size());
            }
            if (outcome->ok && c.run == Run::Download) {
                EXPECT_EQ(outcome->bytes, static_cast<int64_t>(content.size())) << what;
                EXPECT_EQ(testsupport::ReadFileBytes(local.File("file")), content) << what;
            }
        }
        EXPECT_EQ(outcome->ok, c.ok) << what << ": " << outcome->message;
        if (!c.ok) {
            EXPECT_EQ(outcome->reason, c.reason) << what << ": " << outcome->message;
            EXPECT_FALSE(outcome->message.empty()) << what;
        }
        if (!c.ok && c.reason == ErrorReason::ServerRefused) {
            EXPECT_NE(outcome->message.find(std::string(c.auth) == "kbdint" ? "keyboard-interactive"
                                                                            : "password"),
                      std::string::npos)
                << what << ": " << outcome->message;
        }
    }
}

// While no operation runs, a keep-alive goes out every interval until the limit since the last
// operation; none when they are off, and none while an operation runs, however long.
TEST(SftpScriptedFaults, KeepAlivesGoOutOnlyWhileIdleAndUpToTheLimit)
{
    TAVOLEN_REQUIRE(ScriptedSftpServer::Available(), "python3-asyncssh");
    const struct {
        const char* what;
        const char* mode;
        int seconds;
        int limit;
        bool download; // started at once, and never answered
        size_t keepAlives;
    } cases[] = {
        {"off", "normal", 0, 0, false, 0},
        // The second would be due just as the limit is reached, whatever the timers' lag.
        {"every second, for two", "normal", 1, 2, false, 1},
        {"not while a transfer waits", "stall", 1, 0, true, 0},
    };
    for (const auto& c : cases) {
        ScriptedSftpServer server;
        ASSERT_TRUE(server.Start(c.mode, "password")) << c.what;
        const auto keepAlives = [&server] {
            const std::string log = server.Log();
            size_t count = 0;
            for (size_t at = log.find("request 16"); at != std::string::npos;
                 at = log.find("request 16", at + 1))
                ++count;
            return count;
        };
        sftp::ConnectOptions options = OptionsFor(server, kPassword);
        options.timeoutMs = 2500;
        options.keepAliveSeconds = c.seconds;
        options.keepAliveLimitSeconds = c.limit;
        sftp::SftpClient client;
        std::optional<transfer::Outcome> outcome;
        client.Connect(*platform::ParseAddressLiteral("127.0.0.1"), options,
                       [&](const transfer::Outcome& o) { outcome = o; });
        ASSERT_TRUE(PumpUntil([&] { return outcome.has_value(); }, 20000)) << c.what;
        ASSERT_TRUE(outcome->ok) << c.what << ": " << outcome->message;
        testsupport::TempDir local;
        if (c.download) {
            outcome.reset();
            ASSERT_TRUE(client.Download("/d/file", local.File("file"), 0, {},
                                        [&](const transfer::Outcome& o) { outcome = o; }));
            ASSERT_TRUE(PumpUntil([&] { return outcome.has_value(); }, 20000)) << c.what;
            EXPECT_EQ(outcome->reason, ErrorReason::TimedOut) << c.what << ": " << outcome->message;
        } else {
            EXPECT_TRUE(PumpUntil([&] { return keepAlives() >= c.keepAlives; }, 10000)) << c.what;
            // Long enough for one more, were there no limit.
            testsupport::PumpFor(1500);
        }
        EXPECT_EQ(keepAlives(), c.keepAlives) << c.what << "\n" << server.Log();
        if (c.seconds > 0 && !c.download) {
            // An operation of the owner's own starts them again.
            outcome.reset();
            ASSERT_TRUE(
                client.List("/d", [&](const transfer::Outcome& o, const auto&) { outcome = o; }));
            ASSERT_TRUE(PumpUntil([&] { return outcome.has_value(); }, 20000)) << c.what;
            EXPECT_TRUE(outcome->ok) << c.what << ": " << outcome->message;
            EXPECT_TRUE(PumpUntil([&] { return keepAlives() > c.keepAlives; }, 10000)) << c.what;
            EXPECT_TRUE(client.Idle()) << c.what << ": the answers were taken as they came";
        }
    }
}

} // namespace
