// Data connections that break, stall, drip or lie, in passive mode: the transfer reports the
// failure, the local file holds a true prefix of what the server had, and the session goes on.
#include "FaultSession.h"
#include "ftp/DownloadTarget.h"
#include "ftp/FtpSession.h"
#include "platform/LocalFile.h"
#include "support/EventLoop.h"

#include <QCryptographicHash>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using faults::FaultSession;
using faults::Lines;
using faults::OpenedSession;
using faults::RunToEnd;
using testsupport::ReadFileBytes;

std::string Payload(size_t size)
{
    std::string bytes;
    while (bytes.size() < size) bytes += testsupport::AllByteValuesWithCrLf();
    bytes.resize(size);
    return bytes;
}

using Script = testsupport::ScriptedFtpServer;
using transfer::Operation;

// The scripted greeting and login of ana, with no answer to FEAT or with `feature` its one line.
Script& ScriptLogin(Script& server, const char* feature = nullptr)
{
    server.Reply("220 pronto").Expect("USER ana").Reply("230 ok");
    if (!feature) return server.NoFeatures();
    return server.Expect("FEAT").Reply("211-Features:").Reply(feature).Reply("211 End");
}

transfer::Request RequestOf(Operation operation, const std::string& remote,
                            const std::string& local = "")
{
    transfer::Request request;
    request.operation = operation;
    request.remotePath = remote;
    request.localPath = local;
    return request;
}

// The session goes on: a folder made after what came before is made.
void ExpectMakeDirectoryWorks(FtpSession& session)
{
    const std::optional<transfer::Outcome> ended =
        RunToEnd(session, RequestOf(Operation::MakeDirectory, "d"));
    ASSERT_TRUE(ended);
    EXPECT_TRUE(ended->ok) << ended->message;
}

// The component's session goes on past the fault, and the server saw what its script says.
void ExpectSessionGoesOn(FaultSession& s)
{
    faults::ExpectNextCommandWorks(s);
    EXPECT_TRUE(s.server.Verify());
}

TEST(TransferFaults, HalfAFileThen426FailsAndAResumeCompletesItByteForByte)
{
    FaultSession s;
    const std::string whole = Payload(300000);
    const std::string local = s.dir.File("f");
    auto& script = s.PreparedTransfer().Expect("RETR f");
    script.Reply("150 Opening data connection for f (300000 bytes)").AcceptData();
    script.SendData(whole.substr(0, 120000)).CloseData();
    script.Reply("426 Connection closed; transfer aborted.").Expect("TYPE I").Reply("200 binary");
    script.Expect("SIZE f").Reply("213 300000").PassiveListen().Expect("PASV").ReplyPasv();
    script.Expect("REST 120000").Reply("350 Restarting at 120000").Expect("RETR f");
    script.Reply("150 Opening data connection for f (300000 bytes)").AcceptData();
    script.SendData(whole.substr(120000)).CloseData().Reply("226 Transfer complete");
    script.Expect("NOOP").Reply("200 ok");
    s.StartLoggedIn();

    EXPECT_EQ(faults::MessageOf([&] { s.ftp.Download("f", local); }),
              "426 Connection closed; transfer aborted.\r\n");
    EXPECT_EQ(ReadFileBytes(local), whole.substr(0, 120000));

    s.events.clear();
    s.ftp.ResumeDownload("f", local);
    EXPECT_EQ(s.events, (Lines{"OnTransactionStart", "OnSuccess ctDownload"}));
    EXPECT_EQ(testsupport::Sha256OfFile(local), testsupport::Sha256OfBytes(whole));
    ExpectSessionGoesOn(s);
}

TEST(TransferFaults, AllTheDataThen426IsStillAFailure)
{
    FaultSession s;
    const std::string whole = Payload(5000);
    s.PreparedTransfer().Expect("RETR f").Reply("150 Opening data connection for f (5000 bytes)");
    s.server.AcceptData().SendData(whole).CloseData().Reply("426 Transfer aborted");
    s.server.Expect("NOOP").Reply("200 ok");
    s.StartLoggedIn();

    // The server says it did not finish; the client has no way to know better.
    EXPECT_EQ(faults::MessageOf([&] { s.ftp.Download("f", s.dir.File("f")); }),
              "426 Transfer aborted\r\n");
    EXPECT_EQ(s.Count("OnSuccess ctDownload"), 0u);
    EXPECT_EQ(ReadFileBytes(s.dir.File("f")), whole);
    ExpectSessionGoesOn(s);
}

// "150" and then "425" while the data connection stays open and silent: the server has given up,
// and the client must not wait for data that will never come.
TEST(TransferFaults, A425WhileTheDataConnectionIsSilentEndsTheTransfer)
{
    for (const bool listing : {false, true})
        for (const bool atOnce : {false, true}) {
            SCOPED_TRACE(listing ? "LIST" : "RETR");
            SCOPED_TRACE(atOnce ? "425 with the 150" : "425 later");
            FaultSession s;
            auto& script =
                listing ? s.LoggedIn().PassiveListen().Expect("PASV").ReplyPasv().Expect("LIST")
                        : s.PreparedTransfer().Expect("RETR f");
            // Either way the 425 may be waiting before the client starts to wait for data.
            if (atOnce)
                script.AcceptData().Send("150 Opening data connection\r\n"
                                         "425 Can't open data connection\r\n");
            else
                script.Reply("150 Opening data connection")
                    .AcceptData()
                    .Pause(std::chrono::milliseconds(50))
                    .Reply("425 Can't open data connection");
            script.Expect("NOOP").Reply("200 ok");
            s.StartLoggedIn();

            const std::string message = faults::MessageOf(
                [&] { listing ? s.ftp.ListDirectory() : s.ftp.Download("f", s.dir.File("f")); });
            EXPECT_EQ(message, "425 Can't open data connection\r\n");
            EXPECT_GE(s.failures, 1);
            if (!listing) {
                EXPECT_EQ(ReadFileBytes(s.dir.File("f")), "");
            }
            ExpectSessionGoesOn(s);
        }
}

// A data connection that is open and never sends a byte ends by whichever means the user has.
struct StallEnd {
    const char* name;
    // Called once the data phase has begun.
    void (*end)(TVaskFTP& ftp);
    bool usesTimeOut;
    bool sendsAbor; // a Cancel on the component tells the server with ABOR
    const char* message;
};

void PrintTo(const StallEnd& end, std::ostream* out) { *out << end.name; }

class StalledDataConnection : public ::testing::TestWithParam<StallEnd> {};

TEST_P(StalledDataConnection, EndsTheDownloadAndTheSessionGoesOn)
{
    const StallEnd& how = GetParam();
    FaultSession s;
    if (how.usesTimeOut) s.ftp.TimeOut = 300;
    // Once the client has closed the data connection, the server answers the RETR (it used to
    // say nothing, and the client never asked: that reply was left to be taken for the next
    // command's). The client reads it, and ABOR's, before its next command.
    auto& script = s.PreparedTransfer().Expect("RETR f");
    script.Reply("150 Opening data connection for f (10 bytes)").AcceptData().ReceiveData();
    script.AllowClientAbort().Reply("426 Connection closed; transfer aborted.");
    if (how.sendsAbor) script.Expect("ABOR").Reply("226 ABOR successful");
    script.Expect("NOOP").Reply("200 ok");
    s.ftp.OnTransactionStart = [&](TComponent*) {
        s.events.push_back("OnTransactionStart");
        if (how.end) QTimer::singleShot(50, [&] { how.end(s.ftp); });
    };
    s.StartLoggedIn();

    EXPECT_EQ(faults::MessageOf([&] { s.ftp.Download("f", s.dir.File("f")); }), how.message);
    EXPECT_EQ(s.Count("OnFailure ctDownload"), 1u);
    EXPECT_EQ(s.Count("OnSuccess ctDownload"), 0u);
    EXPECT_EQ(ReadFileBytes(s.dir.File("f")), "");
    s.ftp.TimeOut = 0;
    ExpectSessionGoesOn(s);
}

INSTANTIATE_TEST_SUITE_P(Ways, StalledDataConnection,
                         ::testing::Values(StallEnd{"Cancel", [](TVaskFTP& ftp) { ftp.Cancel(); },
                                                    false, true, "Socket send aborted"},
                                           StallEnd{"Abort", [](TVaskFTP& ftp) { ftp.Abort(); },
                                                    false, false, "Socket send aborted"},
                                           StallEnd{"TimeOut", nullptr, true, false,
                                                    "Socket send aborted"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that stops taking an upload, or stops sending the rest of a resumed download, keeps
// its data connection open and says nothing: TimeOut ends the transfer as it ends a download, in
// either mode, and the session goes on with the transfer's owed reply accounted for.
struct StalledTransfer {
    const char* name;
    TCmdType kind;
};

void PrintTo(const StalledTransfer& row, std::ostream* out) { *out << row.name; }

class StalledTransferTimesOut : public ::testing::TestWithParam<StalledTransfer> {};

TEST_P(StalledTransferTimesOut, InEitherModeAndTheSessionGoesOn)
{
    const StalledTransfer& row = GetParam();
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        FaultSession s;
        s.ftp.Passive = passive;
        s.ftp.TimeOut = 300;
        const std::string local = s.dir.File("f");
        // More than the sockets between us hold, so that the sender has to wait for the reader.
        const std::string big(16 << 20, 'u');
        testsupport::WriteFileBytes(local, row.kind == ctDownload ? std::string(100, 'p') : big);
        auto& script = s.LoggedIn().Expect("TYPE I").Reply("200 binary");
        if (row.kind == ctDownload) script.Expect("SIZE f").Reply("213 1000");
        if (passive)
            script.PassiveListen().Expect("PASV").ReplyPasv();
        else
            script.ExpectPrefix("PORT ").Reply("200 PORT ok");
        if (row.kind == ctDownload) script.Expect("REST 100").Reply("350 Restarting at 100");
        script.Expect(row.kind == ctUpload   ? "STOR f"
                      : row.kind == ctAppend ? "APPE f"
                                             : "RETR f")
            .Reply("150 Opening data connection");
        passive ? script.AcceptData() : script.ConnectBack();
        script.Hold().Reply("426 Connection closed; transfer aborted.").Expect("NOOP");
        script.Reply("200 ok");
        s.StartLoggedIn();

        EXPECT_EQ(faults::ReasonRaisedBy([&] {
                      if (row.kind == ctUpload) s.ftp.Upload(local, "f");
                      if (row.kind == ctAppend) s.ftp.AppendUpload(local, "f");
                      if (row.kind == ctDownload) s.ftp.ResumeDownload("f", local);
                  }),
                  ErrorReason::TimedOut);
        EXPECT_EQ(s.Count(std::string("OnSuccess ") + CmdTypeName(row.kind)), 0u);
        if (row.kind == ctDownload) {
            EXPECT_EQ(ReadFileBytes(local), std::string(100, 'p'));
        }
        s.server.Release();
        s.ftp.TimeOut = 0;
        ExpectSessionGoesOn(s);
    }
}

INSTANTIATE_TEST_SUITE_P(Transfers, StalledTransferTimesOut,
                         ::testing::Values(StalledTransfer{"Upload", ctUpload},
                                           StalledTransfer{"Append", ctAppend},
                                           StalledTransfer{"Resume", ctDownload}),
                         [](const auto& info) { return std::string(info.param.name); });

// TimeOut counts from the last block, not from the start: a download that takes many times
// TimeOut but never pauses that long ends whole.
TEST(TransferFaults, ATransferThatKeepsMovingOutlastsTimeOut)
{
    FaultSession s;
    s.ftp.TimeOut = 150;
    const std::string slow(150, 'd');
    s.PreparedTransfer().Expect("RETR f").Reply("150 Opening data connection for f (150 bytes)");
    s.server.AcceptData().DripData(slow, std::chrono::milliseconds(5)).CloseData();
    s.server.Reply("226 Transfer complete");
    s.StartLoggedIn();
    EXPECT_NO_THROW(s.ftp.Download("f", s.dir.File("f")));
    EXPECT_EQ(ReadFileBytes(s.dir.File("f")), slow);
    EXPECT_EQ(s.Count("OnSuccess ctDownload"), 1u);
    EXPECT_TRUE(s.server.Verify());
}

TEST(TransferFaults, ASlowDripKeepsTheProgressMovingAndCancelEndsIt)
{
    FaultSession s;
    s.PreparedTransfer().Expect("RETR f").Reply("150 Opening data connection for f (400 bytes)");
    s.server.AcceptData().DripData(std::string(400, 'd'), std::chrono::milliseconds(5));
    // The aborted RETR's own reply first (it used to be missing; nothing read it).
    s.server.AllowClientAbort().Expect("ABOR").Reply("426 Transfer aborted");
    s.server.Reply("226 ABOR successful").Expect("NOOP").Reply("200 ok");
    std::vector<int64_t> progress;
    s.ftp.OnPacketRecvd = [&](TComponent*) {
        progress.push_back(s.ftp.ReceivedBytes());
        if (progress.size() == 20) s.ftp.Cancel();
    };
    s.StartLoggedIn();

    EXPECT_EQ(faults::MessageOf([&] { s.ftp.Download("f", s.dir.File("f")); }),
              "Socket send aborted");
    ASSERT_GE(progress.size(), 20u);
    for (size_t i = 1; i < progress.size(); ++i) EXPECT_GT(progress[i], progress[i - 1]);
    // What arrived before the cancel took effect is on disk, and nothing else.
    EXPECT_EQ(ReadFileBytes(s.dir.File("f")), std::string(progress.back(), 'd'));
    EXPECT_LT(progress.back(), 400);
    ExpectSessionGoesOn(s);
}

TEST(TransferFaults, AResetInTheMiddleOfAnUploadFailsItAndLeavesTheFileAlone)
{
    FaultSession s;
    const std::string local = s.dir.File("grande.bin");
    testsupport::WriteFileBytes(local, Payload(32 * 1024 * 1024));
    const std::string before = testsupport::Sha256OfFile(local);
    s.PreparedTransfer().Expect("STOR grande.bin").Reply("150 Ok to send data").AcceptData();
    s.server.ReceiveDataThenReset(1024 * 1024).Reply("426 Failure reading network stream.");
    s.server.Expect("NOOP").Reply("200 ok");
    s.StartLoggedIn();

    // Which error the client sees depends on whether the reset or the reply reaches it first.
    const std::string message = faults::MessageOf([&] { s.ftp.Upload(local, ""); });
    EXPECT_NE(message, "(no exception)");
    EXPECT_GE(s.Count("OnFailure ctUpload"), 1u) << message;
    EXPECT_EQ(s.Count("OnSuccess ctUpload"), 0u);
    EXPECT_EQ(testsupport::Sha256OfFile(local), before);
    // The server's final reply, unless the upload already read it, arrives after the operation
    // and is dropped from the event loop rather than taken for the next command's reply.
    ASSERT_TRUE(faults::RunEventLoopUntil(
        [&] { return faults::Contains(s.status, "426 Failure reading network stream.\r\n"); }));
    ExpectSessionGoesOn(s);
}

// A download whose data connection the server resets fails with the server's own reason, the
// closing reply, whether the reset or the reply reaches the client first; never as a success.
TEST(TransferFaults, AResetInTheMiddleOfADownloadFailsWithTheServersReply)
{
    FaultSession s;
    auto& script = s.PreparedTransfer().Expect("RETR f");
    script.Reply("150 Opening BINARY mode data connection for f (4194304 bytes)").AcceptData();
    script.SendData(std::string(64 * 1024, 'd')).Pause(std::chrono::milliseconds(100)).ResetData();
    script.Reply("426 Connection closed; transfer aborted.").Expect("NOOP").Reply("200 ok");
    s.StartLoggedIn();

    EXPECT_EQ(faults::MessageOf([&] { s.ftp.Download("f", s.dir.File("f")); }),
              "426 Connection closed; transfer aborted.\r\n");
    EXPECT_GE(s.Count("OnFailure ctDownload"), 1u);
    EXPECT_EQ(s.Count("OnSuccess ctDownload"), 0u);
    ExpectSessionGoesOn(s);
}

TEST(TransferFaults, AnAnnounced3GiBForASmallFileIsAnIncompleteTransfer)
{
    FaultSession s;
    std::vector<int64_t> sizes;
    auto& script = s.PreparedTransfer().Expect("RETR f");
    script.Reply("150 Opening BINARY mode data connection for f (3221225472 bytes)").AcceptData();
    script.SendData("pequeno").CloseData().Reply("226 Transfer complete");
    script.Expect("NOOP").Reply("200 ok");
    s.ftp.OnTransactionStart = [&](TComponent*) { sizes.push_back(s.ftp.TransferSize); };
    s.StartLoggedIn();

    EXPECT_EQ(faults::ReasonRaisedBy([&] { s.ftp.Download("f", s.dir.File("f")); }),
              ErrorReason::TransferIncomplete);
    EXPECT_EQ(sizes, std::vector<int64_t>{3221225472});
    EXPECT_EQ(ReadFileBytes(s.dir.File("f")), "pequeno");
    ExpectSessionGoesOn(s);
}

// The non-blocking session's watchdog: a download, an upload or a listing whose server stops
// halfway ends TimedOut within TimeOut and a second, and the session goes on, the replies of the
// abandoned transfer read before the next operation's own.
TEST(NonBlockingSessionStall, EndsWithinTheTimeOutAndTheSessionGoesOn)
{
    for (const Operation operation : {Operation::Get, Operation::Put, Operation::List}) {
        testsupport::TempDir dir("tavolen-stall");
        // More than the sockets on the way hold.
        testsupport::WriteFileBytes(dir.File("up"), std::string(64u << 20, 'u'));
        testsupport::ScriptedFtpServer server;
        auto& script = ScriptLogin(server);
        if (operation != Operation::List) script.Expect("TYPE I").Reply("200 binary");
        script.PassiveListen().Expect("PASV").ReplyPasv();
        script
            .Expect(operation == Operation::Get   ? "RETR f"
                    : operation == Operation::Put ? "STOR f"
                                                  : "LIST")
            .Reply("150 Opening data connection")
            .AcceptData();
        if (operation == Operation::Get) script.SendData("part");
        // An upload's server stops reading; it answers only once the client has given up.
        if (operation == Operation::Put) script.Hold();
        script.AllowClientAbort();
        if (operation != Operation::Put) script.Expect("ABOR");
        script.Reply("426 Connection closed; transfer aborted.");
        if (operation != Operation::Put) script.Reply("226 ABOR successful");
        script.Expect("MKD d").Reply("257 \"d\" created");
        server.Start();

        const std::unique_ptr<FtpSession> session = OpenedSession(server, 300);
        ASSERT_TRUE(session);

        const transfer::Request request =
            RequestOf(operation, operation == Operation::List ? "" : "f",
                      dir.File(operation == Operation::Put ? "up" : "down"));
        const auto started = std::chrono::steady_clock::now();
        // Meanwhile the session says how long it has heard nothing, for the queue to judge.
        std::optional<transfer::Outcome> ended;
        const auto done = [&](const transfer::Outcome& outcome) { ended = outcome; };
        ASSERT_TRUE(operation == Operation::List
                        ? session->StartList(request, [&](const auto& o, const auto&) { done(o); })
                        : session->Start(request, nullptr, done));
        int64_t quietest = -1;
        ASSERT_TRUE(testsupport::PumpUntil([&] {
            quietest = std::max(quietest, session->QuietMs());
            return ended.has_value();
        }));
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_GE(quietest, 100);
        EXPECT_EQ(session->QuietMs(), -1);
        EXPECT_EQ(session->TimeOutMs(), 300);
        EXPECT_FALSE(ended->ok);
        EXPECT_EQ(ended->reason, ErrorReason::TimedOut)
            << static_cast<int>(operation) << ": " << ended->message;
        EXPECT_LT(took, std::chrono::milliseconds(1300));
        server.Release();
        ExpectMakeDirectoryWorks(*session);
        EXPECT_TRUE(server.Verify()) << static_cast<int>(operation);
    }
}

// An upload's MFMT goes out without waiting: its late answer, a refusal too, is not taken for the
// next operation's reply.
TEST(PipelinedSession, LateTimeAnswerIsNotTheNextOperations)
{
    testsupport::TempDir dir("tavolen-pipelined");
    testsupport::WriteFileBytes(dir.File("up"), "up!");
    ASSERT_TRUE(platform::LocalFile::SetModified(dir.File("up"), 1'600'000'000));
    testsupport::ScriptedFtpServer server;
    auto& script = ScriptLogin(server, " MFMT").Expect("TYPE I").Reply("200 binary");
    script.PassiveListen().Expect("PASV").Expect("STOR up").ReplyPasv();
    script.Reply("150 Opening").AcceptData().ReceiveData().Reply("226 Stored");
    script.ExpectPrefix("MFMT 20200913122640 up").Expect("MKD d");
    script.Reply("550 Times are mine").Reply("257 \"d\" created");
    script.Expect("QUIT").Reply("221 Bye");
    server.Start();

    const std::unique_ptr<FtpSession> session =
        OpenedSession(server, 5000, [](TVaskFTP& ftp) { ftp.KeepTimes = true; });
    ASSERT_TRUE(session);
    for (const transfer::Request& request : {RequestOf(Operation::Put, "up", dir.File("up")),
                                             RequestOf(Operation::MakeDirectory, "d")}) {
        const std::optional<transfer::Outcome> ended = RunToEnd(*session, request);
        ASSERT_TRUE(ended) << request.remotePath;
        EXPECT_TRUE(ended->ok) << request.remotePath << ": " << ended->message;
        EXPECT_TRUE(session->Pipelining());
    }
    session->Close();
    EXPECT_TRUE(server.Verify());
}

// A transfer that fails for the way it was asked for, before a byte moved, is asked for again
// more plainly, and the replies the first try still owed are not taken for the second's.
TEST(PipelinedSession, TriesAgainMorePlainly)
{
    struct Row {
        const char* name;
        const char* feature;
        std::function<void(Script&)> firstTry;
        bool pipelinedAfter;
    };
    const Row rows[] = {
        {"CommandTooSoonForTheServer", " SIZE",
         [](Script& s) {
             s.PassiveListen().Expect("PASV").Expect("RETR f").ReplyPasv().AcceptData();
             s.Reply("425 No data connection yet").CloseData();
             s.PassiveListen().Expect("PASV").ReplyPasv().Expect("RETR f");
         },
         false},
        {"ConnectionRefusedIsAbortedAndTriedAgain", " SIZE",
         [](Script& s) {
             // Nothing listens on port 1: the connection is refused.
             s.Expect("PASV").Expect("RETR f").Reply("227 Entering Passive Mode (127,0,0,1,0,1).");
             s.Expect("ABOR").Reply("425 Can't open data connection").Reply("226 ABOR done");
             s.PassiveListen().Expect("PASV").ReplyPasv().Expect("RETR f");
         },
         false},
        {"EpsvRefusedFallsBackToPasv", " EPSV",
         [](Script& s) {
             s.Expect("EPSV").Expect("RETR f").Reply("500 EPSV not understood");
             s.Reply("503 Bad sequence of commands");
             s.PassiveListen().Expect("PASV").Expect("RETR f").ReplyPasv();
         },
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-plainer");
        Script server;
        auto& script = ScriptLogin(server, row.feature).Expect("TYPE I").Reply("200 binary");
        row.firstTry(script);
        script.Reply("150 Opening").AcceptData().SendData("hello").CloseData().Reply("226 Done");
        script.Expect("QUIT").Reply("221 Bye");
        server.Start();

        const std::unique_ptr<FtpSession> session = OpenedSession(server, 5000);
        ASSERT_TRUE(session);
        const std::optional<transfer::Outcome> ended =
            RunToEnd(*session, RequestOf(Operation::Get, "f", dir.File("down")));
        ASSERT_TRUE(ended);
        EXPECT_TRUE(ended->ok) << ended->message;
        EXPECT_EQ(testsupport::ReadFileBytes(dir.File("down")), "hello");
        EXPECT_EQ(session->Pipelining(), row.pipelinedAfter);
        session->Close();
        EXPECT_TRUE(server.Verify());
    }
}

// Replies that do not fit the commands they would answer: the session closes the connection
// and tries the operation once more on a new login whose commands wait for each reply. A second
// mismatch fails the operation: nothing is ever counted done on a reply meant for another command.
TEST(PipelinedSession, RepliesOutOfStepCloseTheLoginAndTryOnceMoreOnANewOne)
{
    const auto login = [](Script& s, const char* feature) { ScriptLogin(s, feature); };
    auto download = [](Script& s) {
        s.PassiveListen().Expect("PASV").ReplyPasv().Expect("RETR f");
        s.Reply("150 Opening").AcceptData().SendData("hello").CloseData().Reply("226 Done");
    };
    struct Row {
        const char* name;
        bool active;
        std::vector<Operation> operations;   // the last one is judged
        std::function<void(Script&)> script; // after the first login
        bool ok;
        std::string received; // by the server, for an upload
    };
    const Row rows[] = {
        {"ActiveUploadOpenedBeforePortIsAnswered",
         true,
         {Operation::Put},
         [&](Script& s) {
             s.Expect("TYPE I").Reply("200 binary").ExpectPrefix("PORT ");
             s.Reply("150 Ok to send data.").NextSession();
             login(s, " SIZE");
             s.Expect("TYPE I").Reply("200 binary").ExpectPrefix("PORT ").ConnectBack();
             s.Reply("200 Active data connection established.").Expect("STOR up");
             s.Reply("150 Ok").ReceiveData().Reply("226 Stored");
         },
         true,
         "up!"},
        {"PipelinedDownloadOpenedBeforePasvIsAnswered",
         false,
         {Operation::Get},
         [&](Script& s) {
             s.Expect("TYPE I").Reply("200 binary").Expect("PASV").Expect("RETR f");
             s.Reply("150 Opening").NextSession();
             login(s, " SIZE");
             s.Expect("TYPE I").Reply("200 binary");
             download(s);
         },
         true,
         ""},
        {"LateTimeAnswerOfAnotherCommand",
         false,
         {Operation::Put, Operation::MakeDirectory},
         [&](Script& s) {
             s.Expect("TYPE I").Reply("200 binary");
             s.PassiveListen().Expect("PASV").Expect("STOR up").ReplyPasv();
             s.Reply("150 Opening").AcceptData().ReceiveData().Reply("226 Stored");
             s.ExpectPrefix("MFMT ").Expect("MKD d").Reply("226 Transfer complete").NextSession();
             login(s, " MFMT");
             s.Expect("MKD d").Reply("257 \"d\" created");
         },
         true,
         "up!"},
        {"DirectoryMadeWithATransfersEnd",
         false,
         {Operation::MakeDirectory},
         [&](Script& s) {
             s.Expect("MKD d").Reply("226 Transfer complete").NextSession();
             login(s, " SIZE");
             s.Expect("MKD d").Reply("257 \"d\" created");
         },
         true,
         ""},
        {"OutOfStepOnTheNewLoginToo",
         false,
         {Operation::Get},
         [&](Script& s) {
             s.Expect("TYPE I").Reply("200 binary").Expect("PASV").Expect("RETR f");
             s.Reply("226 Done").NextSession();
             login(s, " SIZE");
             s.Expect("TYPE I").Reply("200 binary").Expect("PASV").Reply("200 PORT ok");
         },
         false,
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-step");
        testsupport::WriteFileBytes(dir.File("up"), "up!");
        ASSERT_TRUE(platform::LocalFile::SetModified(dir.File("up"), 1'600'000'000));
        Script server;
        const bool times = row.operations.front() == Operation::Put && !row.active;
        login(server, times ? " MFMT" : " SIZE");
        row.script(server);
        if (row.ok) server.Expect("QUIT").Reply("221 Bye");
        server.Start();

        const std::unique_ptr<FtpSession> session = OpenedSession(server, 5000, [&](TVaskFTP& ftp) {
            ftp.Passive = !row.active;
            ftp.KeepTimes = times;
        });
        ASSERT_TRUE(session);
        std::optional<transfer::Outcome> ended;
        for (const Operation operation : row.operations) {
            ended = RunToEnd(*session,
                             RequestOf(operation,
                                       operation == Operation::Get   ? "f"
                                       : operation == Operation::Put ? "up"
                                                                     : "d",
                                       dir.File(operation == Operation::Put ? "up" : "down")));
            ASSERT_TRUE(ended);
        }
        EXPECT_EQ(ended->ok, row.ok) << ended->message;
        if (!row.ok) {
            EXPECT_EQ(ended->reason, ErrorReason::OutOfStep);
            EXPECT_FALSE(std::filesystem::exists(dir.File("down")));
        }
        if (row.ok && row.operations.front() == Operation::Get) {
            EXPECT_EQ(testsupport::ReadFileBytes(dir.File("down")), "hello");
        }
        if (!row.received.empty()) {
            EXPECT_EQ(server.ReceivedData(), std::vector<std::string>{row.received});
        }
        EXPECT_FALSE(session->Pipelining());
        session->Close();
        EXPECT_TRUE(server.Verify());
    }
}

// The non-blocking session's resumed download of "f", 8 bytes on the server, 3 of them here in
// its staging file (a tree's hidden one): it ends byte-exact, or fails with the part as it was,
// ready for the next resume.
TEST(SessionResume, EndsByteExactOrFailsWithThePartAsItWas)
{
    struct Row {
        const char* name;
        const char* restReply;
        const char* sent; // nullptr: no RETR may follow
        bool ok;
        ErrorReason reason;
        const char* left;      // f when the download succeeded, the staging file when it failed
        bool inTarget = false; // the three bytes are the target's, as a tree's resume finds them
    };
    const Row rows[] = {
        {"TheRest", "350 Restarting at 3", "defgh", true, ErrorReason::Unknown, "abcdefgh"},
        {"TheRestOfAShorterTarget", "350 Restarting at 3", "defgh", true, ErrorReason::Unknown,
         "abcdefgh", true},
        {"RestTakenButTheWholeFileSent", "350 Restarting at 3", "abcdefgh", false,
         ErrorReason::TransferIncomplete, "abc"},
        {"RestRefused", "502 REST not implemented", nullptr, false, ErrorReason::ServerRefused,
         "abc"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-resume");
        testsupport::WriteFileBytes(
            row.inTarget ? dir.File("f") : ftpfiles::HiddenPathOf(dir.File("f")), "abc");
        testsupport::ScriptedFtpServer server;
        auto& script = ScriptLogin(server);
        script.Expect("TYPE I").Reply("200 binary").Expect("SIZE f").Reply("213 8");
        script.PassiveListen().Expect("PASV").ReplyPasv().Expect("REST 3").Reply(row.restReply);
        if (row.sent) {
            script.Expect("RETR f").Reply("150 Opening data connection for f").AcceptData();
            script.SendData(row.sent).CloseData().Reply("226 Transfer complete");
        }
        // A command the script does not expect ends the session at once, not after a time-out.
        script.Expect("MKD d").Reply("257 \"d\" created");
        server.SetAfterScript(testsupport::ScriptedFtpServer::AfterScript::Close);
        server.Start();
        const std::unique_ptr<FtpSession> session = OpenedSession(server, 5000);
        ASSERT_TRUE(session);

        transfer::Request request = RequestOf(Operation::Get, "f", dir.File("f"));
        request.resume = true;
        const std::optional<transfer::Outcome> ended = RunToEnd(*session, request);
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->ok, row.ok) << ended->message;
        if (!row.ok) {
            EXPECT_EQ(ended->reason, row.reason) << ended->message;
        }
        EXPECT_EQ(ReadFileBytes(row.ok ? dir.File("f") : ftpfiles::HiddenPathOf(dir.File("f"))),
                  row.left);
        ExpectMakeDirectoryWorks(*session);
        EXPECT_TRUE(server.Verify());
    }
}

// The session says each failure in the terms the queue decides by, never by the server's reply
// code: a login turned away or refused, a request refused for now or for good, a data channel
// that failed.
TEST(SessionFailures, EachReplyGivesTheKindTheQueueDecidesBy)
{
    using Kind = transfer::FailureKind;
    struct Row {
        const char* name;
        const char* loginReply; // to USER; nullptr: the greeting itself is the reply
        const char* retrReply;  // to RETR, after a login that succeeded
        Kind kind;
    };
    const Row rows[] = {
        {"GreetedWith421", nullptr, nullptr, Kind::TooManySessions},
        {"LoginRefused", "530 Login incorrect.", nullptr, Kind::LoginRefused},
        {"NoDataConnection", "230 ok", "425 Can't open data connection.", Kind::DataChannelFailed},
        {"TransferAborted", "230 ok", "426 Connection closed; transfer aborted.",
         Kind::DataChannelFailed},
        {"FileBusy", "230 ok", "450 File busy.", Kind::RefusedForNow},
        {"NoSuchFile", "230 ok", "550 No such file.", Kind::RefusedForGood},
        {"NotImplemented", "230 ok", "502 Command not implemented.", Kind::Unsupported},
        {"TooManyMidway", "230 ok", "421 Too many connections; closing.", Kind::TooManySessions},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-kinds");
        testsupport::ScriptedFtpServer server;
        server.SetAfterScript(testsupport::ScriptedFtpServer::AfterScript::Close);
        if (!row.loginReply) {
            server.Reply("421 Too many connections (2) from this IP");
        } else {
            auto& script = server.Reply("220 pronto").Expect("USER ana").Reply(row.loginReply);
            if (row.retrReply) {
                script.NoFeatures().Expect("TYPE I").Reply("200 binary");
                script.PassiveListen().Expect("PASV").ReplyPasv().Expect("RETR f");
                script.Reply(row.retrReply);
            }
        }
        server.Start();
        auto ftp = std::make_unique<TVaskFTP>(nullptr);
        ftp->Host = "127.0.0.1";
        ftp->Port = server.Port();
        ftp->UserID = "ana";
        ftp->Password = "x";
        ftp->Passive = true;
        ftp->TimeOut = 5000;
        FtpSession session(std::move(ftp));
        session.SetPipelining(false);
        std::optional<transfer::Outcome> opened;
        session.Open([&](const transfer::Outcome& o) { opened = o; });
        ASSERT_TRUE(testsupport::PumpUntil([&] { return opened.has_value(); }));
        std::optional<transfer::Outcome> ended = opened;
        if (row.retrReply) {
            ASSERT_TRUE(opened->ok) << opened->message;
            ended = RunToEnd(session, RequestOf(Operation::Get, "f", dir.File("f")));
            ASSERT_TRUE(ended);
        }
        EXPECT_FALSE(ended->ok);
        EXPECT_EQ(transfer::KindOf(*ended), row.kind) << ended->message;
        EXPECT_TRUE(server.Verify());
    }
}

// The non-blocking session checks a whole file against the server's checksum as the bytes pass:
// the hash is picked once per login (OPTS HASH where needed), a mismatch fails with both values
// and sets a download aside, and an answer without a checksum fails only when one is required.
TEST(SessionChecksum, ComparesWithTheServersAnswer)
{
    const std::string kHelloSha256 =
        "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
    const std::string kHelloSha1 = "aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d";
    const std::string kUpMd5 = "75a4ee0e6be2d6af9e22a7f742e2f519";
    // Long enough for the digest to hash on its own thread, through its ring of blocks.
    std::string longFile(3u << 20, '\0');
    for (size_t i = 0; i < longFile.size(); ++i) longFile[i] = static_cast<char>(i * 7 + i / 4099);
    const std::string longSha256 =
        QCryptographicHash::hash(QByteArray::fromStdString(longFile), QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    struct Row {
        const char* name;
        const char* feature;     // the one line of FEAT
        bool upload;             // STOR "up!" rather than RETR "hello"
        std::string select;      // the OPTS HASH line expected, if any
        const char* selectReply; // and its answer
        std::string ask;         // the hash command expected
        std::string answer;
        TVerifyMode mode;
        bool ok, verified;
        ErrorReason reason;
        bool setAside;                 // down.unverified holds the bytes, and no down was made
        std::string content = "hello"; // what a download sends
    };
    const Row rows[] = {
        {"HashPicksSha256", " HASH SHA-256;MD5*", false, "OPTS HASH SHA-256", "200 SHA-256",
         "HASH f", "213 SHA-256 0-5 " + kHelloSha256 + " f", TVerifyMode::Auto, true, true,
         ErrorReason::Unknown, false},
        {"HashKeepsItsOwnWhenRefused", " HASH SHA-256;SHA-1*", false, "OPTS HASH SHA-256", "501 no",
         "HASH f", "213 SHA-1 0-5 " + kHelloSha1 + " f", TVerifyMode::Auto, true, true,
         ErrorReason::Unknown, false},
        {"Mismatch", " XSHA256", false, "", "", "XSHA256 f", "250 " + std::string(64, 'a'),
         TVerifyMode::Auto, false, false, ErrorReason::VerificationFailed, true},
        {"UploadVerified", " XMD5", true, "", "", "XMD5 up", "250 " + kUpMd5, TVerifyMode::Auto,
         true, true, ErrorReason::Unknown, false},
        {"NoAnswerIsNoFailure", " XSHA256", false, "", "", "XSHA256 f", "500 Unknown command",
         TVerifyMode::Auto, true, false, ErrorReason::Unknown, false},
        {"NoAnswerWhenRequired", " XSHA256", false, "", "", "XSHA256 f", "500 Unknown command",
         TVerifyMode::Require, false, false, ErrorReason::VerificationUnavailable, false},
        {"LongDownload", " XSHA256", false, "", "", "XSHA256 f", "250 " + longSha256,
         TVerifyMode::Require, true, true, ErrorReason::Unknown, false, longFile},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-checksum");
        testsupport::WriteFileBytes(dir.File("up"), "up!");
        testsupport::ScriptedFtpServer server;
        auto& script = ScriptLogin(server, row.feature);
        if (!row.select.empty()) script.Expect(row.select).Reply(row.selectReply);
        script.Expect("TYPE I").Reply("200 binary");
        script.PassiveListen().Expect("PASV").Expect(row.upload ? "STOR up" : "RETR f");
        script.ReplyPasv().Reply("150 Opening").AcceptData();
        if (row.upload) script.ReceiveData().Reply("226 Stored");
        if (!row.upload) script.SendData(row.content).CloseData().Reply("226 Done");
        script.Expect(row.ask).Reply(row.answer).Expect("QUIT").Reply("221 Bye");
        server.Start();

        const std::unique_ptr<FtpSession> session =
            OpenedSession(server, 5000, [&row](TVaskFTP& ftp) { ftp.Verify = row.mode; });
        ASSERT_TRUE(session);

        const std::optional<transfer::Outcome> ended =
            RunToEnd(*session, row.upload ? RequestOf(Operation::Put, "up", dir.File("up"))
                                          : RequestOf(Operation::Get, "f", dir.File("down")));
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->ok, row.ok) << ended->message;
        EXPECT_EQ(ended->verified, row.verified);
        if (!row.ok) {
            EXPECT_EQ(ended->reason, row.reason) << ended->message;
        }
        if (row.reason == ErrorReason::VerificationFailed) {
            EXPECT_NE(ended->message.find(kHelloSha256), std::string::npos) << ended->message;
            EXPECT_NE(ended->message.find(std::string(64, 'a')), std::string::npos);
        }
        if (!row.upload && row.ok) {
            EXPECT_TRUE(testsupport::ReadFileBytes(dir.File("down")) == row.content);
        }
        if (!row.upload) {
            EXPECT_EQ((platform::LocalFile::SizeOf(dir.File("down")) >= 0), row.ok);
            // A tree's file is set aside under a hidden name, where no file of the folder can be.
            const std::string aside = ftpfiles::HiddenPathOf(dir.File("down"), ".unverified");
            EXPECT_EQ((platform::LocalFile::SizeOf(aside) >= 0), row.setAside);
            EXPECT_FALSE(std::filesystem::exists(dir.File("down.unverified")));
            if (row.setAside) {
                EXPECT_NE(ended->message.find("kept as " + aside), std::string::npos)
                    << ended->message;
            }
        }
        session->Close();
        EXPECT_TRUE(server.Verify());
    }
}

// A tree's upload sends the file its scan found and nothing else: a file swapped for a link to a
// secret, for another file, or a folder on the way swapped for a link, is refused before the
// server is asked for anything, and the session goes on.
TEST(SessionUpload, SendsOnlyTheFileTheScanFound)
{
    namespace fs = std::filesystem;
    struct Row {
        const char* name;
        std::function<void(const std::string& root, const std::string& outside)> swap;
        std::string said;
    };
    const Row rows[] = {
        {"a link to a secret",
         [](const std::string& root, const std::string& outside) {
             fs::remove(root + "/a/up");
             fs::create_symlink(outside + "/secret", root + "/a/up");
         },
         "a symbolic link stands there"},
        {"another file",
         [](const std::string& root, const std::string&) {
             // Kept aside, so that the new file cannot be given the old one's inode.
             fs::rename(root + "/a/up", root + "/old");
             testsupport::WriteFileBytes(root + "/a/up", "another");
         },
         "no longer the file the tree's scan found"},
        {"a folder on the way",
         [](const std::string& root, const std::string& outside) {
             fs::rename(root + "/a", root + "/gone");
             fs::create_directory(outside + "/a");
             fs::copy_file(outside + "/secret", outside + "/a/up");
             fs::create_symlink(outside + "/a", root + "/a");
         },
         "a symbolic link stands there"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-upload-swap");
        const std::string root = dir.File("tree");
        const std::string outside = dir.File("outside");
        fs::create_directories(root + "/a");
        fs::create_directories(outside);
        testsupport::WriteFileBytes(outside + "/secret", "secret");
        testsupport::WriteFileBytes(root + "/a/up", "scanned");
        struct stat scanned {};
        ASSERT_EQ(::stat((root + "/a/up").c_str(), &scanned), 0);
        row.swap(root, outside);

        testsupport::ScriptedFtpServer server;
        ScriptLogin(server).Expect("MKD d").Reply("257 \"d\" created");
        server.Start();
        const std::unique_ptr<FtpSession> session = OpenedSession(server, 5000);
        ASSERT_TRUE(session);

        transfer::Request request = RequestOf(Operation::Put, "up", root + "/a/up");
        request.localRoot = root;
        request.localIdentity = std::make_pair(static_cast<uint64_t>(scanned.st_dev),
                                               static_cast<uint64_t>(scanned.st_ino));
        const std::optional<transfer::Outcome> ended = RunToEnd(*session, request);
        ASSERT_TRUE(ended);
        EXPECT_FALSE(ended->ok);
        EXPECT_NE(ended->message.find(row.said), std::string::npos) << ended->message;
        ExpectMakeDirectoryWorks(*session);
        EXPECT_TRUE(server.Verify());
    }
}

} // namespace

// Times through the session, as a tree moves them: a download takes the time its request
// carries, else the one MDTM answers (a refusal leaves the file whole, with its own time); a
// time asked alone comes back in the outcome; an upload to a server that refuses MFMT and both
// SITE UTIME forms sets it with MDTM and a time, and the next upload goes straight to that form;
// a time set alone (a folder's) tries the same forms, and one that every form refused is asked
// no more that session.
TEST(SessionTimes, DownloadsTakeTheServersTimeAndUploadsSetIt)
{
    constexpr int64_t kTime = 1'600'000'000; // 20200913122640
    const auto download = [](Script& s, const char* reply) {
        s.PassiveListen().Expect("PASV").Expect("RETR f").ReplyPasv();
        s.Reply("150 Opening").AcceptData().SendData("hello").CloseData().Reply("226 Done");
        if (reply) s.Expect("MDTM f").Reply(reply);
    };
    const auto upload = [](Script& s, const std::vector<std::string>& refused) {
        s.PassiveListen().Expect("PASV").Expect("STOR up").ReplyPasv();
        s.Reply("150 Opening").AcceptData().ReceiveData().Reply("226 Stored");
        for (const std::string& command : refused) s.Expect(command).Reply("500 Unknown");
        s.Expect("MDTM 20200913122640 up").Reply("213 File modification time set.");
    };
    struct Row {
        const char* name;
        Operation operation;
        std::optional<int64_t> given; // the request's time
        std::function<void(Script&)> script;
        bool ok;
        int64_t fileTime; // -1: any
        std::optional<int64_t> answered;
        int passes = 1; // the same request, one after the other
        std::optional<transfer::FailureKind> kind = std::nullopt;
    };
    const auto setTime = [](Script& s, const char* last) {
        s.Expect("SITE UTIME 20200913122640 f").Reply("500 Unknown");
        s.Expect("SITE UTIME f 20200913122640 20200913122640 20200913122640 UTC")
            .Reply("500 Unknown");
        s.Expect("MDTM 20200913122640 f").Reply(last);
    };
    const Row rows[] = {
        {"DownloadAsksMdtm", Operation::Get, std::nullopt,
         [&](Script& s) { download(s, "213 20200913122640"); }, true, kTime, std::nullopt},
        {"DownloadTakesTheGivenTime", Operation::Get, kTime - 7,
         [&](Script& s) { download(s, nullptr); }, true, kTime - 7, std::nullopt},
        {"DownloadWithoutAServerTime", Operation::Get, std::nullopt,
         [&](Script& s) { download(s, "550 No time"); }, true, -1, std::nullopt},
        {"TimeAsked", Operation::ModifiedTime, std::nullopt,
         [](Script& s) { s.Expect("MDTM f").Reply("213 20200913122640.25"); }, true, -1, kTime},
        {"TimeRefused", Operation::ModifiedTime, std::nullopt,
         [](Script& s) { s.Expect("MDTM f").Reply("550 f: no such file"); }, false, -1,
         std::nullopt},
        // A server that does not know MDTM is asked once a session.
        {"DownloadsFromAServerWithoutMdtm", Operation::Get, std::nullopt,
         [&](Script& s) {
             download(s, "500 Unknown command");
             download(s, nullptr);
         },
         true, -1, std::nullopt, 2},
        {"UploadsSetTheTimeWithMdtm", Operation::Put, std::nullopt,
         [&](Script& s) {
             upload(s, {"SITE UTIME 20200913122640 up",
                        "SITE UTIME up 20200913122640 20200913122640 20200913122640 UTC"});
             upload(s, {});
         },
         true, -1, std::nullopt, 2},
        {"TimeSetWithMdtm", Operation::SetModifiedTime, kTime,
         [&](Script& s) {
             setTime(s, "213 File modification time set.");
             s.Expect("MDTM 20200913122640 f").Reply("213 File modification time set.");
         },
         true, -1, std::nullopt, 2},
        {"TimeSetNoWay", Operation::SetModifiedTime, kTime,
         [&](Script& s) { setTime(s, "550 Could not set file modification time."); }, false, -1,
         std::nullopt, 2, transfer::FailureKind::Unsupported},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-times");
        testsupport::WriteFileBytes(dir.File("up"), "up!");
        ASSERT_TRUE(platform::LocalFile::SetModified(dir.File("up"), kTime));
        Script server;
        auto& script = ScriptLogin(server);
        if (row.operation == Operation::Get || row.operation == Operation::Put)
            script.Expect("TYPE I").Reply("200 binary");
        row.script(script);
        script.Expect("QUIT").Reply("221 Bye");
        server.Start();
        const std::unique_ptr<FtpSession> session =
            OpenedSession(server, 5000, [](TVaskFTP& ftp) { ftp.KeepTimes = true; });
        ASSERT_TRUE(session);
        transfer::Request request =
            RequestOf(row.operation, row.operation == Operation::Put ? "up" : "f",
                      row.operation == Operation::Put ? dir.File("up") : dir.File("down"));
        request.modifiedUtc = row.given;
        for (int pass = 0; pass < row.passes; ++pass) {
            const std::optional<transfer::Outcome> ended = RunToEnd(*session, request);
            ASSERT_TRUE(ended);
            EXPECT_EQ(ended->ok, row.ok) << ended->message;
            EXPECT_EQ(ended->modifiedUtc, row.answered);
            if (row.kind) {
                EXPECT_EQ(transfer::KindOf(*ended), *row.kind) << ended->message;
            }
        }
        if (row.operation == Operation::Get) {
            EXPECT_EQ(ReadFileBytes(dir.File("down")), "hello");
            const int64_t time = platform::LocalFile::ModifiedOf(dir.File("down")).value_or(-1);
            if (row.fileTime >= 0) {
                EXPECT_EQ(time, row.fileTime);
            } else {
                EXPECT_GT(time, kTime);
            }
        }
        session->Close();
        EXPECT_TRUE(server.Verify());
    }
}

// A download whose local file cannot be written (a full disk: /dev/full) fails with the system's
// reason, as get says it, not with the server's answer to the connection this side cut. (The
// file is larger than the sockets between hold, so the server's reply comes after the cut.)
TEST(SessionLocalFailure, SaysTheSystemsReasonNotTheServersReply)
{
    testsupport::ScriptedFtpServer server;
    auto& script = ScriptLogin(server);
    script.Expect("TYPE I").Reply("200 binary");
    script.PassiveListen().Expect("PASV").Expect("RETR f").ReplyPasv();
    script.Reply("150 Opening").AcceptData().SendData(Payload(64u << 20)).AllowClientAbort();
    script.Reply("426 Connection closed; transfer aborted");
    server.SetAfterScript(testsupport::ScriptedFtpServer::AfterScript::Close);
    server.Start();
    const std::unique_ptr<FtpSession> session = OpenedSession(server, 5000);
    ASSERT_TRUE(session);
    const std::optional<transfer::Outcome> ended =
        RunToEnd(*session, RequestOf(Operation::Get, "f", "/dev/full"));
    ASSERT_TRUE(ended);
    EXPECT_FALSE(ended->ok);
    EXPECT_EQ(ended->reason, ErrorReason::FileWrite) << ended->message;
    EXPECT_EQ(ended->message, "Cannot write file /dev/full (No space left on device)");
    session->Close();
}
