// The control channel against a scripted server: whole replies, how reply codes map to success,
// failure and unsupported-function events, and the single-command operations.
#include "ScriptedSession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ftptest::ScriptedSession;
using Lines = std::vector<std::string>;

TEST(ControlChannel, MultiLineReplyIsReadWholeAndEveryLineReported)
{
    ScriptedSession s;
    s.LoggedIn()
        .Expect("STAT")
        .Send("211-Estado do servidor\r\n"
              " conectado desde ontem\r\n"
              "211-ainda mais\r\n"
              "211 Fim\r\n")
        .Expect("PWD")
        .Reply("257 \"/\" is current");
    s.StartLoggedIn();

    s.ftp.SendCommand("STAT");
    EXPECT_EQ(s.ftp.ReplyCode, 211);
    EXPECT_EQ(s.ftp.LastReply, "211-Estado do servidor\r\n");
    EXPECT_EQ(s.status, (Lines{"STAT", "211-Estado do servidor\r\n", " conectado desde ontem\r\n",
                               "211-ainda mais\r\n", "211 Fim\r\n"}));
    // Had a line been left behind, it would have been taken for the answer to PWD.
    EXPECT_EQ(s.ftp.CurrentDirectory(), "/");
    EXPECT_TRUE(s.server.Verify());
}

TEST(ControlChannel, AReplyEndsOnlyAtItsOwnCodeFollowedByABlank)
{
    ScriptedSession s;
    // "250x" looks like neither an inner line nor the last one; it used to end the reply early,
    // and the rest of the reply was dropped as stale. A "250-" reply ends at "250 " and nowhere
    // else.
    s.LoggedIn()
        .Expect("NOOP")
        .Send("250-um\r\n250x\r\n250 tres\r\n")
        .Expect("PWD")
        .Reply("257 \"/dados\"");
    s.StartLoggedIn();

    s.ftp.SendCommand("NOOP");
    EXPECT_EQ(s.status, (Lines{"NOOP", "250-um\r\n", "250x\r\n", "250 tres\r\n"}));
    EXPECT_EQ(s.ftp.CurrentDirectory(), "/dados");
    EXPECT_TRUE(s.server.Verify());
}

TEST(ControlChannel, CodesFrom400To599FailAndTheRestSucceed)
{
    ScriptedSession s;
    const int codes[] = {399, 400, 599, 600, 200};
    auto& script = s.LoggedIn();
    for (int code : codes) script.Expect("NOOP").Reply(std::to_string(code) + " resposta");
    s.ftp.OnFailure = [&](bool& handled, TCmdType type) {
        s.events.push_back(std::string("OnFailure ") + CmdTypeName(type));
        handled = true;
    };
    s.StartLoggedIn();

    for (int code : codes) {
        s.ftp.SendCommand("NOOP");
        EXPECT_EQ(s.ftp.ReplyCode, code);
    }
    EXPECT_EQ(s.events, (Lines{"OnSuccess ctOtherCommand", "OnFailure ctOtherCommand",
                               "OnFailure ctOtherCommand", "OnSuccess ctOtherCommand",
                               "OnSuccess ctOtherCommand"}));
    EXPECT_TRUE(s.server.Verify());
}

TEST(ControlChannel, Codes500To502AreUnsupportedBeforeTheyFail)
{
    ScriptedSession s;
    s.LoggedIn()
        .Expect("MKD a")
        .Reply("500 desconhecido")
        .Expect("MKD b")
        .Reply("501 sintaxe")
        .Expect("MKD c")
        .Reply("502 nao implementado")
        .Expect("MKD d")
        .Reply("503 sequencia errada");
    s.ftp.OnFailure = [&](bool& handled, TCmdType type) {
        s.events.push_back(std::string("OnFailure ") + CmdTypeName(type));
        handled = true;
    };
    s.StartLoggedIn();

    for (const char* name : {"a", "b", "c", "d"}) s.ftp.MakeDirectory(name);
    EXPECT_EQ(s.events, (Lines{"OnUnSupportedFunction ctMakeDirectory", "OnFailure ctMakeDirectory",
                               "OnUnSupportedFunction ctMakeDirectory", "OnFailure ctMakeDirectory",
                               "OnUnSupportedFunction ctMakeDirectory", "OnFailure ctMakeDirectory",
                               "OnFailure ctMakeDirectory"}));
    EXPECT_TRUE(s.server.Verify());
}

TEST(ControlChannel, AFailureRaisesTheReplyLineUnlessTheHandlerTakesIt)
{
    ScriptedSession s;
    s.LoggedIn()
        .Expect("DELE sem-handler")
        .Reply("550 nao existe")
        .Expect("DELE recusado")
        .Reply("550 negado")
        .Expect("DELE tratado")
        .Reply("450 ocupado");
    s.StartLoggedIn();

    try {
        s.ftp.DeleteFile("sem-handler");
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_STREQ(e.what(), "550 nao existe\r\n");
    }

    bool takeIt = false;
    s.ftp.OnFailure = [&](bool& handled, TCmdType type) {
        EXPECT_FALSE(handled);
        EXPECT_EQ(type, ctDeleteFile);
        handled = takeIt;
    };
    EXPECT_THROW(s.ftp.DeleteFile("recusado"), FTPException);
    takeIt = true;
    EXPECT_NO_THROW(s.ftp.DeleteFile("tratado"));
    EXPECT_EQ(s.ftp.ReplyCode, 450);
    EXPECT_TRUE(s.server.Verify());
}

TEST(ControlChannel, SingleCommandsSendTheirArgumentUnchanged)
{
    ScriptedSession s;
    s.LoggedIn().Expect("CWD ").Reply("250 ok").Expect("DELE  x y ").Reply("250 apagado");
    s.StartLoggedIn();

    s.ftp.ChangeDirectory("");
    s.ftp.DeleteFile(" x y ");
    EXPECT_EQ(s.events, (Lines{"OnSuccess ctChangeDirectory", "OnSuccess ctDeleteFile"}));
    EXPECT_EQ(s.status[0], "CWD "); // the command line is reported whole, at level 1
    EXPECT_TRUE(s.server.Verify());
}

TEST(ControlChannel, CurrentDirectoryIsThePathBetweenTheQuotes)
{
    ScriptedSession s;
    s.LoggedIn()
        .Expect("PWD")
        .Reply("257 \"/pub/incoming\" is the current directory.")
        .Expect("PWD")
        .Reply("257 sem aspas")
        // Servers double a quote that belongs to the path.
        .Expect("PWD")
        .Reply("257 \"/a\"\"b\" is the current directory.")
        // Some servers do not double it: the path then runs to the line's last quote (it used
        // to be cut at the inner one, giving "/a").
        .Expect("PWD")
        .Reply("257 \"/a\"b\" is current");
    s.StartLoggedIn();

    EXPECT_EQ(s.ftp.CurrentDirectory(), "/pub/incoming");
    EXPECT_EQ(s.ftp.CurrentDirectory(), "");
    EXPECT_EQ(s.ftp.CurrentDirectory(), "/a\"b");
    EXPECT_EQ(s.ftp.CurrentDirectory(), "/a\"b");
    EXPECT_EQ(s.events.front(), "OnSuccess ctCurrentDirectory");
    EXPECT_TRUE(s.server.Verify());
}

TEST(ControlChannel, WithoutAConnectionNothingIsSentAndNoFailureFires)
{
    TVaskFTP ftp(nullptr);
    int required = 0, failures = 0;
    ftp.OnConnectionRequired = [&](bool&) { ++required; };
    ftp.OnFailure = [&](bool&, TCmdType) { ++failures; };
    try {
        ftp.ChangeDirectory("pub");
        ADD_FAILURE() << "no exception";
    } catch (const FTPException&) {
        ADD_FAILURE() << "not a reply of a server";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Not Connected");
    }
    EXPECT_EQ(required, 1);
    EXPECT_EQ(failures, 0);
}

TEST(ControlChannel, AServerThatHangsUpInsteadOfAnsweringIsAFailure)
{
    ScriptedSession s;
    s.LoggedIn().Expect("DELE a.txt").Close();
    TCmdType failed = ctList;
    s.ftp.OnFailure = [&](bool&, TCmdType type) { failed = type; };
    s.StartLoggedIn();

    try {
        s.ftp.DeleteFile("a.txt");
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Reason(), ErrorReason::ServerClosed);
    }
    EXPECT_EQ(failed, ctDeleteFile);
    // The close notification may or may not have come in while the reply was awaited.
    for (const std::string& event : s.events) EXPECT_EQ(event, "OnDisconnect");
    EXPECT_TRUE(s.server.Verify());
}

TEST(ControlChannel, AbortCancelsOnlyTheDataConnection)
{
    TVaskFTP ftp(nullptr);
    ftp.Abort(); // no data connection: nothing to do
    EXPECT_FALSE(ftp.Canceled);

    ftp.DataSocket = new TWirecore(&ftp); // owned by the component, freed with it
    ftp.Abort();
    EXPECT_TRUE(ftp.DataSocket->Canceled);
    EXPECT_FALSE(ftp.Canceled);
}

} // namespace
