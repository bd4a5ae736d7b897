// Stream input and output of the socket component against a real loopback peer.
#include "StreamPeer.h"
#include "support/EventLoop.h"
#include "support/Loopback.h"
#include "support/Outcome.h"
#include "support/TestUtil.h"

#include "net/Wirecore.h"
#include "platform/Sockets.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

using streamtest::ConnectPair;
using streamtest::EveryByteValue;
using streamtest::WaitPending;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

using testsupport::IpFamily;
// The tests that move lines and files run over both families: nothing in the stream path may
// depend on which one carries the bytes.
constexpr IpFamily kBothFamilies[] = {IpFamily::V4, IpFamily::V6};

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <typename Operation> std::string ErrorOf(Operation operation)
{
    try {
        operation();
    } catch (const EAbortError& error) {
        return "abort: " + error.Message();
    } catch (const ESockError& error) {
        return error.Message();
    }
    return "none";
}

// Whether the main thread, which runs the event loop, is asleep in it right now.
bool MainThreadAsleep()
{
    std::ifstream stat("/proc/self/task/" + std::to_string(::getpid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t afterName = text.rfind(')');
    return afterName != std::string::npos && text.compare(afterName + 1, 3, " S ") == 0;
}

} // namespace

// --- Lines ---------------------------------------------------------------------------------------

TEST(WirecoreReadLn, ReturnsOneLineWithItsEndAndLeavesTheNextInTheSocket)
{
    for (IpFamily family : kBothFamilies) {
        SCOPED_TRACE(testsupport::LoopbackText(family));
        TWirecore socket(nullptr);
        auto peer = ConnectPair(socket, family);
        peer->Send("123456789\r\nsecond\nthird");
        ASSERT_TRUE(WaitPending(socket, 23));

        EXPECT_EQ(socket.ReadLn(), "123456789\r\n");
        EXPECT_EQ(platform::PendingBytes(socket.SocketHandle), 12);
        EXPECT_EQ(socket.ReadLn(), "second\n");
        EXPECT_EQ(socket.Read(0), "third");
        EXPECT_FALSE(socket.TimeoutTimer->Enabled());
    }
}

TEST(WirecoreReadLn, JoinsALineThatArrivesInPieces)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    std::jthread sender([&] {
        for (const char* piece : {"US", "ER anon", "ymous\r", "\nNEXT\r\n"}) {
            Pause(30);
            peer->Send(piece);
        }
    });
    EXPECT_EQ(socket.ReadLn(), "USER anonymous\r\n");
    EXPECT_EQ(socket.ReadLn(), "NEXT\r\n");
}

TEST(WirecoreReadLn, GivesEmptyTextWhenThePeerClosesBeforeTheLineEnds)
{
    TWirecore socket(nullptr);
    int errors = 0;
    socket.OnError = [&](TComponent*, uint16_t, const std::string&) { ++errors; };
    auto peer = ConnectPair(socket);
    peer->Send("no line end");
    peer->ShutdownWrite();

    EXPECT_EQ(socket.ReadLn(), "");
    // Once the close notification has replaced the socket, a read finds it unconnected: still
    // the empty text, and no error.
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !socket.Connected; }));
    EXPECT_EQ(socket.ReadLn(), "");
    EXPECT_EQ(errors, 0);
}

TEST(WirecoreReadLn, ReturnsLongLinesWholeUpToTheLimitAndClosesTheConnectionPastIt)
{
    TWirecore socket(nullptr);
    int disconnects = 0;
    socket.OnDisconnect = [&](TComponent*) { ++disconnects; };
    auto peer = ConnectPair(socket);
    const std::string longLine = std::string(200000, 'L') + "\r\n";
    const size_t overflow = 100;
    std::jthread sender([&] {
        peer->Send(longLine + std::string(TWirecore::kMaxLineLength + overflow, 'x') +
                   "\nnext\r\n");
    });
    EXPECT_EQ(socket.ReadLn(), longLine);
    EXPECT_EQ(testsupport::ReasonRaisedBy([&] { socket.ReadLn(); }), ErrorReason::LineTooLong);
    // The rest of the long line would have been read as a line of its own ("xxx...x\n"): the
    // connection is closed instead, so nothing of it can be.
    EXPECT_FALSE(socket.Connected);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(socket.ReadLn(), "");
}

TEST(WirecoreTransaction, TakesTheReplyCodeFromTheLeadingDigits)
{
    TWirecore socket(nullptr);
    socket.ReportLevel = 1;
    std::vector<std::string> reported;
    socket.OnStatus = [&](TComponent*, const std::string& text) { reported.push_back(text); };
    auto peer = ConnectPair(socket);
    const std::vector<std::string> replies = {"250 CWD ok\r\n", "abc 12\r\n", "1234567 too big\r\n",
                                              "99999999999 huge\r\n"};
    std::vector<std::string> commands;
    std::jthread server([&] {
        for (const std::string& reply : replies) {
            commands.push_back(peer->ReceiveLine());
            peer->Send(reply);
        }
        commands.push_back(peer->ReceiveLine());
        peer->ShutdownWrite();
    });

    EXPECT_EQ(socket.Transaction("CWD /"), "250 CWD ok\r\n");
    EXPECT_EQ(socket.ReplyCode, 250);
    EXPECT_EQ(socket.LastReply, "250 CWD ok\r\n");
    socket.Transaction("X");
    EXPECT_EQ(socket.ReplyCode, 0);
    EXPECT_THROW(socket.Transaction("Y"), RangeError);
    EXPECT_EQ(socket.LastReply, "1234567 too big\r\n");
    EXPECT_EQ(socket.ReplyCode, 0);
    socket.Transaction("Z"); // more digits than 32 bits hold: read as 0
    EXPECT_EQ(socket.ReplyCode, 0);
    EXPECT_EQ(socket.Transaction("QUIT"), ""); // the peer closed instead of answering
    EXPECT_EQ(socket.ReplyCode, 0);
    server.join();

    EXPECT_EQ(commands,
              (std::vector<std::string>{"CWD /\r\n", "X\r\n", "Y\r\n", "Z\r\n", "QUIT\r\n"}));
    EXPECT_EQ(reported, replies); // the replies at level 1, the missing one not at all
}

// --- Counted reads, waiting input ----------------------------------------------------------------

TEST(WirecoreRead, CountZeroTakesWhatIsWaitingUpToOneChunk)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    EXPECT_FALSE(socket.DataAvailable());
    EXPECT_EQ(socket.Read(0), "");

    peer->Send("0123456789");
    ASSERT_TRUE(WaitPending(socket, 10));
    EXPECT_TRUE(socket.DataAvailable()); // looks without taking
    EXPECT_EQ(socket.Read(0), "0123456789");

    const std::string data = EveryByteValue(70000);
    std::jthread sender([&] {
        peer->Send(data);
        peer->ShutdownWrite();
    });
    ASSERT_TRUE(WaitPending(socket, 70000));
    EXPECT_EQ(socket.Read(0), data.substr(0, 65536));
    EXPECT_EQ(socket.Read(0), data.substr(65536));
    EXPECT_EQ(socket.Read(5), ""); // closed, nothing left
}

TEST(WirecoreRead, CountWaitsForTheMissingBytesUntilTheyComeOrCancel)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    peer->Send("abc");
    ASSERT_TRUE(WaitPending(socket, 3));
    QTimer::singleShot(50, [&] { peer->Send("de!"); });
    EXPECT_EQ(socket.Read(5), "abcde");

    QTimer::singleShot(50, [&] { socket.Cancel(); });
    EXPECT_EQ(ErrorOf([&] { socket.Read(2); }), "abort: Socket send aborted");
    EXPECT_FALSE(socket.Canceled);
    EXPECT_EQ(socket.Read(1), "!"); // the cancelled read took nothing

    // The peer closes during the wait: its close notification replaces the socket, and the read
    // ends with nothing, like a read that finds the stream closed.
    int errors = 0;
    socket.OnError = [&](TComponent*, uint16_t, const std::string&) { ++errors; };
    std::jthread closer([&] {
        Pause(50);
        peer->ShutdownWrite();
    });
    EXPECT_EQ(socket.Read(5), "");
    EXPECT_FALSE(socket.Connected);
    EXPECT_EQ(socket.Read(0), "");
    EXPECT_EQ(errors, 0);
}

// A read that has part of its count is woken by each arrival of more bytes, and by nothing else:
// not by the bytes it has already seen (that would spin), and not only by a timer.
TEST(WirecoreRead, APartlySatisfiedCountIsWokenByEachArrival)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    peer->Send("abc");
    ASSERT_TRUE(WaitPending(socket, 3));
    std::atomic<int> wakeUps{0};
    socket.OnDataArrival = [&](TComponent*) { ++wakeUps; };
    // Each byte goes out while the read sleeps in the event loop; the next one once the read
    // has been woken by it (or after a while, when it never is).
    std::jthread sender([&] {
        for (const char* byte : {"d", "e"}) {
            for (int i = 0; i < 500 && !MainThreadAsleep(); ++i) Pause(10);
            const int before = wakeUps;
            peer->Send(byte);
            for (int i = 0; i < 200 && wakeUps == before; ++i) Pause(10);
        }
    });
    EXPECT_EQ(socket.Read(5), "abcde");
    sender.join();
    EXPECT_EQ(wakeUps, 2);
}

TEST(WirecoreInput, ClearInputDiscardsAtMostOneChunk)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    testsupport::TempDir dir;
    const size_t total = 100000;
    std::jthread sender([&] {
        peer->Send(std::string(total, 'z'));
        peer->ShutdownWrite();
    });
    ASSERT_TRUE(WaitPending(socket, 70000));
    socket.ClearInput();
    socket.CaptureFile(dir.File("rest"));
    const int64_t discarded = static_cast<int64_t>(total) - socket.BytesReceived;
    EXPECT_GT(discarded, 0);
    EXPECT_LE(discarded, 65536);
}

// --- Writing -------------------------------------------------------------------------------------

TEST(WirecoreWrite, SendsTextUpToItsFirstZeroAndRefusesWhatDoesNotFit)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    socket.Write("");
    socket.Writeln("NOOP");
    socket.Write(std::string("ab\0cd", 5));
    EXPECT_THROW(socket.Write(std::string(65536, 'a')), RangeError);
    EXPECT_THROW(socket.SendBuffer("x", 65536), RangeError);
    socket.Write(std::string(65535, 'b'));
    socket.Writeln("END");
    const std::string expected = "NOOP\r\nab" + std::string(65535, 'b') + "END\r\n";
    EXPECT_EQ(peer->Receive(expected.size()), expected);
    EXPECT_FALSE(socket.TimeoutTimer->Enabled());
}

// --- Files ---------------------------------------------------------------------------------------

TEST(WirecoreSendFile, SendsEveryByteAndCountsEachSend)
{
    for (IpFamily family : kBothFamilies) {
        SCOPED_TRACE(testsupport::LoopbackText(family));
        TWirecore socket(nullptr);
        auto peer = ConnectPair(socket, family);
        testsupport::TempDir dir;
        const std::string data = EveryByteValue(300000);
        WriteFileBytes(dir.File("source"), data);
        std::string received;
        std::jthread receiver([&] { received = peer->Receive(2 * data.size()); });
        std::vector<int64_t> counts;
        socket.OnPacketSent = [&](TComponent* sender) {
            EXPECT_EQ(sender, &socket);
            counts.push_back(socket.BytesSent);
        };

        const int unsentLimit = platform::SetUnsentLimit(socket.SocketHandle, 1 << 20);
        platform::SetUnsentLimit(socket.SocketHandle, unsentLimit);
        socket.SendFile(dir.File("source"));
        EXPECT_EQ(socket.BytesSent, 300000);
        // The sending may narrow the socket's queue, but gives it back as it was.
        EXPECT_EQ(platform::SetUnsentLimit(socket.SocketHandle, unsentLimit), unsentLimit);
        ASSERT_GE(counts.size(), 5u); // at least one send per chunk
        EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
        EXPECT_EQ(counts.back(), 300000);
        socket.SendFile(dir.File("source")); // the counter runs on across files
        EXPECT_EQ(socket.BytesSent, 600000);
        receiver.join();
        EXPECT_EQ(received, data + data);
    }
}

TEST(WirecoreSendFile, EmptyFileSendsNothingAndMissingFileFailsToOpen)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    testsupport::TempDir dir;
    WriteFileBytes(dir.File("empty"), "");
    int packets = 0;
    socket.OnPacketSent = [&](TComponent*) { ++packets; };
    socket.SendFile(dir.File("empty"));
    EXPECT_EQ(socket.BytesSent, 0);
    EXPECT_EQ(packets, 0);
    try {
        socket.SendFile(dir.File("missing"));
        FAIL() << "a missing file was sent";
    } catch (const FileOpenError& error) {
        EXPECT_EQ(error.Message(), "Cannot open file " + dir.File("missing"));
    }
    socket.Writeln("END"); // nothing went out before it
    EXPECT_EQ(peer->ReceiveLine(), "END\r\n");
}

TEST(WirecoreCaptureFile, ReplacesTheFileWithEveryByteReceived)
{
    for (IpFamily family : kBothFamilies) {
        SCOPED_TRACE(testsupport::LoopbackText(family));
        TWirecore socket(nullptr);
        auto peer = ConnectPair(socket, family);
        testsupport::TempDir dir;
        const std::string data = EveryByteValue(300000);
        WriteFileBytes(dir.File("target"), std::string(400000, '?')); // longer: must not survive
        std::jthread sender([&] {
            peer->Send(data);
            peer->Close();
        });
        std::vector<int64_t> counts;
        socket.OnPacketRecvd = [&](TComponent*) { counts.push_back(socket.BytesReceived); };

        socket.CaptureFile(dir.File("target"));
        EXPECT_EQ(ReadFileBytes(dir.File("target")), data);
        EXPECT_EQ(socket.BytesReceived, 300000);
        ASSERT_FALSE(counts.empty());
        EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
        EXPECT_EQ(counts.back(), 300000);
        EXPECT_FALSE(socket.TimeoutTimer->Enabled());

        // Nothing at all from a second peer: the file is emptied, no packet event.
        TWirecore second(nullptr);
        auto silent = ConnectPair(second, family);
        int packets = 0;
        second.OnPacketRecvd = [&](TComponent*) { ++packets; };
        silent->Close();
        second.CaptureFile(dir.File("target"));
        EXPECT_EQ(ReadFileBytes(dir.File("target")), "");
        EXPECT_EQ(second.BytesReceived, 0);
        EXPECT_EQ(packets, 0);
    }
}

// The bytes go from the socket to the file through a pipe the thread keeps. A file that refuses
// them part way (a full disk; here a file size limit) must fail the capture, and must not leave
// the rest of the refused chunk in that pipe, where it would open the next file.
TEST(WirecoreCaptureFile, FileThatRefusesTheBytesFailsAndLeavesNothingForTheNextFile)
{
    testsupport::TempDir dir;
    {
        struct FileSizeLimit {
            rlimit saved{};
            sighandler_t savedSignal;
            explicit FileSizeLimit(rlim_t bytes)
            {
                getrlimit(RLIMIT_FSIZE, &saved);
                savedSignal = std::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
                rlimit limited = saved;
                limited.rlim_cur = bytes;
                setrlimit(RLIMIT_FSIZE, &limited);
            }
            ~FileSizeLimit()
            {
                setrlimit(RLIMIT_FSIZE, &saved);
                std::signal(SIGXFSZ, savedSignal);
            }
        } limit(100000);
        TWirecore socket(nullptr);
        auto peer = ConnectPair(socket);
        std::jthread sender([&] {
            peer->Send(std::string(300000, 'x'));
            peer->Close();
        });
        try {
            socket.CaptureFile(dir.File("limited"));
            FAIL() << "the file took more than its limit";
        } catch (const FileWriteError& error) {
            EXPECT_EQ(error.Reason(), ErrorReason::FileWrite);
            EXPECT_EQ(error.ErrorNumber(), EFBIG);
        }
        socket.Disconnect();
    }
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    const std::string data = EveryByteValue(150000);
    std::jthread sender([&] {
        peer->Send(data);
        peer->Close();
    });
    socket.CaptureFile(dir.File("next"));
    EXPECT_EQ(ReadFileBytes(dir.File("next")), data);
    EXPECT_EQ(socket.BytesReceived, 150000);
}

TEST(WirecoreCaptureFile, TimeOutRestartsWithEveryChunk)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    testsupport::TempDir dir;
    socket.TimeOut = 500;
    // Twenty pieces spread over about a second: twice the time-out, yet never a pause near it.
    std::jthread sender([&] {
        for (int i = 0; i < 20; ++i) {
            peer->Send("01234");
            Pause(50);
        }
        peer->Close();
    });
    socket.CaptureFile(dir.File("slow"));
    EXPECT_EQ(socket.BytesReceived, 100);
    EXPECT_FALSE(socket.TimedOut);
}

TEST(WirecoreAppendFile, AddsTheReceivedBytesAfterTheLastByte)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    testsupport::TempDir dir;
    EXPECT_THROW(socket.AppendFile(dir.File("target")), FileOpenError); // it must exist

    const std::string data = EveryByteValue(200000);
    WriteFileBytes(dir.File("target"), "head:");
    std::jthread sender([&] {
        peer->Send(data);
        peer->Close();
    });
    int packets = 0;
    socket.OnPacketRecvd = [&](TComponent*) { ++packets; };
    socket.AppendFile(dir.File("target"));
    EXPECT_EQ(ReadFileBytes(dir.File("target")), "head:" + data);
    EXPECT_EQ(socket.BytesReceived, 200000);
    EXPECT_GT(packets, 0);
}

// --- Cancellation, time-out, errors --------------------------------------------------------------

TEST(WirecoreStreamCancel, CancelFromThePacketEventEndsCaptureFile)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    testsupport::TempDir dir;
    std::jthread sender([&] { peer->Send(std::string(4 << 20, 'd')); });
    int packets = 0;
    socket.OnPacketRecvd = [&](TComponent*) {
        ++packets;
        socket.Cancel();
    };
    EXPECT_EQ(ErrorOf([&] { socket.CaptureFile(dir.File("target")); }),
              "abort: Socket send aborted");
    EXPECT_EQ(packets, 1);
    EXPECT_FALSE(socket.Canceled);
    EXPECT_FALSE(socket.TimeoutTimer->Enabled());
    socket.Disconnect(); // resets the connection, so the sender stops
}

TEST(WirecoreStreamCancel, CancelOrTimeOutEndsReadLnOnASilentPeer)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    QTimer::singleShot(50, [&] { socket.Cancel(); });
    EXPECT_EQ(ErrorOf([&] { socket.ReadLn(); }), "abort: Socket readln aborted");
    EXPECT_FALSE(socket.Canceled);

    socket.TimeOut = 100;
    EXPECT_EQ(ErrorOf([&] { socket.ReadLn(); }), "abort: Socket readln aborted");
    EXPECT_TRUE(socket.TimedOut);
    EXPECT_FALSE(socket.Canceled);
    EXPECT_FALSE(socket.TimeoutTimer->Enabled());
}

TEST(WirecoreStreamCancel, LeftOverCancelEndsTheNextOperationBeforeItMovesAnything)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    peer->Send("waiting line\r\n");
    ASSERT_TRUE(WaitPending(socket, 14));

    socket.Cancel();
    EXPECT_EQ(ErrorOf([&] { socket.Writeln("lost"); }), "abort: Socket send aborted");
    EXPECT_FALSE(socket.Canceled);
    socket.Cancel();
    EXPECT_EQ(ErrorOf([&] { socket.ReadLn(); }), "abort: Socket readln aborted");

    EXPECT_EQ(socket.ReadLn(), "waiting line\r\n");
    socket.Writeln("sent");
    EXPECT_EQ(peer->ReceiveLine(), "sent\r\n");

    // Only the start of a line is there: a cancelled read must not take it, or it is lost.
    peer->Send("partial");
    ASSERT_TRUE(WaitPending(socket, 7));
    socket.Cancel();
    EXPECT_EQ(ErrorOf([&] { socket.ReadLn(); }), "abort: Socket readln aborted");
    peer->Send(" line\r\n");
    EXPECT_EQ(socket.ReadLn(), "partial line\r\n");
}

// A handler that runs while a send waits for the socket to drain (the peer is not reading) tries
// to send too. Its bytes must neither take the place of the waiting ones nor land among them.
TEST(WirecoreWrite, ASendStartedWhileAnotherWaitsIsRefusedAndTheFirstArrivesWhole)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    std::optional<ErrorReason> refused;
    std::atomic<bool> tried{false};
    // Runs at the first pass of the event loop, which only a send that waits makes.
    QTimer::singleShot(0, [&] {
        refused = testsupport::ReasonRaisedBy([&] { socket.Write("INTRUDER"); });
        tried = true;
    });
    std::string expected;
    for (int i = 0; i < 200; ++i) expected += std::string(60000, static_cast<char>('a' + i % 26));
    std::string received;
    std::jthread reader([&] {
        // The peer starts reading only once the handler has tried.
        for (int i = 0; i < 500 && !tried; ++i) Pause(10);
        received = peer->Receive(expected.size());
    });
    for (int i = 0; i < 200; ++i) socket.Write(std::string(60000, static_cast<char>('a' + i % 26)));
    reader.join();
    EXPECT_EQ(refused, ErrorReason::SendInProgress);
    EXPECT_EQ(received, expected);
}

// A send on a socket that has no connection (never had one, or a fresh one that took the place
// of a closed connection) says so.
TEST(WirecoreWrite, ASendWithoutAConnectionIsSocketNotConnected)
{
    TWirecore socket(nullptr);
    std::vector<std::pair<uint16_t, std::string>> errors;
    socket.OnError = [&](TComponent*, uint16_t number, const std::string& text) {
        errors.emplace_back(number, text);
    };
    EXPECT_EQ(ErrorOf([&] { socket.Writeln("NOOP"); }), "10057:Socket is not connected");
    EXPECT_EQ(errors, (std::vector<std::pair<uint16_t, std::string>>{
                          {10057, "10057:Socket is not connected"}}));
}

TEST(WirecoreStreamCancel, TimeOutEndsASendToAPeerThatStoppedReading)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    socket.TimeOut = 200;
    const std::string block(65000, 's');
    std::string error = "none";
    // The peer reads nothing, so the buffers fill up after a few megabytes at most.
    for (int i = 0; i < 2000 && error == "none"; ++i) error = ErrorOf([&] { socket.Write(block); });
    EXPECT_EQ(error, "abort: Socket send aborted");
    EXPECT_TRUE(socket.TimedOut);
    EXPECT_FALSE(socket.Canceled);
}

TEST(WirecoreStreamErrors, PeerResetIsReportedAsSocketError)
{
    TWirecore socket(nullptr);
    auto peer = ConnectPair(socket);
    testsupport::TempDir dir;
    std::vector<std::pair<uint16_t, std::string>> errors;
    socket.OnError = [&](TComponent*, uint16_t number, const std::string& text) {
        errors.emplace_back(number, text);
    };
    peer->Send("some data");
    QTimer::singleShot(50, [&] { peer->Reset(); });
    EXPECT_EQ(ErrorOf([&] { socket.CaptureFile(dir.File("target")); }),
              "10054:Connection reset by peer");
    EXPECT_EQ(errors, (std::vector<std::pair<uint16_t, std::string>>{
                          {10054, "10054:Connection reset by peer"}}));
}
