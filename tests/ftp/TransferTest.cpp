// The four transfers against a scripted server: announced sizes, status texts, the failure paths
// and the guards that keep a broken transfer from passing as a good one.
#include "ScriptedSession.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using ftptest::ScriptedSession;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;
using Lines = std::vector<std::string>;

bool Contains(const std::vector<std::string>& texts, const std::string& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

struct TransferSession : ScriptedSession {
    testsupport::TempDir dir;
    std::vector<int64_t> sizeAtStart;
    TransferSession()
    {
        ftp.Passive = true;
        ftp.OnTransactionStart = [this](TComponent*) {
            events.push_back("OnTransactionStart");
            sizeAtStart.push_back(ftp.TransferSize);
        };
        ftp.OnTransactionStop = [this](TComponent*) { events.push_back("OnTransactionStop"); };
        ftp.OnFailure = [this](bool& handled, TCmdType type) {
            events.push_back(std::string("OnFailure ") + CmdTypeName(type));
            handled = handleFailures;
        };
    }
    bool handleFailures = false;

    // Up to the transfer command: binary type, then a passive data channel.
    testsupport::ScriptedFtpServer& Prepared()
    {
        return LoggedIn()
            .Expect("TYPE I")
            .Reply("200 binary")
            .PassiveListen()
            .Expect("PASV")
            .ReplyPasv();
    }
};

TEST(Download, TakesTheAnnouncedSizeThenTheReceivedCount)
{
    TransferSession s;
    const std::string payload(1234, 'x');
    s.Prepared()
        .Expect("RETR f")
        .Reply("150 Opening BINARY mode data connection for f (1234 bytes)")
        .AcceptData()
        .SendData(payload)
        .CloseData()
        .Reply("226 done");
    s.StartLoggedIn();

    s.ftp.Download("f", s.dir.File("f"));
    EXPECT_EQ(s.sizeAtStart, std::vector<int64_t>{1234});
    EXPECT_EQ(s.ftp.TransferSize, 1234);
    EXPECT_EQ(s.ftp.ReceivedBytes(), 1234);
    EXPECT_EQ(ReadFileBytes(s.dir.File("f")), payload);
    EXPECT_EQ(s.events, (Lines{"OnTransactionStart", "OnTransactionStop", "OnTransactionStop",
                               "OnSuccess ctDownload"}));
    EXPECT_TRUE(Contains(s.status, "RETR f"));
    EXPECT_TRUE(Contains(s.status, "Received 1234 Bytes"));
    EXPECT_TRUE(s.server.Verify());
}

// The size used to be the last line's (none here), so half a file passed for a whole one: any line
// of the reply may announce it, and the first that does counts.
TEST(Download, MultiLineReplyTakesTheSizeItsFirstLineAnnounces)
{
    TransferSession s;
    s.Prepared()
        .Expect("RETR f")
        .Send("150-Opening data connection for f (1234 bytes)\r\n"
              " a note from the server\r\n"
              "150 go ahead\r\n")
        .AcceptData()
        .SendData(std::string(1234, 'x'))
        .CloseData()
        .Reply("226 done");
    s.StartLoggedIn();

    s.ftp.Download("f", s.dir.File("f"));
    EXPECT_EQ(s.sizeAtStart, std::vector<int64_t>{1234});
    EXPECT_EQ(s.ftp.TransferSize, 1234);
    EXPECT_TRUE(Contains(s.status, " a note from the server\r\n"));
    EXPECT_TRUE(s.server.Verify());
}

TEST(Download, HalfAFileThen426IsAFailureAndKeepsWhatArrived)
{
    TransferSession s;
    const std::string half(5000, 'h');
    s.Prepared().Expect("RETR f").Reply("150 go").AcceptData().SendData(half).CloseData().Reply(
        "426 Connection closed; transfer aborted.");
    s.StartLoggedIn();

    try {
        s.ftp.Download("f", s.dir.File("f"));
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& error) {
        EXPECT_EQ(error.Message(), "426 Connection closed; transfer aborted.\r\n");
    }
    // Once by the failure protocol; Download's outer guard does not report it again.
    EXPECT_EQ(s.events, (Lines{"OnTransactionStart", "OnTransactionStop", "OnTransactionStop",
                               "OnFailure ctDownload"}));
    EXPECT_EQ(ReadFileBytes(s.dir.File("f")), half);
    EXPECT_EQ(s.ftp.DataSocket, nullptr);
    EXPECT_TRUE(s.server.Verify());
}

TEST(ResumeDownload, RefusedRestSendsNoRetrAndLeavesTheFileAlone)
{
    TransferSession s;
    const std::string local = s.dir.File("f");
    WriteFileBytes(local, "12345");
    // The server's size comes first (SIZE), then the data channel, then the restart.
    s.LoggedIn()
        .Expect("TYPE I")
        .Reply("200 binary")
        .Expect("SIZE f")
        .Reply("213 9")
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("REST 5")
        .Reply("502 REST not implemented")
        // A RETR sent all the same gets the end of the connection, not a wait for its reply.
        .SetAfterScript(testsupport::ScriptedFtpServer::AfterScript::Close);
    s.StartLoggedIn();

    try {
        s.ftp.ResumeDownload("f", local);
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& error) {
        EXPECT_EQ(error.Message(), "502 REST not implemented\r\n");
    }
    // No outer guard: one OnFailure only.
    EXPECT_EQ(s.events, Lines{"OnFailure ctDownload"});
    EXPECT_EQ(ReadFileBytes(local), "12345");
    EXPECT_EQ(s.Lines().back(), "REST 5");
    EXPECT_TRUE(s.server.Verify());
}

TEST(Upload, SendsTheFileUnderItsNamePartAndReportsTheWholePath)
{
    TransferSession s;
    const std::string payload = testsupport::AllByteValuesWithCrLf();
    const std::string local = s.dir.File("report.txt");
    WriteFileBytes(local, payload);
    s.Prepared()
        .Expect("STOR report.txt")
        .Reply("150 send it")
        .AcceptData()
        .ReceiveData()
        .Reply("226 stored");
    s.StartLoggedIn();

    s.ftp.Upload(local, "");
    EXPECT_EQ(s.sizeAtStart, std::vector<int64_t>{static_cast<int64_t>(payload.size())});
    EXPECT_EQ(s.ftp.SentBytes(), static_cast<int64_t>(payload.size()));
    EXPECT_TRUE(Contains(s.status, "STOR " + local));
    EXPECT_EQ(s.events, (Lines{"OnTransactionStart", "OnTransactionStop", "OnSuccess ctUpload"}));
    ASSERT_TRUE(s.server.Verify());
    EXPECT_EQ(s.server.ReceivedData(), Lines{payload});
}

TEST(Upload, RefusedStorOrAppeReachesOnFailureOnce)
{
    for (const bool append : {false, true}) {
        SCOPED_TRACE(append ? "APPE" : "STOR");
        TransferSession s;
        const std::string local = s.dir.File("a");
        WriteFileBytes(local, "data");
        s.Prepared().Expect(append ? "APPE r" : "STOR r").Reply("550 Permission denied");
        s.StartLoggedIn();

        EXPECT_THROW(append ? s.ftp.AppendUpload(local, "r") : s.ftp.Upload(local, "r"),
                     FTPException);
        EXPECT_EQ(s.events, Lines{append ? "OnFailure ctAppend" : "OnFailure ctUpload"});
        EXPECT_TRUE(s.server.Verify());
    }
}

} // namespace
