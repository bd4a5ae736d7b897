// The non-blocking session's commands that move no data, and its append, against a scripted
// server: what each reply makes of the operation, in the session interface's terms, and whether
// the session goes on after it.
#include "FaultSession.h"
#include "ftp/FtpSession.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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
    // After the login, in order, the client's commands and the server's replies: a reply starts
    // with a digit or a space (a continuation line), and "<close>" closes the connection.
    std::vector<std::string> talk;
    FailureKind kind;  // None: the operation succeeds
    std::string path;  // ChangeDirectory, CurrentDirectory
    std::string reply; // SendCommand
    std::string command;

    Row(const char* name, Operation operation, std::vector<std::string> talk, FailureKind kind,
        std::string path = {}, std::string reply = {}, std::string command = "SITE CHMOD 644 f")
        : name(name), operation(operation), talk(std::move(talk)), kind(kind),
          path(std::move(path)), reply(std::move(reply)), command(std::move(command))
    {
    }
};

Script& LoggedIn(Script& server)
{
    return server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
}

// What follows the operation when the session is to go on: its own reply, and nothing owed.
void GoesOn(Script& s) { s.Expect("MKD d").Reply("257 \"d\" created").Expect("QUIT").Reply("221"); }

using K = FailureKind;
using O = Operation;
const Row kRows[] = {
    // ChangeDirectory: CWD, then PWD names the directory.
    Row("CwdThenPwd", O::ChangeDirectory,
        {"CWD pub", "250 Directory changed", "PWD", "257 \"/srv/pub\" is the current directory"},
        K::None, "/srv/pub"),
    Row("CwdAnswered200", O::ChangeDirectory,
        {"CWD pub", "200 ok", "PWD", "257 \"/a\"\"b\" is current"}, K::None, "/a\"b"),
    Row("PwdRefusedAfterCwd", O::ChangeDirectory,
        {"CWD pub", "250 Directory changed", "PWD", "550 No"}, K::None, ""),
    Row("CwdRefusedForGood", O::ChangeDirectory, {"CWD pub", "550 No such directory"},
        K::RefusedForGood),
    Row("CwdRefusedForNow", O::ChangeDirectory, {"CWD pub", "450 Busy"}, K::RefusedForNow),
    Row("CwdUnknown", O::ChangeDirectory, {"CWD pub", "502 Not implemented"}, K::Unsupported),
    Row("CwdOutOfStep", O::ChangeDirectory, {"CWD pub", "226 Transfer complete"},
        K::ConnectionLost),
    Row("PwdOutOfStep", O::ChangeDirectory, {"CWD pub", "250 ok", "PWD", "250 ok"},
        K::ConnectionLost),
    Row("CwdConnectionClosed", O::ChangeDirectory, {"CWD pub", "<close>"}, K::ConnectionLost),
    Row("PwdConnectionClosed", O::ChangeDirectory, {"CWD pub", "250 ok", "PWD", "<close>"},
        K::ConnectionLost),
    // CurrentDirectory
    Row("Pwd", O::CurrentDirectory, {"PWD", "257 \"/home/ana\" is current"}, K::None, "/home/ana"),
    Row("PwdNamesNoPath", O::CurrentDirectory, {"PWD", "257 is current"}, K::Other),
    Row("PwdRefused", O::CurrentDirectory, {"PWD", "550 No"}, K::RefusedForGood),
    Row("PwdAnsweredPreliminary", O::CurrentDirectory, {"PWD", "150 Opening"}, K::ConnectionLost),
    // Delete
    Row("Dele", O::Delete, {"DELE pub", "250 Deleted"}, K::None),
    Row("DeleRefusedForGood", O::Delete, {"DELE pub", "550 Permission denied"}, K::RefusedForGood),
    Row("DeleRefusedForNow", O::Delete, {"DELE pub", "450 File in use"}, K::RefusedForNow),
    Row("DeleOutOfStep", O::Delete, {"DELE pub", "227 Entering Passive Mode (127,0,0,1,4,1)"},
        K::ConnectionLost),
    Row("DeleConnectionClosed", O::Delete, {"DELE pub", "<close>"}, K::ConnectionLost),
    // RemoveDirectory
    Row("Rmd", O::RemoveDirectory, {"RMD pub", "250 Gone"}, K::None),
    Row("RmdRefusedForGood", O::RemoveDirectory, {"RMD pub", "550 Directory not empty"},
        K::RefusedForGood),
    Row("RmdRefusedForNow", O::RemoveDirectory, {"RMD pub", "450 Busy"}, K::RefusedForNow),
    Row("RmdOutOfStep", O::RemoveDirectory, {"RMD pub", "213 20200101000000"}, K::ConnectionLost),
    Row("RmdConnectionClosed", O::RemoveDirectory, {"RMD pub", "<close>"}, K::ConnectionLost),
    // Rename: RNFR, 350, RNTO.
    Row("Rename", O::Rename, {"RNFR pub", "350 Ready for RNTO", "RNTO new name", "250 Renamed"},
        K::None),
    Row("RnfrRefusedNoRnto", O::Rename, {"RNFR pub", "550 No such file"}, K::RefusedForGood),
    Row("RntoRefusedForGood", O::Rename,
        {"RNFR pub", "350 Ready", "RNTO new name", "553 Name not allowed"}, K::RefusedForGood),
    Row("RntoRefusedForNow", O::Rename, {"RNFR pub", "350 Ready", "RNTO new name", "450 Busy"},
        K::RefusedForNow),
    Row("RnfrAnsweredAsRnto", O::Rename, {"RNFR pub", "250 Renamed"}, K::ConnectionLost),
    Row("RntoAnsweredAsRnfr", O::Rename, {"RNFR pub", "350 Ready", "RNTO new name", "350 Ready"},
        K::ConnectionLost),
    Row("RntoConnectionClosed", O::Rename, {"RNFR pub", "350 Ready", "RNTO new name", "<close>"},
        K::ConnectionLost),
    // SendCommand: any reply of the server's, every line kept.
    Row("Typed", O::SendCommand, {"SITE CHMOD 644 f", "200 SITE CHMOD command ok."}, K::None, "",
        "200 SITE CHMOD command ok."),
    Row("TypedManyLines", O::SendCommand,
        {"HELP", "214-The following commands are recognized:", " CWD DELE", "214 Help OK."},
        K::None, "", "214-The following commands are recognized:\n CWD DELE\n214 Help OK.", "HELP"),
    Row("TypedPreliminaryThenLast", O::SendCommand, {"SITE X", "150 Working", "250 Done"}, K::None,
        "", "150 Working\n250 Done", "SITE X"),
    Row("TypedRefused", O::SendCommand, {"SITE X", "500 Unknown SITE command"}, K::Unsupported, "",
        "500 Unknown SITE command", "SITE X"),
    Row("TypedRefusedForNow", O::SendCommand, {"SITE X", "451 Later"}, K::RefusedForNow, "",
        "451 Later", "SITE X"),
    Row("TypedKnownCommandOutOfStep", O::SendCommand, {"CWD x", "226 Done"}, K::ConnectionLost, "",
        "", "CWD x"),
    Row("TypedConnectionClosed", O::SendCommand, {"SITE X", "<close>"}, K::ConnectionLost, "", "",
        "SITE X"),
    Row("TypedSecondLineNeverSent", O::SendCommand, {}, K::Other, "", "", "NOOP\r\nDELE f"),
};

TEST(SessionCommands, EachReplyEndsTheOperationAsItShould)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        Script server;
        LoggedIn(server);
        for (const std::string& line : row.talk) {
            if (line == "<close>")
                server.Close();
            else if (std::isdigit(static_cast<unsigned char>(line[0])) || line[0] == ' ')
                server.Reply(line);
            else
                server.Expect(line);
        }
        const bool ok = row.kind == FailureKind::None;
        const bool goesOn = row.kind != FailureKind::ConnectionLost;
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
        EXPECT_EQ(ended->ok, ok) << ended->message;
        EXPECT_EQ(transfer::KindOf(*ended), row.kind) << ended->message;
        EXPECT_EQ(ended->path, row.path);
        EXPECT_EQ(ended->reply, row.reply);
        EXPECT_TRUE(ok || !ended->message.empty());
        // Nothing is tried again on a new login: the first try may have done it.
        EXPECT_TRUE(goesOn || !session->Idle());
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
    const struct AppendRow {
        const char* name;
        const char* closing; // the reply after the bytes
        bool ok;
        ErrorReason reason;
    } rows[] = {
        {"Appended", "226 Appended", true, ErrorReason::Unknown},
        {"RefusedAfterTheBytes", "552 Quota exceeded", false, ErrorReason::ServerRefused},
        {"OutOfStepAfterTheBytes", "200 Command okay", false, ErrorReason::OutOfStep},
    };
    for (const AppendRow& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("tavolen-append");
        testsupport::WriteFileBytes(dir.File("up"), "tail");
        Script server;
        auto& script = LoggedIn(server);
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
    auto& script = LoggedIn(server);
    for (const bool typedBefore : {false, true}) {
        if (typedBefore) script.Expect("TYPE A").Reply("200 ascii");
        script.Expect("TYPE I").Reply("200 binary");
        script.PassiveListen().Expect("PASV").Expect("RETR f").ReplyPasv();
        script.Reply("150 Opening").AcceptData().SendData("a\r\n").CloseData().Reply("226 Done");
    }
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
