// The non-blocking session's commands that move no data, and its append, against a scripted
// server: what each reply makes of the operation, in the session interface's terms, and whether
// the session goes on after it.
#include "FaultSession.h"
#include "ftp/FtpSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using faults::OpenedSession;
using faults::RunToEnd;
using Script = testsupport::ScriptedFtpServer;
using transfer::FailureKind;
using transfer::Operation;

struct Row {
    const char* name;
    Operation operation;
    std::function<void(Script&)> exchange; // after the login
    bool ok;
    FailureKind kind = FailureKind::None;
    std::string path = {};  // ChangeDirectory, CurrentDirectory
    std::string reply = {}; // SendCommand
    std::string command = "SITE CHMOD 644 f";
};

// What follows the operation when the session is to go on: its own reply, and nothing owed.
void GoesOn(Script& s) { s.Expect("MKD d").Reply("257 \"d\" created").Expect("QUIT").Reply("221"); }

const Row kRows[] = {
    // ChangeDirectory: CWD, then PWD names the directory.
    {"CwdThenPwd", Operation::ChangeDirectory,
     [](Script& s) {
         s.Expect("CWD pub").Reply("250 Directory changed").Expect("PWD");
         s.Reply("257 \"/srv/pub\" is the current directory");
     },
     true, FailureKind::None, "/srv/pub"},
    {"CwdAnswered200", Operation::ChangeDirectory,
     [](Script& s) {
         s.Expect("CWD pub").Reply("200 ok").Expect("PWD").Reply("257 \"/a\"\"b\" is current");
     },
     true, FailureKind::None, "/a\"b"},
    {"PwdRefusedAfterCwd", Operation::ChangeDirectory,
     [](Script& s) {
         s.Expect("CWD pub").Reply("250 Directory changed").Expect("PWD").Reply("550 No");
     },
     true, FailureKind::None, ""},
    {"CwdRefusedForGood", Operation::ChangeDirectory,
     [](Script& s) { s.Expect("CWD pub").Reply("550 No such directory"); }, false,
     FailureKind::RefusedForGood},
    {"CwdRefusedForNow", Operation::ChangeDirectory,
     [](Script& s) { s.Expect("CWD pub").Reply("450 Busy"); }, false, FailureKind::RefusedForNow},
    {"CwdUnknown", Operation::ChangeDirectory,
     [](Script& s) { s.Expect("CWD pub").Reply("502 Not implemented"); }, false,
     FailureKind::Unsupported},
    {"CwdOutOfStep", Operation::ChangeDirectory,
     [](Script& s) { s.Expect("CWD pub").Reply("226 Transfer complete"); }, false,
     FailureKind::ConnectionLost},
    {"PwdOutOfStep", Operation::ChangeDirectory,
     [](Script& s) { s.Expect("CWD pub").Reply("250 ok").Expect("PWD").Reply("250 ok"); }, false,
     FailureKind::ConnectionLost},
    {"CwdConnectionClosed", Operation::ChangeDirectory,
     [](Script& s) { s.Expect("CWD pub").Close(); }, false, FailureKind::ConnectionLost},
    {"PwdConnectionClosed", Operation::ChangeDirectory,
     [](Script& s) { s.Expect("CWD pub").Reply("250 ok").Expect("PWD").Close(); }, false,
     FailureKind::ConnectionLost},
    // CurrentDirectory
    {"Pwd", Operation::CurrentDirectory,
     [](Script& s) { s.Expect("PWD").Reply("257 \"/home/ana\" is current"); }, true,
     FailureKind::None, "/home/ana"},
    {"PwdNamesNoPath", Operation::CurrentDirectory,
     [](Script& s) { s.Expect("PWD").Reply("257 is current"); }, false, FailureKind::Other},
    {"PwdRefused", Operation::CurrentDirectory, [](Script& s) { s.Expect("PWD").Reply("550 No"); },
     false, FailureKind::RefusedForGood},
    {"PwdAnsweredPreliminary", Operation::CurrentDirectory,
     [](Script& s) { s.Expect("PWD").Reply("150 Opening"); }, false, FailureKind::ConnectionLost},
    // Delete
    {"Dele", Operation::Delete, [](Script& s) { s.Expect("DELE pub").Reply("250 Deleted"); }, true},
    {"DeleRefusedForGood", Operation::Delete,
     [](Script& s) { s.Expect("DELE pub").Reply("550 Permission denied"); }, false,
     FailureKind::RefusedForGood},
    {"DeleRefusedForNow", Operation::Delete,
     [](Script& s) { s.Expect("DELE pub").Reply("450 File in use"); }, false,
     FailureKind::RefusedForNow},
    {"DeleOutOfStep", Operation::Delete,
     [](Script& s) { s.Expect("DELE pub").Reply("227 Entering Passive Mode (127,0,0,1,4,1)"); },
     false, FailureKind::ConnectionLost},
    {"DeleConnectionClosed", Operation::Delete, [](Script& s) { s.Expect("DELE pub").Close(); },
     false, FailureKind::ConnectionLost},
    // RemoveDirectory
    {"Rmd", Operation::RemoveDirectory, [](Script& s) { s.Expect("RMD pub").Reply("250 Gone"); },
     true},
    {"RmdRefusedForGood", Operation::RemoveDirectory,
     [](Script& s) { s.Expect("RMD pub").Reply("550 Directory not empty"); }, false,
     FailureKind::RefusedForGood},
    {"RmdRefusedForNow", Operation::RemoveDirectory,
     [](Script& s) { s.Expect("RMD pub").Reply("450 Busy"); }, false, FailureKind::RefusedForNow},
    {"RmdOutOfStep", Operation::RemoveDirectory,
     [](Script& s) { s.Expect("RMD pub").Reply("213 20200101000000"); }, false,
     FailureKind::ConnectionLost},
    {"RmdConnectionClosed", Operation::RemoveDirectory,
     [](Script& s) { s.Expect("RMD pub").Close(); }, false, FailureKind::ConnectionLost},
    // Rename: RNFR, 350, RNTO.
    {"Rename", Operation::Rename,
     [](Script& s) {
         s.Expect("RNFR pub").Reply("350 Ready for RNTO").Expect("RNTO new name");
         s.Reply("250 Renamed");
     },
     true},
    {"RnfrRefusedNoRnto", Operation::Rename,
     [](Script& s) { s.Expect("RNFR pub").Reply("550 No such file"); }, false,
     FailureKind::RefusedForGood},
    {"RntoRefusedForGood", Operation::Rename,
     [](Script& s) {
         s.Expect("RNFR pub").Reply("350 Ready").Expect("RNTO new name");
         s.Reply("553 Name not allowed");
     },
     false, FailureKind::RefusedForGood},
    {"RntoRefusedForNow", Operation::Rename,
     [](Script& s) {
         s.Expect("RNFR pub").Reply("350 Ready").Expect("RNTO new name").Reply("450 Busy");
     },
     false, FailureKind::RefusedForNow},
    {"RnfrAnsweredAsRnto", Operation::Rename,
     [](Script& s) { s.Expect("RNFR pub").Reply("250 Renamed"); }, false,
     FailureKind::ConnectionLost},
    {"RntoAnsweredAsRnfr", Operation::Rename,
     [](Script& s) {
         s.Expect("RNFR pub").Reply("350 Ready").Expect("RNTO new name").Reply("350 Ready");
     },
     false, FailureKind::ConnectionLost},
    {"RntoConnectionClosed", Operation::Rename,
     [](Script& s) { s.Expect("RNFR pub").Reply("350 Ready").Expect("RNTO new name").Close(); },
     false, FailureKind::ConnectionLost},
    // SendCommand: any reply of the server's, every line kept.
    {"Typed", Operation::SendCommand,
     [](Script& s) { s.Expect("SITE CHMOD 644 f").Reply("200 SITE CHMOD command ok."); }, true,
     FailureKind::None, "", "200 SITE CHMOD command ok."},
    {"TypedManyLines", Operation::SendCommand,
     [](Script& s) {
         s.Expect("HELP").Reply("214-The following commands are recognized:");
         s.Reply(" CWD DELE").Reply("214 Help OK.");
     },
     true, FailureKind::None, "",
     "214-The following commands are recognized:\n CWD DELE\n214 Help OK.", "HELP"},
    {"TypedPreliminaryThenLast", Operation::SendCommand,
     [](Script& s) { s.Expect("SITE X").Reply("150 Working").Reply("250 Done"); }, true,
     FailureKind::None, "", "150 Working\n250 Done", "SITE X"},
    {"TypedRefused", Operation::SendCommand,
     [](Script& s) { s.Expect("SITE X").Reply("500 Unknown SITE command"); }, false,
     FailureKind::Unsupported, "", "500 Unknown SITE command", "SITE X"},
    {"TypedRefusedForNow", Operation::SendCommand,
     [](Script& s) { s.Expect("SITE X").Reply("451 Later"); }, false, FailureKind::RefusedForNow,
     "", "451 Later", "SITE X"},
    {"TypedKnownCommandOutOfStep", Operation::SendCommand,
     [](Script& s) { s.Expect("CWD x").Reply("226 Done"); }, false, FailureKind::ConnectionLost, "",
     "", "CWD x"},
    {"TypedConnectionClosed", Operation::SendCommand, [](Script& s) { s.Expect("SITE X").Close(); },
     false, FailureKind::ConnectionLost, "", "", "SITE X"},
    {"TypedSecondLineNeverSent", Operation::SendCommand, [](Script&) {}, false, FailureKind::Other,
     "", "", "NOOP\r\nDELE f"},
};

TEST(SessionCommands, EachReplyEndsTheOperationAsItShould)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        Script server;
        server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
        row.exchange(server);
        const bool goesOn = row.ok || row.kind == FailureKind::RefusedForGood ||
                            row.kind == FailureKind::RefusedForNow ||
                            row.kind == FailureKind::Unsupported || row.kind == FailureKind::Other;
        if (goesOn) GoesOn(server);
        server.Start();
        const std::unique_ptr<FtpSession> session = OpenedSession(server, 5000);
        ASSERT_TRUE(session);

        transfer::Request request;
        request.operation = row.operation;
        request.remotePath = "pub";
        request.newRemotePath = "new name";
        request.command = row.command;
        const std::optional<transfer::Outcome> ended = RunToEnd(*session, request);
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->ok, row.ok) << ended->message;
        EXPECT_EQ(transfer::KindOf(*ended), row.kind) << ended->message;
        EXPECT_EQ(ended->path, row.path);
        EXPECT_EQ(ended->reply, row.reply);
        if (!row.ok) {
            EXPECT_FALSE(ended->message.empty());
        }
        // Nothing is tried again on a new login: the first try may have done it.
        if (row.kind == FailureKind::ConnectionLost) {
            EXPECT_FALSE(session->Idle());
        }
        if (goesOn) {
            request.operation = Operation::MakeDirectory;
            request.remotePath = "d";
            const std::optional<transfer::Outcome> next = RunToEnd(*session, request);
            ASSERT_TRUE(next);
            EXPECT_TRUE(next->ok) << next->message;
        }
        session->Close();
        EXPECT_TRUE(server.Verify());
    }
}

// An append sends the whole file after APPE; one whose server answers out of step after bytes
// went is not sent again on a new login, where it would add the file a second time.
TEST(SessionCommands, AppendSendsTheFileOnceWithAppe)
{
    struct AppendRow {
        const char* name;
        const char* closing; // the reply after the bytes
        bool ok;
        ErrorReason reason;
    };
    const AppendRow rows[] = {
        {"Appended", "226 Appended", true, ErrorReason::Unknown},
        {"RefusedAfterTheBytes", "552 Quota exceeded", false, ErrorReason::ServerRefused},
        {"OutOfStepAfterTheBytes", "200 Command okay", false, ErrorReason::OutOfStep},
    };
    for (const AppendRow& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-append");
        testsupport::WriteFileBytes(dir.File("up"), "tail");
        Script server;
        auto& script = server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
        script.Expect("TYPE I").Reply("200 binary");
        script.PassiveListen().Expect("PASV").Expect("APPE f").ReplyPasv();
        script.Reply("150 Opening").AcceptData().ReceiveData().Reply(row.closing);
        if (row.reason != ErrorReason::OutOfStep) script.Expect("QUIT").Reply("221 Bye");
        server.Start();
        // Checksums and times would not be those of an appended file: neither is asked.
        const std::unique_ptr<FtpSession> session = OpenedSession(server, 5000, [](TVaskFTP& ftp) {
            ftp.Verify = TVerifyMode::Require;
            ftp.KeepTimes = true;
        });
        ASSERT_TRUE(session);
        transfer::Request request;
        request.operation = Operation::Put;
        request.append = true;
        request.remotePath = "f";
        request.localPath = dir.File("up");
        const std::optional<transfer::Outcome> ended = RunToEnd(*session, request);
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->ok, row.ok) << ended->message;
        EXPECT_EQ(ended->reason, row.reason) << ended->message;
        EXPECT_EQ(server.ReceivedData(), std::vector<std::string>{"tail"});
        session->Close();
        EXPECT_TRUE(server.Verify());
    }
}

// A typed command may set the transfer type: the next transfer sets binary again.
TEST(SessionCommands, TypedTypeIsUndoneBeforeTheNextTransfer)
{
    testsupport::TempDir dir("tavolen-typed");
    Script server;
    auto& script = server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
    script.Expect("TYPE I").Reply("200 binary");
    script.PassiveListen().Expect("PASV").Expect("RETR f").ReplyPasv();
    script.Reply("150 Opening").AcceptData().SendData("a\r\n").CloseData().Reply("226 Done");
    script.Expect("TYPE A").Reply("200 ascii");
    script.Expect("TYPE I").Reply("200 binary");
    script.PassiveListen().Expect("PASV").Expect("RETR f").ReplyPasv();
    script.Reply("150 Opening").AcceptData().SendData("a\r\n").CloseData().Reply("226 Done");
    script.Expect("QUIT").Reply("221 Bye");
    server.Start();
    const std::unique_ptr<FtpSession> session = OpenedSession(server, 5000);
    ASSERT_TRUE(session);
    transfer::Request get;
    get.operation = Operation::Get;
    get.remotePath = "f";
    get.localPath = dir.File("f");
    transfer::Request typed;
    typed.operation = Operation::SendCommand;
    typed.command = "TYPE A";
    for (const transfer::Request& request : {get, typed, get}) {
        const std::optional<transfer::Outcome> ended = RunToEnd(*session, request);
        ASSERT_TRUE(ended);
        EXPECT_TRUE(ended->ok) << ended->message;
    }
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("f")), "a\r\n");
    session->Close();
    EXPECT_TRUE(server.Verify());
}

} // namespace
