// Servers that misbehave on the control connection: odd greetings, endless lines and replies,
// hanging up or saying 421 while the client is idle.
#include "FaultSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

namespace {

using faults::FaultSession;
using faults::Lines;

TEST(GreetingFaults, A421GreetingTurnsTheClientAwayAndLeavesItUnconnected)
{
    FaultSession s;
    s.server.Reply("421 Too many users, try again later").Close();
    s.server.Start();

    EXPECT_EQ(faults::MessageOf([&] { s.ftp.Connect(); }),
              "421 Too many users, try again later\r\n");
    EXPECT_EQ(s.events, (Lines{"OnConnectionFailed", "OnDisconnect"}));
    faults::ExpectNotConnected(s);
    EXPECT_TRUE(s.server.Verify());
    // Nothing but the polite QUIT of the clean-up reached the server.
    for (const std::string& line : s.Lines()) EXPECT_EQ(line, "QUIT");
}

// Greetings that bend the reply format: the login must still go through in step, so that the
// first command after it gets its own reply.
class OddGreeting : public ::testing::TestWithParam<std::string> {};

TEST_P(OddGreeting, StillLogsInInStep)
{
    FaultSession s;
    s.server.Send(GetParam())
        .Expect("USER ana")
        .Reply("331 senha")
        .Expect("PASS s3nh@")
        .Reply("230 dentro")
        .NoFeatures()
        .Expect("PWD")
        .Reply("257 \"/casa\"");
    s.server.Start();

    ASSERT_NO_THROW(s.ftp.Connect());
    EXPECT_TRUE(faults::Contains(s.events, "OnConnect"));
    EXPECT_EQ(s.ftp.CurrentDirectory(), "/casa");
    EXPECT_TRUE(s.server.Verify());
}

INSTANTIATE_TEST_SUITE_P(
    Greetings, OddGreeting,
    ::testing::Values(
        // No code at all.
        std::string("Ola, servidor pronto\r\n"),
        // A line in the middle that is neither "220-" nor begins with a blank ends the greeting
        // early; the lines after it must not be taken for the answer to USER.
        "220-Bem-vindo\r\nEsta linha nao tem codigo\r\n220-mais\r\n220 pronto\r\n",
        // Continuation lines with other codes, blank-led lines, an empty line, a bare LF.
        "220-a\r\n230-b\r\n 331 c\r\n\r\n220 fim\r\n", "220-a\n220-b\n220 c\n",
        // Control characters and a zero byte inside the text.
        std::string("220-\x01\x1b[31m vermelho\r\n 220 ") + '\0' + " zero\r\n220 ok\r\n"));

TEST(ReplyFaults, AReplyLinePastTheLimitFailsAndEndsTheSession)
{
    FaultSession s;
    // 2 MiB without a line end: more than any reply line may hold.
    s.LoggedIn().Expect("NOOP").Send(std::string(2 * 1024 * 1024, 'x')).AllowClientAbort();
    s.StartLoggedIn();

    try {
        s.ftp.SendCommand("NOOP");
        ADD_FAILURE() << "no exception";
    } catch (const ESockError& error) {
        EXPECT_EQ(error.Reason(), ErrorReason::LineTooLong);
    }
    // The rest of that line is still on its way: the session cannot be brought back in step, so
    // it is closed rather than left to read garbage as replies.
    EXPECT_TRUE(faults::Contains(s.events, "OnDisconnect"));
    faults::ExpectNotConnected(s);
    EXPECT_TRUE(s.server.Verify());
}

TEST(ReplyFaults, AFloodOfContinuationLinesIsReadToItsEnd)
{
    FaultSession s;
    s.ftp.ReportLevel = 0; // a hundred thousand status texts prove nothing more
    std::string flood = "211-Estado\r\n";
    for (int i = 0; i < 100000; ++i) flood += " linha " + std::to_string(i) + "\r\n";
    flood += "211 Fim\r\n";
    s.LoggedIn().Expect("STAT").Send(flood).Expect("NOOP").Reply("200 ok");
    s.StartLoggedIn();

    s.ftp.SendCommand("STAT");
    EXPECT_EQ(s.ftp.ReplyCode, 211);
    EXPECT_EQ(s.ftp.LastReply, "211-Estado\r\n");
    // Not one line of the flood is left to be taken for the next reply.
    faults::ExpectNextCommandWorks(s);
    EXPECT_TRUE(s.server.Verify());
}

TEST(ReplyFaults, ACancelEndsAnEndlessMultiLineReply)
{
    FaultSession s;
    s.ftp.ReportLevel = 0;
    std::string flood = "211-Estado\r\n";
    for (int i = 0; i < 200000; ++i) flood += " linha sem fim\r\n";
    // The reply never ends; the server stops only when the client goes.
    s.LoggedIn().Expect("STAT").Send(flood).AllowClientAbort();
    int lines = 0;
    s.ftp.OnStatus = [&](TComponent*, const std::string&) {
        if (++lines == 1000) s.ftp.Cancel();
    };
    s.ftp.ReportLevel = 1;
    s.StartLoggedIn();

    try {
        s.ftp.SendCommand("STAT");
        ADD_FAILURE() << "no exception";
    } catch (const EAbortError& error) {
        EXPECT_EQ(error.Message(), "Socket readln aborted");
    }
    EXPECT_LT(lines, 200000);
    // The component is still whole: it closes without waiting for the rest of the flood.
    s.ftp.OnStatus = nullptr;
}

// Servers end idle sessions on their own: they close, say 421 first, or reset. The client finds
// out from its event loop, not when the user's next command runs into a dead connection.
struct IdleEnd {
    const char* name;
    std::function<void(testsupport::ScriptedFtpServer&)> script;
};

void PrintTo(const IdleEnd& end, std::ostream* out) { *out << end.name; }

class IdleSessionEnd : public ::testing::TestWithParam<IdleEnd> {};

TEST_P(IdleSessionEnd, IsNoticedFromTheEventLoopAndTheNextCommandIsNotConnected)
{
    FaultSession s;
    GetParam().script(s.LoggedIn().Expect("NOOP").Reply("200 ok"));
    s.StartLoggedIn();
    s.ftp.SendCommand("NOOP");
    s.events.clear();

    ASSERT_TRUE(faults::RunEventLoopUntil([&] { return !s.ftp.Connected; }));
    EXPECT_EQ(s.events, Lines{"OnDisconnect"});
    faults::ExpectNotConnected(s);
    EXPECT_TRUE(s.server.Verify());
}

INSTANTIATE_TEST_SUITE_P(
    Servers, IdleSessionEnd,
    ::testing::Values(
        IdleEnd{"Close", [](testsupport::ScriptedFtpServer& s) { s.Close(); }},
        IdleEnd{"Reply421ThenClose",
                [](testsupport::ScriptedFtpServer& s) { s.Reply("421 Timeout.").Close(); }},
        // A 421 says the session is over even when the socket stays open.
        IdleEnd{"Reply421Only",
                [](testsupport::ScriptedFtpServer& s) { s.Reply("421 Idle timeout."); }},
        IdleEnd{"MultiLine421",
                [](testsupport::ScriptedFtpServer& s) {
                    s.Send("421-Service closing\r\n421 Bye\r\n");
                }},
        IdleEnd{"Reset", [](testsupport::ScriptedFtpServer& s) { s.Reset(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IdleInput, StrayLinesAreReadAndReportedWithoutEndingTheSession)
{
    FaultSession s;
    s.LoggedIn()
        .Expect("NOOP")
        .Reply("200 ok")
        .Reply("226 a reply nobody asked for")
        .Expect("NOOP")
        .Reply("200 ok");
    s.StartLoggedIn();
    s.ftp.SendCommand("NOOP");

    ASSERT_TRUE(faults::RunEventLoopUntil(
        [&] { return faults::Contains(s.status, "226 a reply nobody asked for\r\n"); }));
    EXPECT_TRUE(s.ftp.Connected);
    faults::ExpectNextCommandWorks(s);
    EXPECT_TRUE(s.server.Verify());
}

} // namespace
