// Login and logout against a scripted server: the command sequence of every proxy and firewall
// mode line by line, the reply checks, the clean-up after a failed login, and QUIT.
#include "ScriptedSession.h"
#include "support/Outcome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using ftptest::ScriptedSession;
using testsupport::MessageOf;
using testsupport::ReasonRaisedBy;
using Lines = std::vector<std::string>;

// In the proxy modes only the proxy is looked up; the server's name travels inside a command.
// A label this long is refused by the resolver itself, should it ever be asked.
const std::string kServerName = std::string(64, 'h') + ".exemplo";

size_t Count(const Lines& lines, const std::string& text)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

struct LoginRow {
    const char* name;
    bool proxy;
    TFirewallType mode;
    bool firewallLogin;
    std::vector<std::pair<std::string, std::string>> exchange; // command line, reply
};

class LoginSequence : public ::testing::TestWithParam<LoginRow> {};

TEST_P(LoginSequence, SendsTheCommandsOfItsModeInOrder)
{
    const LoginRow& row = GetParam();
    ScriptedSession s;
    s.server.Reply("220 pronto");
    for (const auto& [command, reply] : row.exchange) s.server.Expect(command).Reply(reply);
    s.server.NoFeatures().Expect("QUIT").Reply("221 tchau");
    if (row.proxy) {
        s.ftp.Host = kServerName;
        s.ftp.Proxy = "127.0.0.1";
        s.ftp.ProxyPort = s.server.Port();
        s.ftp.Port = 21;
    }
    s.ftp.FirewallType = row.mode;
    s.ftp.FWAuthenticate = row.firewallLogin;
    s.ftp.FWUserID = "guarda";
    s.ftp.FWPassword = "muralha";
    s.server.Start();

    s.ftp.Connect();
    EXPECT_TRUE(s.ftp.Connected);
    EXPECT_EQ(s.events, Lines{"OnConnect"});
    s.ftp.Disconnect();
    EXPECT_TRUE(s.server.Verify());

    // "USER ana" is reported before the ordinary USER only; "PASS " before each PASS.
    size_t passes = 0, ordinaryUsers = 0;
    for (const auto& step : row.exchange) {
        passes += step.first.rfind("PASS ", 0) == 0;
        ordinaryUsers += step.first == "USER ana";
    }
    EXPECT_EQ(Count(s.status, "PASS "), passes);
    EXPECT_EQ(Count(s.status, "USER ana"), ordinaryUsers);
}

// A server reached over IPv6 greets and lets the user in like any other: the control connection
// does not care which family carries it.
TEST(Login, OverIPv6ByAddressWithOrWithoutBrackets)
{
    for (const char* host : {"::1", "[::1]"}) {
        SCOPED_TRACE(host);
        ScriptedSession s(testsupport::IpFamily::V6);
        s.ftp.Host = host;
        s.LoggedIn().Expect("QUIT").Reply("221 tchau");
        s.server.Start();
        s.ftp.Connect();
        EXPECT_EQ(s.events, Lines{"OnConnect"});
        EXPECT_EQ(s.ftp.SocketFamily(), platform::kFamilyInet6);
        s.ftp.Disconnect();
        EXPECT_TRUE(s.server.Verify());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LoginSequence,
    ::testing::Values(
        LoginRow{
            "NoProxy", false, FTUser, false, {{"USER ana", "331 senha"}, {"PASS s3nh@", "230 ok"}}},
        LoginRow{"FTUserProxy",
                 true,
                 FTUser,
                 false,
                 {{"USER ana@" + kServerName, "331 senha"}, {"PASS s3nh@", "230 ok"}}},
        // Without 331 to the combined USER the login is done. (A refusal of it used to pass
        // unnoticed too; it now fails the login, see the fault suite's late-reply table.)
        LoginRow{"FTUserProxyWithout331IsDone",
                 true,
                 FTUser,
                 false,
                 {{"USER ana@" + kServerName, "230 entre"}}},
        LoginRow{"FtOpenProxyReplyIgnored",
                 true,
                 FtOpen,
                 false,
                 {{"OPEN " + kServerName, "500 o que?"},
                  {"USER ana", "331 senha"},
                  {"PASS s3nh@", "230 ok"}}},
        LoginRow{"FtSiteProxy",
                 true,
                 FtSite,
                 false,
                 {{"SITE " + kServerName, "200 conectado"},
                  {"USER ana", "331 senha"},
                  {"PASS s3nh@", "230 ok"}}},
        LoginRow{"FirewallLoginWithoutProxyGoesToTheServer",
                 false,
                 FTUser,
                 true,
                 {{"USER guarda", "331 senha do firewall"},
                  {"PASS muralha", "230 passe"},
                  {"USER ana", "331 senha"},
                  {"PASS s3nh@", "230 ok"}}},
        LoginRow{"FirewallLoginThenFTUserProxy",
                 true,
                 FTUser,
                 true,
                 {{"USER guarda", "331 senha do firewall"},
                  {"PASS muralha", "230 passe"},
                  {"USER ana@" + kServerName, "331 senha"},
                  {"PASS s3nh@", "230 ok"}}},
        LoginRow{"FirewallUserWithoutPasswordThenFtSiteProxy",
                 true,
                 FtSite,
                 true,
                 {{"USER guarda", "230 passe"},
                  {"SITE " + kServerName, "200 conectado"},
                  {"USER ana", "331 senha"},
                  {"PASS s3nh@", "230 ok"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// After the login the server is asked once what it can do. A server that lists UTF8 names its
// files in UTF-8, whatever it answers to the courtesy of switching it on; that is known before
// OnConnect, and forgotten with the session.
struct FeatureRow {
    const char* why;
    std::string feat; // the whole reply to FEAT; empty: the server hangs up instead
    std::string opts; // the reply to "OPTS UTF8 ON"; empty: not asked
    bool utf8;
};

class Features : public ::testing::TestWithParam<FeatureRow> {};

TEST_P(Features, DecideTheSessionsCharacterSet)
{
    const FeatureRow& row = GetParam();
    ScriptedSession s;
    s.server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").Expect("FEAT");
    if (row.feat.empty()) {
        s.server.Close();
    } else {
        s.server.Send(row.feat);
        if (!row.opts.empty()) s.server.Expect("OPTS UTF8 ON").Reply(row.opts);
        s.server.Expect("QUIT").Reply("221 tchau");
    }
    bool utf8AtConnect = false;
    s.ftp.OnConnect = [&](TComponent*) { utf8AtConnect = s.ftp.Utf8(); };
    s.server.Start();

    if (row.feat.empty()) {
        EXPECT_EQ(ReasonRaisedBy([&] { s.ftp.Connect(); }), ErrorReason::ServerClosed);
        EXPECT_FALSE(s.ftp.Connected);
        return;
    }
    s.ftp.Connect();
    EXPECT_EQ(utf8AtConnect, row.utf8);
    EXPECT_EQ(s.ftp.Utf8(), row.utf8);
    s.ftp.Disconnect();
    EXPECT_FALSE(s.ftp.Utf8());
    EXPECT_FALSE(s.ftp.HasFeature("UTF8"));
    EXPECT_TRUE(s.server.Verify());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Features,
    ::testing::Values(FeatureRow{"Unknown", "500 FEAT not understood.\r\n", "", false},
                      FeatureRow{"WithoutUtf8",
                                 "211-Features:\r\n MDTM\r\n REST STREAM\r\n211 End\r\n", "",
                                 false},
                      FeatureRow{"Utf8", "211-Features:\r\n MDTM\r\n UTF8\r\n211 End\r\n",
                                 "200 Always in UTF8 mode.", true},
                      FeatureRow{"Utf8InLowerCase",
                                 "211-Extensions supported:\r\n utf8\r\n211 End.\r\n",
                                 "200 OK, UTF-8 enabled", true},
                      FeatureRow{"Utf8ButTheOptionRefused",
                                 "211-Features supported:\r\n UTF8\r\n211 End FEAT.\r\n",
                                 "501 Invalid argument.", true},
                      // Only a line that begins with a blank names a feature.
                      FeatureRow{"Utf8OnlyInTheText",
                                 "211-UTF8 is for later\r\n MDTM\r\n211 UTF8\r\n", "", false},
                      FeatureRow{"HangUp", "", "", false}),
    [](const auto& info) { return std::string(info.param.why); });

TEST(Login, MultiLineGreetingIsReadWholeAndTheSessionTracedAtLevelOne)
{
    ScriptedSession s;
    s.server.Reply("220-Bem-vindo")
        .Reply(" segunda linha")
        .Reply("220 pronto")
        .Expect("USER ana")
        .Reply("331 senha")
        .Expect("PASS s3nh@")
        .Reply("230 ok")
        .NoFeatures()
        .Expect("QUIT")
        .Reply("221 tchau");
    s.server.Start();

    s.ftp.Connect();
    s.ftp.Disconnect();
    EXPECT_TRUE(s.server.Verify());
    EXPECT_EQ(s.status, (Lines{"220-Bem-vindo\r\n", " segunda linha\r\n", "220 pronto\r\n",
                               "USER ana", "331 senha\r\n", "PASS ", "230 ok\r\n", "FEAT",
                               "500 FEAT not understood.\r\n", "QUIT", "221 tchau\r\n"}));
    EXPECT_EQ(s.events, (Lines{"OnConnect", "OnDisconnect"}));
    EXPECT_FALSE(s.ftp.Connected);
}

TEST(Login, UserAcceptedWithAMultiLine230GetsNoPass)
{
    ScriptedSession s;
    s.server.Reply("220 pronto")
        .Expect("USER ana")
        .Send("230-Bem-vinda\r\n"
              " conta sem senha\r\n"
              "230 entre\r\n")
        .NoFeatures()
        .Expect("PWD")
        .Reply("257 \"/casa\"");
    std::string directory;
    // Like the window: the directory is asked for from inside OnConnect, so a line of the 230
    // left behind would be taken for the answer to PWD.
    s.ftp.OnConnect = [&](TComponent*) { directory = s.ftp.CurrentDirectory(); };
    s.server.Start();

    s.ftp.Connect();
    EXPECT_EQ(directory, "/casa");
    EXPECT_TRUE(s.server.Verify());
    EXPECT_EQ(s.Lines(), (Lines{"USER ana", "FEAT", "PWD"}));
}

TEST(Login, RejectedPasswordLogsOutAndRaisesThe530Line)
{
    ScriptedSession s;
    s.server.Reply("220 pronto")
        .Expect("USER ana")
        .Reply("331 senha")
        .Expect("PASS s3nh@")
        .Reply("530 Login incorrect.")
        .Expect("QUIT")
        .Reply("221 tchau");
    s.server.Start();

    EXPECT_EQ(MessageOf([&] { s.ftp.Connect(); }), "530 Login incorrect.\r\n");
    EXPECT_FALSE(s.ftp.Connected);
    EXPECT_EQ(s.events, (Lines{"OnConnectionFailed", "OnDisconnect"}));
    ASSERT_GE(s.status.size(), 3u);
    EXPECT_EQ(Lines(s.status.end() - 3, s.status.end()),
              (Lines{"QUIT", "221 tchau\r\n", "Disconnected"}));
    EXPECT_TRUE(s.server.Verify());
}

TEST(Login, RefusedQuitDuringTheCleanUpIsWhatTheCallerGets)
{
    ScriptedSession s;
    s.server.Reply("220 pronto")
        .Expect("USER ana")
        .Reply("530 nao")
        .Expect("QUIT")
        .Reply("500 nem isso");
    s.server.Start();

    EXPECT_EQ(MessageOf([&] { s.ftp.Connect(); }), "500 nem isso\r\n");
    EXPECT_FALSE(s.ftp.Connected);
    EXPECT_EQ(Count(s.status, "Disconnected"), 0u);
    EXPECT_TRUE(s.server.Verify());
}

TEST(Login, AServerThatHangsUpDuringTheLoginFailsIt)
{
    {
        ScriptedSession s;
        s.server.Reply("220 pronto").Expect("USER ana").Close();
        s.server.Start();
        EXPECT_EQ(ReasonRaisedBy([&] { s.ftp.Connect(); }), ErrorReason::ServerClosed);
        EXPECT_FALSE(s.ftp.Connected);
        EXPECT_EQ(Count(s.events, "OnConnectionFailed"), 1u);
        EXPECT_EQ(Count(s.events, "OnConnect"), 0u);
        EXPECT_TRUE(s.server.Verify());
    }
    {
        ScriptedSession s;
        s.server.Close(); // not even a greeting
        s.server.Start();
        EXPECT_EQ(ReasonRaisedBy([&] { s.ftp.Connect(); }), ErrorReason::ServerClosed);
        EXPECT_FALSE(s.ftp.Connected);
        EXPECT_EQ(Count(s.events, "OnConnect"), 0u);
    }
}

TEST(Login, MissingCredentialsAreAskedForOnce)
{
    ScriptedSession s;
    s.server.Reply("220 pronto")
        .Expect("USER ") // the handler left the user name empty
        .Reply("331 senha")
        .Expect("PASS dada-pelo-handler")
        .Reply("230 ok")
        .NoFeatures();
    s.ftp.UserID.clear();
    s.ftp.Password.clear();
    int asked = 0;
    s.ftp.OnAuthenticationNeeded = [&](bool& handled) {
        ++asked;
        s.ftp.Password = "dada-pelo-handler";
        handled = false; // not consulted
    };
    s.server.Start();

    s.ftp.Connect();
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(s.ftp.Connected);
    EXPECT_TRUE(s.server.Verify());
}

TEST(Login, AnOnConnectHandlerThatRaisesLogsOutAgain)
{
    ScriptedSession s;
    s.LoggedIn().Expect("QUIT").Reply("221 tchau");
    s.ftp.OnConnect = [](TComponent*) { throw Exception("handler falhou", ErrorReason::Unknown); };
    s.server.Start();

    EXPECT_EQ(MessageOf([&] { s.ftp.Connect(); }), "handler falhou");
    EXPECT_FALSE(s.ftp.Connected);
    EXPECT_EQ(s.status.back(), "Disconnected");
    EXPECT_TRUE(s.server.Verify());
}

TEST(Logout, RefusedQuitRaisesAfterTheSocketIsClosed)
{
    ScriptedSession s;
    s.LoggedIn().Expect("QUIT").Reply("500 nao saio");
    s.StartLoggedIn();
    s.ftp.Vendor = vendorUnix;
    s.ftp.ListParser = std::make_unique<TFTPUnixList>();

    try {
        s.ftp.Disconnect();
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_STREQ(e.what(), "500 nao saio\r\n");
        EXPECT_EQ(s.events, Lines{"OnDisconnect"}); // already fired when the exception arrives
    }
    EXPECT_FALSE(s.ftp.Connected);
    EXPECT_EQ(s.ftp.Vendor, vendorAutoDetect);
    EXPECT_EQ(s.ftp.ListParser, nullptr);
    EXPECT_TRUE(s.server.Verify());
}

TEST(Logout, ConnectWhenConnectedAndDisconnectWhenNotDoNothing)
{
    ScriptedSession s;
    s.LoggedIn().Expect("QUIT").Reply("221 tchau");
    s.StartLoggedIn();

    s.ftp.Canceled = true;
    s.ftp.Connect();
    EXPECT_FALSE(s.ftp.Canceled);
    EXPECT_TRUE(s.ftp.Connected);
    EXPECT_EQ(s.status, Lines{});
    EXPECT_EQ(s.events, Lines{});

    s.ftp.Disconnect();
    s.status.clear();
    s.events.clear();
    s.ftp.Vendor = vendorDos;
    s.ftp.Disconnect();
    EXPECT_EQ(s.status, Lines{});
    EXPECT_EQ(s.events, Lines{});
    EXPECT_EQ(s.ftp.Vendor, vendorDos); // only a connected component is reset
    EXPECT_TRUE(s.server.Verify());
    EXPECT_EQ(s.Lines(), (Lines{"USER ana", "FEAT", "QUIT"}));
}

TEST(Logout, DestroyingAConnectedComponentSendsNoQuit)
{
    testsupport::ScriptedFtpServer server;
    server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
    server.Start();
    auto* ftp = new TVaskFTP(nullptr);
    ftp->Host = "127.0.0.1";
    ftp->Port = server.Port();
    ftp->UserID = "ana";
    ftp->Password = "s3nh@";
    ftp->Connect();
    ASSERT_TRUE(server.Verify());

    delete ftp;
    EXPECT_TRUE(server.WaitUntilClosed(server.Timeout()));
    EXPECT_EQ(server.ReceivedLines(), (Lines{"USER ana", "FEAT"}));
}

} // namespace
