// Replies that come late, never, or not as announced: the end of a multi-line reply after a pause,
// the closing reply of a transfer the client gave up, ABOR's replies, a server that falls silent,
// sizes that do not match the file. No command may take another's reply, every wait ends, and no
// transfer succeeds unless the local file is the server's.
#include "FaultSession.h"

#include "platform/LocalFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace {

using faults::FaultSession;
using faults::Lines;
using testsupport::ScriptedFtpServer;
using namespace std::chrono_literals;

enum class After { NextCommandWorks, NotConnected };

struct LateCase {
    const char* name;
    // The server's side, and whatever the client needs before it starts.
    std::function<void(FaultSession&)> script;
    // What the client does; the outcome is what its last step raises.
    std::function<void(FaultSession&)> action;
    std::optional<ErrorReason> outcome; // nullopt: nothing raised
    Lines events;
    After after;
    std::optional<std::string> localFile; // the file "f" afterwards; nullopt: there is none
};

void PrintTo(const LateCase& row, std::ostream* out) { *out << row.name; }

std::string Local(FaultSession& s) { return s.dir.File("f"); }

// The passive download of "f" up to the server's reply to RETR, which is `reply`.
ScriptedFtpServer& Retr(FaultSession& s, const std::string& reply)
{
    return s.PreparedTransfer().Expect("RETR f").Reply(reply).AcceptData();
}

// ResumeDownload of "f" with `local` already there, up to the server's answer to SIZE.
ScriptedFtpServer& Resume(FaultSession& s, const std::string& local, const std::string& sizeReply)
{
    testsupport::WriteFileBytes(Local(s), local);
    return s.LoggedIn().Expect("TYPE I").Reply("200 binary").Expect("SIZE f").Reply(sizeReply);
}

// A resumed download of "f" from "abc" that the server answers with the whole file, from 0.
ScriptedFtpServer& RestIgnored(FaultSession& s, const std::string& sizeReply)
{
    return Resume(s, "abc", sizeReply)
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("REST 3")
        .Reply("350 Restarting at 3")
        .Expect("RETR f")
        .Reply("150 Opening data connection for f (8 bytes)")
        .AcceptData()
        .SendData("abcdefgh")
        .CloseData()
        .Reply("226 Transfer complete");
}

void Login(FaultSession& s) { s.ftp.Connect(); }
void Download(FaultSession& s) { s.ftp.Download("f", Local(s)); }
void LoginAndDownload(FaultSession& s)
{
    Login(s);
    Download(s);
}
void LoginAndResume(FaultSession& s)
{
    Login(s);
    s.ftp.ResumeDownload("f", Local(s));
}

// A download whose local file cannot be created, then a directory change.
void FailLocallyThenCwd(FaultSession& s)
{
    Login(s);
    EXPECT_EQ(faults::ReasonRaisedBy([&] { s.ftp.Download("f", s.dir.File("nao-existe/f")); }),
              ErrorReason::FileCreate);
    s.ftp.ChangeDirectory("pub");
}

const LateCase kCases[] = {
    {"LateEndOfAMultiLineGreeting",
     [](FaultSession& s) {
         s.server.Send("220-Welcome\r\nThis is a private system\r\n123 inner line\r\n\r\n")
             .Pause(500ms)
             .Reply("220 Ready.")
             .Expect("USER ana")
             .Reply("331 senha")
             .Expect("PASS s3nh@")
             .Reply("230 dentro")
             .NoFeatures()
             .Expect("NOOP")
             .Reply("200 ok");
     },
     Login, std::nullopt, Lines{"OnConnect"}, After::NextCommandWorks, std::nullopt},

    {"LateClosingReplyOfADownloadThatFailedLocallyThenARefusedCwd",
     [](FaultSession& s) {
         Retr(s, "150 Opening data connection for f (3 bytes)")
             .SendData("abc")
             .AllowClientAbort()
             .CloseData()
             .Pause(500ms)
             .Reply("226 Transfer complete")
             .Expect("CWD pub")
             .Reply("550 pub: No such directory")
             .Expect("NOOP")
             .Reply("200 ok");
     },
     FailLocallyThenCwd, ErrorReason::ServerRefused,
     Lines{"OnConnect", "OnTransactionStart", "OnFailure ctDownload",
           "OnFailure ctChangeDirectory"},
     After::NextCommandWorks, std::nullopt},

    {"ClosingReplyThatNeverComesLeavesTheSessionOutOfStep",
     [](FaultSession& s) {
         s.ftp.TimeOut = 300;
         Retr(s, "150 Opening data connection for f (3 bytes)")
             .SendData("abc")
             .AllowClientAbort()
             .CloseData();
     },
     FailLocallyThenCwd, ErrorReason::OutOfStep,
     Lines{"OnConnect", "OnTransactionStart", "OnFailure ctDownload", "OnDisconnect"},
     After::NotConnected, std::nullopt},

    {"CancelBeforeTheDataPhaseThenLateAborReplies",
     [](FaultSession& s) {
         s.ftp.OnTransactionStart = [&s](TComponent*) {
             s.events.push_back("OnTransactionStart");
             s.ftp.Cancel();
         };
         Retr(s, "150 Opening data connection for f (3 bytes)")
             .ReceiveData()
             .AllowClientAbort()
             .Expect("ABOR")
             .Reply("426 Connection closed; transfer aborted.")
             .Pause(300ms)
             .Reply("226 ABOR successful")
             .Expect("NOOP")
             .Reply("200 ok");
     },
     LoginAndDownload, ErrorReason::Canceled,
     Lines{"OnConnect", "OnTransactionStart", "OnFailure ctDownload"}, After::NextCommandWorks,
     std::nullopt},

    {"SilentServerAfterTheData",
     [](FaultSession& s) {
         s.ftp.TimeOut = 300;
         Retr(s, "150 Opening data connection for f (3 bytes)").SendData("abc").CloseData();
     },
     LoginAndDownload, ErrorReason::TimedOut,
     Lines{"OnConnect", "OnTransactionStart", "OnDisconnect", "OnFailure ctDownload"},
     After::NotConnected, "abc"},

    {"QuitNeverAnswered",
     [](FaultSession& s) {
         s.ftp.TimeOut = 300;
         s.LoggedIn().Expect("QUIT");
     },
     [](FaultSession& s) {
         Login(s);
         s.ftp.Disconnect();
     },
     std::nullopt, Lines{"OnConnect", "OnDisconnect"}, After::NotConnected, std::nullopt},

    {"DataStallThenQuitNeverAnswered",
     [](FaultSession& s) {
         s.ftp.TimeOut = 300;
         Retr(s, "150 Opening data connection for f (6 bytes)").SendData("abc").Expect("QUIT");
     },
     [](FaultSession& s) {
         Login(s);
         EXPECT_EQ(faults::ReasonRaisedBy([&] { Download(s); }), ErrorReason::TimedOut);
         s.ftp.Disconnect();
     },
     std::nullopt, Lines{"OnConnect", "OnTransactionStart", "OnFailure ctDownload", "OnDisconnect"},
     After::NotConnected, "abc"},

    {"SizeOnALaterLineOfAMultiLine150AndHalfTheFile",
     [](FaultSession& s) {
         s.PreparedTransfer()
             .Expect("RETR f")
             .Send("150-Opening data connection for f\r\n")
             .Pause(300ms)
             .Reply("150 Sending f (6 bytes)")
             .AcceptData()
             .SendData("abc")
             .CloseData()
             .Reply("226 Transfer complete")
             .Expect("NOOP")
             .Reply("200 ok");
     },
     LoginAndDownload, ErrorReason::TransferIncomplete,
     Lines{"OnConnect", "OnTransactionStart", "OnFailure ctDownload"}, After::NextCommandWorks,
     "abc"},

    {"CountAfterTheWordBytesIsNoSize",
     [](FaultSession& s) {
         Retr(s, "150 Here come the bytes: 21")
             .SendData(std::string(21, 'x'))
             .CloseData()
             .Reply("226 Transfer complete")
             .Expect("NOOP")
             .Reply("200 ok");
     },
     LoginAndDownload, std::nullopt,
     Lines{"OnConnect", "OnTransactionStart", "OnSuccess ctDownload"}, After::NextCommandWorks,
     std::string(21, 'x')},

    {"RestAcceptedButIgnored",
     [](FaultSession& s) { RestIgnored(s, "213 8").Expect("NOOP").Reply("200 ok"); },
     LoginAndResume, ErrorReason::TransferIncomplete,
     Lines{"OnConnect", "OnTransactionStart", "OnFailure ctDownload"}, After::NextCommandWorks,
     "abc"},

    {"RestIgnoredAndSizeRefusedGoesByTheAnnouncedSize",
     [](FaultSession& s) {
         RestIgnored(s, "502 SIZE not implemented").Expect("NOOP").Reply("200 ok");
     },
     LoginAndResume, ErrorReason::TransferIncomplete,
     Lines{"OnConnect", "OnTransactionStart", "OnFailure ctDownload"}, After::NextCommandWorks,
     "abc"},

    {"LocalFileLongerThanTheServers",
     [](FaultSession& s) { Resume(s, "abcdefghij", "213 8").Expect("NOOP").Reply("200 ok"); },
     LoginAndResume, ErrorReason::TransferIncomplete, Lines{"OnConnect", "OnFailure ctDownload"},
     After::NextCommandWorks, "abcdefghij"},

    {"LocalFileAlreadyComplete",
     [](FaultSession& s) { Resume(s, "abcdefgh", "213 8").Expect("NOOP").Reply("200 ok"); },
     LoginAndResume, std::nullopt, Lines{"OnConnect", "OnSuccess ctDownload"},
     After::NextCommandWorks, "abcdefgh"},

    {"ProxyRefusesTheCombinedUser",
     [](FaultSession& s) {
         s.ftp.Host = std::string(64, 'h') + ".exemplo"; // travels inside USER, never looked up
         s.ftp.Proxy = "127.0.0.1";
         s.ftp.ProxyPort = s.server.Port();
         s.server.Reply("220 proxy")
             .ExpectPrefix("USER ana@")
             .Reply("530 Proxy login refused")
             .Expect("QUIT")
             .Reply("221 tchau");
     },
     Login, ErrorReason::ServerRefused, Lines{"OnConnectionFailed", "OnDisconnect"},
     After::NotConnected, std::nullopt},
};

class LateReply : public ::testing::TestWithParam<LateCase> {};

TEST_P(LateReply, NoCommandTakesAnothersReplyAndNoWaitIsEndless)
{
    const LateCase& row = GetParam();
    FaultSession s;
    row.script(s);
    s.server.Start();

    EXPECT_EQ(faults::ReasonRaisedBy([&] { row.action(s); }), row.outcome);
    EXPECT_EQ(s.events, row.events);
    const bool exists = platform::LocalFile::SizeOf(Local(s)) >= 0;
    EXPECT_EQ(exists ? std::optional(testsupport::ReadFileBytes(Local(s))) : std::nullopt,
              row.localFile);
    if (row.after == After::NextCommandWorks)
        faults::ExpectNextCommandWorks(s);
    else
        faults::ExpectNotConnected(s);
    EXPECT_TRUE(s.server.Verify());
}

INSTANTIATE_TEST_SUITE_P(Servers, LateReply, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
