// The stream operations of the socket component over TLS, against an in-process TLS server: the
// same results as on a plain socket, and the ways an encrypted stream can end.
#include "StreamPeer.h"
#include "TlsTestUtil.h"
#include "support/EventLoop.h"
#include "support/Outcome.h"
#include "support/TestUtil.h"

#include "net/Wirecore.h"

#include <gtest/gtest.h>

#include <optional>

using namespace tlstest;
using streamtest::EveryByteValue;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

TEST(TlsStream, LinesCountedReadsAndTransactionsReadAsOnAPlainSocket)
{
    TAVOLEN_REQUIRE_OPENSSL();
    TlsServerPeer peer(Certs().Server());
    const std::string block = EveryByteValue(40000); // spans three records
    std::string command;
    TWirecore socket(nullptr);
    TlsLink link(socket, peer, [&](TlsServerPeer& p) {
        p.Send("first\r\nsecond\n" + block + "tail");
        command = p.ReceiveLine();
        p.Send("200 ok\r\n");
    });
    EXPECT_EQ(socket.ReadLn(), "first\r\n");
    EXPECT_EQ(socket.ReadLn(), "second\n");
    EXPECT_EQ(socket.Read(40000), block);
    EXPECT_EQ(socket.Read(4), "tail");
    EXPECT_EQ(socket.Transaction("NOOP"), "200 ok\r\n");
    EXPECT_EQ(socket.ReplyCode, 200);
    link.Join();
    EXPECT_EQ(command, "NOOP\r\n");
}

// OpenSSL reads ahead: once the socket is empty no notification announces what it holds. The
// close notification must not close a connection whose last lines are still held there.
TEST(TlsStream, DataAvailableCountsDecryptedBytesNoNotificationAnnounces)
{
    TAVOLEN_REQUIRE_OPENSSL();
    TlsServerPeer peer(Certs().Server());
    TWirecore socket(nullptr);
    TlsLink link(socket, peer, [](TlsServerPeer& p) {
        p.Send("first\r\n");
        p.Send("second\r\n");
        p.CloseNotify();
    });
    link.Join();
    ASSERT_TRUE(streamtest::WaitPending(socket, 1));
    EXPECT_EQ(socket.ReadLn(), "first\r\n");
    testsupport::PumpFor(100); // the peer's close is reported meanwhile
    EXPECT_EQ(platform::PendingBytes(socket.SocketHandle), 0);
    EXPECT_TRUE(socket.DataAvailable());
    EXPECT_TRUE(socket.Connected);
    EXPECT_EQ(socket.ReadLn(), "second\r\n");
    EXPECT_EQ(socket.ReadLn(), "");
    EXPECT_FALSE(socket.TlsTruncated());
}

// The peer sends while the upload is on its way (a TLS server sends session tickets unasked): a
// socket closed with those bytes unread would reset the connection and lose the upload's tail.
TEST(TlsStream, FilesGoBothWaysByteExactAndACloseSendsCloseNotify)
{
    TAVOLEN_REQUIRE_OPENSSL();
    testsupport::TempDir dir;
    const std::string data = EveryByteValue(3 << 20);
    WriteFileBytes(dir.File("source"), data);

    TlsServerPeer peer(Certs().Server());
    std::string uploaded;
    bool closeNotifySeen = false;
    {
        TWirecore socket(nullptr);
        int packets = 0;
        socket.OnPacketSent = [&](TComponent*) { ++packets; };
        TlsLink link(socket, peer, [&](TlsServerPeer& p) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            p.Send("unasked");
            uploaded = p.ReceiveToEnd();
            closeNotifySeen = p.ClientSentCloseNotify();
        });
        socket.SendFile(dir.File("source"));
        EXPECT_EQ(socket.BytesSent, static_cast<int64_t>(data.size()));
        EXPECT_GE(packets, 3 << 4); // a send per 64 KiB at least
        socket.Disconnect();
    }
    EXPECT_EQ(testsupport::Sha256OfBytes(uploaded), testsupport::Sha256OfBytes(data));
    EXPECT_TRUE(closeNotifySeen);

    TWirecore socket(nullptr);
    int packets = 0;
    socket.OnPacketRecvd = [&](TComponent*) { ++packets; };
    TlsLink link(socket, peer, [&](TlsServerPeer& p) {
        p.Send(data);
        p.CloseNotify();
    });
    socket.CaptureFile(dir.File("target"));
    EXPECT_EQ(testsupport::Sha256OfFile(dir.File("target")), testsupport::Sha256OfBytes(data));
    EXPECT_EQ(socket.BytesReceived, static_cast<int64_t>(data.size()));
    EXPECT_GT(packets, 0);
}

// vsftpd reports a download complete only once the client has answered its close_notify, and a
// client closes the data connection only after that report.
TEST(TlsStream, TheServersCloseNotifyIsAnsweredAtOnce)
{
    TAVOLEN_REQUIRE_OPENSSL();
    testsupport::TempDir dir;
    TlsServerPeer peer(Certs().Server());
    bool answered = false;
    TWirecore socket(nullptr);
    TlsLink link(socket, peer, [&](TlsServerPeer& p) {
        p.Send(EveryByteValue(100000));
        p.SendCloseNotify();
        p.ReceiveToEnd(); // gives up after ten seconds
        answered = p.ClientSentCloseNotify();
    });
    socket.CaptureFile(dir.File("target"));
    link.Join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(socket.BytesReceived, 100000);
}

// A TLS stream that ends without close_notify may have been cut by someone on the path: a file
// received up to such an end is not known to be whole.
TEST(TlsStream, AFileCutWithoutCloseNotifyFailsWhereALineReadEndsQuietly)
{
    TAVOLEN_REQUIRE_OPENSSL();
    enum class Op { Capture, Append, ReadLn };
    enum class End { CloseNotify, Cut, Reset };
    struct Case {
        const char* name;
        Op op;
        End end;
        std::optional<ErrorReason> raised;
        bool truncated;
    };
    const std::vector<Case> cases = {
        {"capture, close_notify", Op::Capture, End::CloseNotify, std::nullopt, false},
        {"capture, cut", Op::Capture, End::Cut, ErrorReason::TlsTruncated, true},
        {"capture, reset", Op::Capture, End::Reset, ErrorReason::SocketError, false},
        {"append, close_notify", Op::Append, End::CloseNotify, std::nullopt, false},
        {"append, cut", Op::Append, End::Cut, ErrorReason::TlsTruncated, true},
        {"readln, close_notify", Op::ReadLn, End::CloseNotify, std::nullopt, false},
        {"readln, cut", Op::ReadLn, End::Cut, std::nullopt, true},
    };
    testsupport::TempDir dir;
    const std::string data = EveryByteValue(100000); // no line feed in the first 10
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFileBytes(dir.File("target"), "");
        TlsServerPeer peer(Certs().Server());
        TWirecore socket(nullptr);
        TlsLink link(socket, peer, [&](TlsServerPeer& p) {
            p.Send(c.op == Op::ReadLn ? data.substr(0, 10) : data);
            if (c.end == End::CloseNotify) p.CloseNotify();
            if (c.end == End::Cut) p.Cut();
            if (c.end == End::Reset) p.Reset();
        });
        std::string line = "(not read)";
        const auto raised = testsupport::ReasonRaisedBy([&] {
            if (c.op == Op::Capture) socket.CaptureFile(dir.File("target"));
            if (c.op == Op::Append) socket.AppendFile(dir.File("target"));
            if (c.op == Op::ReadLn) line = socket.ReadLn();
        });
        EXPECT_EQ(raised, c.raised);
        EXPECT_EQ(socket.TlsTruncated(), c.truncated);
        if (c.op == Op::ReadLn) {
            EXPECT_EQ(line, "");
        }
    }
}

TEST(TlsStream, TimeOutEndsASendToAPeerThatStoppedReading)
{
    TAVOLEN_REQUIRE_OPENSSL();
    TlsServerPeer peer(Certs().Server());
    TWirecore socket(nullptr);
    TlsLink link(socket, peer, [](TlsServerPeer&) {}); // reads nothing
    socket.TimeOut = 200;
    const std::string block(65000, 's');
    std::optional<ErrorReason> raised;
    for (int i = 0; i < 2000 && !raised; ++i)
        raised = testsupport::ReasonRaisedBy([&] { socket.Write(block); });
    EXPECT_EQ(raised, ErrorReason::TimedOut);
    EXPECT_FALSE(socket.Canceled);
}
