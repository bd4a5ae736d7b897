// The SFTP client against peers that are no SSH server: each ends the connect with a clear
// failure and never a hang.
#include "sftp/SftpClient.h"

#include "support/EventLoop.h"
#include "support/Loopback.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <optional>
#include <unistd.h>

namespace {

using testsupport::IpFamily;

struct PeerCase {
    const char* what;
    // What the peer does with the connection it accepted (none: it never accepts).
    std::function<void(testsupport::UniqueFd&)> behave;
    ErrorReason reason;
};

TEST(SftpPeerFaults, ConnectsThatCannotSucceedEndWithAReason)
{
    const PeerCase cases[] = {
        {"silent after the connect", [](testsupport::UniqueFd&) {}, ErrorReason::TimedOut},
        {"closes at once", [](testsupport::UniqueFd& peer) { peer.Reset(); },
         ErrorReason::ConnectFailed},
        {"speaks something else",
         [](testsupport::UniqueFd& peer) {
             const char reply[] = "220 an FTP server\r\n";
             ASSERT_GT(::write(peer.Get(), reply, sizeof reply - 1), 0);
             peer.Reset();
         },
         ErrorReason::ConnectFailed},
        {"an endless banner line",
         [](testsupport::UniqueFd& peer) {
             const std::string line(256 * 1024, 'S');
             (void)::write(peer.Get(), line.data(), line.size());
         },
         ErrorReason::ConnectFailed},
    };
    for (const auto& c : cases) {
        testsupport::LoopbackListener listener;
        ASSERT_TRUE(listener.Valid());
        sftp::ConnectOptions options;
        options.host = "127.0.0.1";
        options.port = listener.Port();
        options.user = "nobody";
        options.timeoutMs = 500;
        sftp::SftpClient client;
        std::optional<transfer::Outcome> outcome;
        client.Connect(*platform::ParseAddressLiteral("127.0.0.1"), options,
                       [&](const transfer::Outcome& o) { outcome = o; });
        testsupport::UniqueFd peer = listener.AcceptOne();
        ASSERT_TRUE(peer.Valid()) << c.what;
        c.behave(peer);
        ASSERT_TRUE(testsupport::PumpUntil([&] { return outcome.has_value(); }, 10000))
            << c.what << ": no end";
        EXPECT_FALSE(outcome->ok) << c.what;
        EXPECT_EQ(outcome->reason, c.reason) << c.what << ": " << outcome->message;
        EXPECT_FALSE(outcome->message.empty()) << c.what;
        EXPECT_FALSE(client.Idle()) << c.what;
    }
}

TEST(SftpPeerFaults, NobodyListeningOrNoAnswerToTheConnect)
{
    const auto connect = [](uint16_t port) {
        sftp::ConnectOptions options;
        options.host = "127.0.0.1";
        options.port = port;
        options.timeoutMs = 500;
        sftp::SftpClient client;
        std::optional<transfer::Outcome> outcome;
        client.Connect(*platform::ParseAddressLiteral("127.0.0.1"), options,
                       [&](const transfer::Outcome& o) { outcome = o; });
        EXPECT_TRUE(testsupport::PumpUntil([&] { return outcome.has_value(); }, 10000));
        return outcome.value_or(transfer::Outcome{});
    };
    EXPECT_EQ(connect(testsupport::FreeLoopbackPort()).reason, ErrorReason::ConnectFailed);
    testsupport::SilentListener silent;
    EXPECT_EQ(connect(silent.Port()).reason, ErrorReason::ConnectTimedOut);

    // Closed while the connect waits: the connect ends Canceled, not never.
    sftp::ConnectOptions options;
    options.host = "127.0.0.1";
    options.port = silent.Port();
    options.timeoutMs = 0;
    sftp::SftpClient client;
    std::optional<transfer::Outcome> outcome;
    client.Connect(*platform::ParseAddressLiteral("127.0.0.1"), options,
                   [&](const transfer::Outcome& o) { outcome = o; });
    testsupport::PumpFor(50);
    client.Close();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return outcome.has_value(); }, 10000));
    EXPECT_EQ(outcome->reason, ErrorReason::Canceled);
}

} // namespace
