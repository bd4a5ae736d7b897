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
constexpr const char* kScript = TAVOLEN_SOURCE_DIR "/tests/sftp/sftp_fault_server.py";

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
            const std::string at = std::to_string(port);
            return std::vector<std::string>{
                testsupport::kPython3, "-W", "ignore", kScript, at, key, mode, auth, kPassword};
        });
    }
    const std::string& Fingerprint() const { return fingerprint_; }
    // How many keep-alives the server saw.
    size_t KeepAlives() const
    {
        const std::string log = Log();
        size_t count = 0;
        for (size_t at = log.find("request 16"); at != std::string::npos;
             at = log.find("request 16", at + 1))
            ++count;
        return count;
    }

private:
    std::string fingerprint_;
};

// Runs `start` (which hands the client a callback and says whether it began) until that
// callback came.
template <typename Start> transfer::Outcome Await(Start&& start)
{
    std::optional<transfer::Outcome> outcome;
    EXPECT_TRUE(start([&](const transfer::Outcome& o) { outcome = o; }));
    EXPECT_TRUE(PumpUntil([&] { return outcome.has_value(); }, 20000));
    return outcome.value_or(transfer::Outcome{});
}

// Connects `client` to `server` with `password` and the server's key pinned.
transfer::Outcome Connect(sftp::SftpClient& client, const ScriptedSftpServer& server,
                          const char* password, int timeoutMs, int keepAliveSeconds = 0,
                          int keepAliveLimitSeconds = 0)
{
    sftp::ConnectOptions options;
    options.timeoutMs = timeoutMs;
    options.keepAliveSeconds = keepAliveSeconds;
    options.keepAliveLimitSeconds = keepAliveLimitSeconds;
    options.host = "127.0.0.1";
    options.port = server.Port();
    options.user = "tester";
    options.password = password;
    options.useAgent = false;
    options.pinnedFingerprint = server.Fingerprint();
    return Await([&](auto done) {
        client.Connect(*platform::ParseAddressLiteral("127.0.0.1"), options, done);
        return true;
    });
}

TEST(SftpScriptedFaults, EveryFaultEndsTheOperationWithItsReason)
{
    TAVOLEN_REQUIRE(ScriptedSftpServer::Available(), "python3-asyncssh");
    enum Run { List, Download };
    const struct {
        const char* mode;
        const char* auth;
        const char* password;
        Run run;
        std::optional<ErrorReason> reason; // none: ok
        const char* mentions = "";         // in the message of a refusal
    } cases[] = {
        {"normal", "password", kPassword, Download, {}},
        {"normal", "kbdint", kPassword, List, {}},
        {"normal", "password", "wrong", List, ErrorReason::ServerRefused, "password"},
        {"normal", "kbdint", "wrong", List, ErrorReason::ServerRefused, "keyboard-interactive"},
        {"short-reads", "password", kPassword, Download, {}},
        {"oversize", "password", kPassword, List, ErrorReason::BadReply},
        {"truncated", "password", kPassword, List, ErrorReason::BadReply},
        {"wrong-id", "password", kPassword, List, ErrorReason::BadReply},
        {"bad-name", "password", kPassword, List, ErrorReason::BadReply},
        {"zero-data", "password", kPassword, Download, ErrorReason::BadReply},
        {"eof-early", "password", kPassword, Download, ErrorReason::TransferIncomplete},
        {"stall", "password", kPassword, Download, ErrorReason::TimedOut},
        {"close", "password", kPassword, Download, ErrorReason::ServerClosed},
    };
    std::string content; // every byte value, 1024 times over
    for (int i = 0; i < 256 * 1024; ++i) content.push_back(static_cast<char>(i));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + "/" + c.auth + "/" + c.password);
        ScriptedSftpServer server;
        ASSERT_TRUE(server.Start(c.mode, c.auth));
        testsupport::TempDir local;
        sftp::SftpClient client;
        auto outcome = Connect(client, server, c.password, 1000);
        std::vector<transfer::RemoteEntry> entries;
        if (outcome.ok)
            outcome = Await([&](auto done) {
                return c.run == List ? client.List("/d",
                                                   [&entries, done](const auto& o, const auto& e) {
                                                       entries = e;
                                                       done(o);
                                                   })
                                     : client.Download("/d/file", local.File("file"), 0, {}, done);
            });
        EXPECT_EQ(outcome.ok, !c.reason) << outcome.message;
        if (outcome.ok && c.run == List) {
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].name, "file");
            EXPECT_EQ(entries[0].size, content.size());
        }
        if (outcome.ok && c.run == Download) {
            EXPECT_EQ(outcome.bytes, static_cast<int64_t>(content.size()));
            EXPECT_EQ(testsupport::ReadFileBytes(local.File("file")), content);
        }
        if (c.reason) {
            EXPECT_EQ(outcome.reason, *c.reason) << outcome.message;
            EXPECT_FALSE(outcome.message.empty());
            EXPECT_NE(outcome.message.find(c.mentions), std::string::npos) << outcome.message;
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
        SCOPED_TRACE(c.what);
        ScriptedSftpServer server;
        ASSERT_TRUE(server.Start(c.mode, "password"));
        sftp::SftpClient client;
        const auto connected = Connect(client, server, kPassword, 2500, c.seconds, c.limit);
        ASSERT_TRUE(connected.ok) << connected.message;
        testsupport::TempDir local;
        if (c.download) {
            const auto outcome = Await([&](auto done) {
                return client.Download("/d/file", local.File("file"), 0, {}, done);
            });
            EXPECT_EQ(outcome.reason, ErrorReason::TimedOut) << outcome.message;
        } else {
            EXPECT_TRUE(PumpUntil([&] { return server.KeepAlives() >= c.keepAlives; }, 10000));
            // Long enough for one more, were there no limit.
            testsupport::PumpFor(1500);
        }
        EXPECT_EQ(server.KeepAlives(), c.keepAlives) << server.Log();
        if (c.seconds > 0 && !c.download) {
            // An operation of the owner's own starts them again.
            const auto listed = Await([&](auto done) {
                return client.List("/d", [done](const auto& o, const auto&) { done(o); });
            });
            EXPECT_TRUE(listed.ok) << listed.message;
            EXPECT_TRUE(PumpUntil([&] { return server.KeepAlives() > c.keepAlives; }, 10000));
            EXPECT_TRUE(client.Idle()) << "the answers were taken as they came";
        }
    }
}

} // namespace
