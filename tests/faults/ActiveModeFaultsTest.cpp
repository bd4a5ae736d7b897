// Active mode against servers that do not connect back, answer instead of connecting, or are
// beaten to the listening port by someone else on the network.
#include "FaultSession.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace {

using faults::FaultSession;
using faults::Lines;

// An active transfer of "f" once logged in: PORT answered, then after the transfer command's 150
// an intruder from 127.0.0.2 connects first and the server's own connection comes second, moving
// `payload`, and 226.
testsupport::ScriptedFtpServer& IntruderBeforeTheServer(testsupport::ScriptedFtpServer& script,
                                                        bool upload, const std::string& payload)
{
    script.Expect("TYPE I").Reply("200 binary").ExpectPrefix("PORT 127,0,0,1,");
    script.Reply("200 PORT ok").Expect(upload ? "STOR f" : "RETR f").Reply("150 go ahead");
    script.IntruderConnectBack("dados falsos\r\n").ConnectBack();
    if (upload)
        script.ReceiveData();
    else
        script.SendData(payload).CloseData();
    return script.Reply("226 done");
}

struct ActiveSession : FaultSession {
    ActiveSession() { ftp.Passive = false; }
};

struct NoCallEnd {
    const char* name;
    void (*end)(TVaskFTP& ftp); // called once the client waits for the server's connection
    bool usesTimeOut;
    bool sendsAbor;
    int32_t acceptTimeOut;
    // A wait that ran out says the data connection could not be made; one the user ended, not.
    ErrorReason reason;
};

void PrintTo(const NoCallEnd& end, std::ostream* out) { *out << end.name; }

class ServerNeverConnectsBack : public ::testing::TestWithParam<NoCallEnd> {};

TEST_P(ServerNeverConnectsBack, TheWaitEndsAndTheSessionGoesOn)
{
    const NoCallEnd& how = GetParam();
    ActiveSession s;
    if (how.usesTimeOut) s.ftp.TimeOut = 300;
    s.ftp.AcceptTimeOut = how.acceptTimeOut;
    // Once the client has stopped waiting, the server's own attempt fails and it answers the
    // LIST (it used to say nothing, and the client never asked: that reply was left to be taken
    // for the next command's). The client reads it, and ABOR's, before its next command.
    auto& script = s.LoggedIn()
                       .ExpectPrefix("PORT 127,0,0,1,")
                       .Reply("200 PORT ok")
                       .Expect("LIST")
                       .Reply("150 Here comes the listing")
                       .Hold();
    if (how.sendsAbor) script.Expect("ABOR");
    script.Reply("425 Can't open data connection");
    if (how.sendsAbor) script.Reply("226 ABOR successful");
    script.Expect("NOOP").Reply("200 ok");
    // The listing's reply has been read; the client now waits for the server's connection.
    s.ftp.OnStatus = [&](TComponent*, const std::string& text) {
        s.status.push_back(text);
        if (how.end && text == "150 Here comes the listing\r\n")
            QTimer::singleShot(50, [&] { how.end(s.ftp); });
    };
    s.StartLoggedIn();

    std::optional<ErrorReason> reason;
    EXPECT_EQ(faults::MessageOf([&] {
                  try {
                      s.ftp.ListDirectory();
                  } catch (const std::exception& error) {
                      reason = ReasonOf(error);
                      throw;
                  }
              }),
              "Accepting Canceled");
    EXPECT_EQ(reason, how.reason);
    EXPECT_FALSE(s.ftp.ListInProgress);
    s.server.Release();
    s.ftp.TimeOut = 0;
    faults::ExpectNextCommandWorks(s);
    EXPECT_TRUE(s.server.Verify());
}

INSTANTIATE_TEST_SUITE_P(Ways, ServerNeverConnectsBack,
                         ::testing::Values(NoCallEnd{"TimeOut", nullptr, true, false, 0,
                                                     ErrorReason::DataConnectionFailed},
                                           // Its own bound, without a TimeOut for everything else.
                                           NoCallEnd{"AcceptTimeOut", nullptr, false, false, 300,
                                                     ErrorReason::DataConnectionFailed},
                                           NoCallEnd{"Abort", [](TVaskFTP& ftp) { ftp.Abort(); },
                                                     false, false, 0, ErrorReason::AcceptCanceled},
                                           NoCallEnd{"Cancel", [](TVaskFTP& ftp) { ftp.Cancel(); },
                                                     false, true, 0, ErrorReason::AcceptCanceled}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ActiveModeFaults, A425InsteadOfTheConnectionFailsWithIt)
{
    ActiveSession s;
    s.handleFailures = true;
    s.LoggedIn()
        .Expect("TYPE I")
        .Reply("200 binary")
        .ExpectPrefix("PORT ")
        .Reply("200 PORT ok")
        .Expect("RETR f")
        .Reply("150 Opening data connection for f")
        .Reply("425 Can't open data connection")
        .Expect("NOOP")
        .Reply("200 ok");
    s.StartLoggedIn();

    EXPECT_NO_THROW(s.ftp.Download("f", s.dir.File("f")));
    EXPECT_EQ(s.events, Lines{"OnFailure ctDownload"});
    EXPECT_EQ(s.ftp.LastReply, "150 Opening data connection for f\r\n");
    EXPECT_TRUE(faults::Contains(s.status, "425 Can't open data connection\r\n"));
    faults::ExpectNextCommandWorks(s);
    EXPECT_TRUE(s.server.Verify());
}

// What the window needs to know to try passive mode instead: that the data connection could not
// be made, told apart from the server's refusal of the request itself.
TEST(ActiveModeFaults, FailuresOfTheDataConnectionCarryTheirOwnReason)
{
    struct Row {
        const char* why;
        const char* portReply;
        const char* listReply; // nullptr: not asked
        ErrorReason reason;
    };
    const Row rows[] = {
        {"PORT refused", "500 Illegal PORT command.", nullptr, ErrorReason::DataConnectionFailed},
        {"PORT to a foreign address refused", "501 Rejected data connection to foreign address",
         nullptr, ErrorReason::DataConnectionFailed},
        {"425 to the listing", "200 PORT ok", "425 Failed to establish connection.",
         ErrorReason::DataConnectionFailed},
        {"the listing itself refused", "200 PORT ok", "450 No files found",
         ErrorReason::ServerRefused},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        ActiveSession s;
        auto& script = s.LoggedIn().ExpectPrefix("PORT ").Reply(row.portReply);
        if (row.listReply) script.Expect("LIST").Reply(row.listReply);
        script.Expect("NOOP").Reply("200 ok");
        s.StartLoggedIn();

        EXPECT_EQ(faults::ReasonRaisedBy([&] { s.ftp.ListDirectory(); }), row.reason);
        faults::ExpectNextCommandWorks(s);
        EXPECT_TRUE(s.server.Verify());
    }
}

TEST(ActiveModeFaults, AnIntruderWhoConnectsFirstIsTurnedAwayAndGetsNothing)
{
    const std::string payload = testsupport::AllByteValuesWithCrLf();
    for (const bool upload : {false, true}) {
        SCOPED_TRACE(upload ? "STOR" : "RETR");
        ActiveSession s;
        s.ftp.ReportLevel = 4;
        const std::string local = s.dir.File("f");
        if (upload) testsupport::WriteFileBytes(local, payload);
        IntruderBeforeTheServer(s.LoggedIn(), upload, payload).Expect("NOOP").Reply("200 ok");
        s.StartLoggedIn();

        upload ? s.ftp.Upload(local, "f") : s.ftp.Download("f", local);
        EXPECT_TRUE(faults::Contains(s.status, "Data connection from 127.0.0.2 refused"));
        EXPECT_EQ(testsupport::ReadFileBytes(local), payload);
        faults::ExpectNextCommandWorks(s);
        ASSERT_TRUE(s.server.Verify());
        if (upload) {
            EXPECT_EQ(s.server.ReceivedData(), Lines{payload});
        }
    }
}

// The same intruder against the non-blocking session (folder transfers, mirror): turned away
// unread, the listener left for the server's own connection, and the session goes on.
TEST(ActiveModeFaults, TheNonBlockingSessionTurnsAnIntruderAwayToo)
{
    const std::string payload = testsupport::AllByteValuesWithCrLf();
    // A lambda, so that a row's ASSERT leaves only that row.
    const auto row = [&](const transfer::Operation operation) {
        const bool upload = operation == transfer::Operation::Put;
        SCOPED_TRACE(upload ? "STOR" : "RETR");
        testsupport::TempDir dir("tavolen-intruder");
        const std::string local = dir.File("f");
        if (upload) testsupport::WriteFileBytes(local, payload);
        testsupport::ScriptedFtpServer server;
        auto& login = server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
        IntruderBeforeTheServer(login, upload, payload).Expect("MKD d").Reply("257 \"d\" created");
        server.Start();
        const std::unique_ptr<FtpSession> session =
            faults::OpenedSession(server, 5000, [](TVaskFTP& ftp) { ftp.Passive = false; });
        ASSERT_TRUE(session);

        transfer::Request request;
        request.operation = operation;
        request.remotePath = "f";
        request.localPath = local;
        std::optional<transfer::Outcome> ended = faults::RunToEnd(*session, request);
        ASSERT_TRUE(ended) << "the transfer did not end";
        EXPECT_TRUE(ended->ok) << ended->message;
        if (ended->ok) {
            EXPECT_EQ(testsupport::ReadFileBytes(local), payload);
        }
        request.operation = transfer::Operation::MakeDirectory;
        request.remotePath = "d";
        ended = faults::RunToEnd(*session, request);
        ASSERT_TRUE(ended);
        EXPECT_TRUE(ended->ok) << ended->message;
        ASSERT_TRUE(server.Verify());
        if (upload) {
            EXPECT_EQ(server.ReceivedData(), Lines{payload});
        }
    };
    row(transfer::Operation::Get);
    row(transfer::Operation::Put);
}

// Behind a proxy the data comes from the server, not from the proxy the control connection
// goes to, so there is nothing to compare its address with.
TEST(ActiveModeFaults, BehindAProxyTheDataConnectionIsTakenFromAnyAddress)
{
    ActiveSession s;
    s.ftp.Host = std::string(64, 'h') + ".exemplo"; // never looked up: only the proxy is
    s.ftp.Proxy = "127.0.0.1";
    s.ftp.ProxyPort = s.server.Port();
    s.server.Reply("220 proxy")
        .ExpectPrefix("USER ana@")
        .Reply("331 senha")
        .Expect("PASS s3nh@")
        .Reply("230 dentro")
        .NoFeatures()
        .ExpectPrefix("PORT ")
        .Reply("200 PORT ok")
        .Expect("LIST")
        .Reply("150 go ahead")
        .ConnectBackFrom("127.0.0.2")
        .SendData("de longe\r\n")
        .CloseData()
        .Reply("226 done");
    s.server.Start();
    s.ftp.Connect();
    s.events.clear();
    s.ftp.OnListItem = [&](const std::string& line) { s.events.push_back(line); };

    s.ftp.ListDirectory();
    EXPECT_EQ(s.events, (Lines{"OnTransactionStart", "de longe", "OnSuccess ctList"}));
    EXPECT_TRUE(s.server.Verify());
}

} // namespace
