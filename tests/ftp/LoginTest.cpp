// Login and logout against a scripted server: the command sequence of every proxy and firewall
// mode line by line, the reply checks, the clean-up after a failed login, and QUIT.
#include "ScriptedSession.h"
#include "platform/HostLookup.h"
#include "support/EventLoop.h"
#include "support/Outcome.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
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

// The row's script and the component's proxy and firewall settings.
void Arrange(ScriptedSession& s, const LoginRow& row)
{
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
}

TEST_P(LoginSequence, SendsTheCommandsOfItsModeInOrder)
{
    const LoginRow& row = GetParam();
    ScriptedSession s;
    Arrange(s, row);
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

// The non-blocking session logs in with the very commands, status texts and events of Connect.
TEST_P(LoginSequence, TheSessionLogsInAsConnectDoes)
{
    const LoginRow& row = GetParam();
    ScriptedSession blocking, s;
    Arrange(blocking, row);
    Arrange(s, row);
    blocking.server.Start();
    s.server.Start();
    blocking.ftp.Connect();
    const std::unique_ptr<FtpSession> session = s.Session();
    const std::optional<transfer::Outcome> opened = ScriptedSession::Open(*session);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->ok) << opened->message;
    EXPECT_TRUE(session->Idle());
    EXPECT_EQ(s.status, blocking.status);
    EXPECT_EQ(s.events, blocking.events);
    session->Close();
    blocking.ftp.Disconnect();
    EXPECT_TRUE(s.server.Verify());
    EXPECT_TRUE(blocking.server.Verify());
    EXPECT_EQ(s.Lines(), blocking.Lines());
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

const std::pair<std::string, std::string> kUser{"USER ana", "331 senha"};
const std::pair<std::string, std::string> kPass{"PASS s3nh@", "230 ok"};
const std::pair<std::string, std::string> kFirewallUser{"USER guarda", "331 senha do firewall"};
const std::pair<std::string, std::string> kFirewallPass{"PASS muralha", "230 passe"};
const std::pair<std::string, std::string> kCombinedUser{"USER ana@" + kServerName, "331 senha"};

const LoginRow kLoginRows[] = {
    {"NoProxy", false, FTUser, false, {kUser, kPass}},
    {"FTUserProxy", true, FTUser, false, {kCombinedUser, kPass}},
    // Without 331 to the combined USER the login is done. (A refusal of it used to pass unnoticed
    // too; it now fails the login, see the fault suite's late-reply table.)
    {"FTUserProxyWithout331IsDone",
     true,
     FTUser,
     false,
     {{"USER ana@" + kServerName, "230 entre"}}},
    {"FtOpenProxyReplyIgnored",
     true,
     FtOpen,
     false,
     {{"OPEN " + kServerName, "500 o que?"}, kUser, kPass}},
    {"FtSiteProxy", true, FtSite, false, {{"SITE " + kServerName, "200 conectado"}, kUser, kPass}},
    {"FirewallLoginWithoutProxyGoesToTheServer",
     false,
     FTUser,
     true,
     {kFirewallUser, kFirewallPass, kUser, kPass}},
    {"FirewallLoginThenFTUserProxy",
     true,
     FTUser,
     true,
     {kFirewallUser, kFirewallPass, kCombinedUser, kPass}},
    {"FirewallUserWithoutPasswordThenFtSiteProxy",
     true,
     FtSite,
     true,
     {{"USER guarda", "230 passe"}, {"SITE " + kServerName, "200 conectado"}, kUser, kPass}},
};

INSTANTIATE_TEST_SUITE_P(Modes, LoginSequence, ::testing::ValuesIn(kLoginRows),
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

const FeatureRow kFeatureRows[] = {
    {"Unknown", "500 FEAT not understood.\r\n", "", false},
    {"WithoutUtf8", "211-Features:\r\n MDTM\r\n REST STREAM\r\n211 End\r\n", "", false},
    {"Utf8", "211-Features:\r\n MDTM\r\n UTF8\r\n211 End\r\n", "200 Always in UTF8 mode.", true},
    {"Utf8InLowerCase", "211-Extensions supported:\r\n utf8\r\n211 End.\r\n",
     "200 OK, UTF-8 enabled", true},
    {"Utf8ButTheOptionRefused", "211-Features supported:\r\n UTF8\r\n211 End FEAT.\r\n",
     "501 Invalid argument.", true},
    // Only a line that begins with a blank names a feature.
    {"Utf8OnlyInTheText", "211-UTF8 is for later\r\n MDTM\r\n211 UTF8\r\n", "", false},
    {"HangUp", "", "", false},
};

INSTANTIATE_TEST_SUITE_P(Replies, Features, ::testing::ValuesIn(kFeatureRows),
                         [](const auto& info) { return std::string(info.param.why); });

// The session's login ends as Connect's does, failures included: the same commands, status texts
// (passwords masked), events, last reply, features and failure.
struct ParityRow {
    const char* name;
    std::function<void(testsupport::ScriptedFtpServer&)> script;
    int32_t timeOut = 0;
};

class LoginParity : public ::testing::TestWithParam<ParityRow> {};

TEST_P(LoginParity, TheSessionEndsAsConnectDoes)
{
    const ParityRow& row = GetParam();
    ScriptedSession blocking, s;
    for (ScriptedSession* each : {&blocking, &s}) {
        row.script(each->server);
        each->ftp.TimeOut = row.timeOut;
        each->server.Start();
    }
    std::optional<ErrorReason> raised;
    std::string message;
    try {
        blocking.ftp.Connect();
    } catch (const Exception& error) {
        raised = error.Reason();
        message = error.Message();
    }
    blocking.server.Release();
    const std::unique_ptr<FtpSession> session = s.Session();
    const std::optional<transfer::Outcome> opened = ScriptedSession::Open(*session);
    s.server.Release();
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->ok, !raised) << opened->message;
    if (raised) {
        EXPECT_EQ(opened->reason, *raised);
        EXPECT_EQ(opened->message, message);
    }
    EXPECT_EQ(s.status, blocking.status);
    EXPECT_EQ(s.events, blocking.events);
    const TVaskFTP& ftp = session->Ftp();
    EXPECT_EQ(ftp.LastReply, blocking.ftp.LastReply);
    EXPECT_EQ(ftp.Features(), blocking.ftp.Features());
    EXPECT_EQ(ftp.Utf8(), blocking.ftp.Utf8());
    EXPECT_EQ(ftp.Connected, blocking.ftp.Connected);
    if (blocking.ftp.Connected) {
        blocking.ftp.Disconnect();
        session->Close();
    }
    EXPECT_TRUE(s.server.Verify());
    EXPECT_TRUE(blocking.server.Verify());
    EXPECT_EQ(s.Lines(), blocking.Lines());
}

using Script = testsupport::ScriptedFtpServer;

const ParityRow kParityRows[] = {
    {"FeaturesAndUtf8",
     [](Script& server) {
         server.Send("220-Bem-vinda\r\n220 pronto\r\n").Expect("USER ana").Reply("331 senha");
         server.Expect("PASS s3nh@").Reply("230 ok").Expect("FEAT");
         server.Send("211-Features:\r\n UTF8\r\n EPSV\r\n MLST type*;size*;\r\n211 End\r\n");
         server.Expect("OPTS UTF8 ON").Reply("200 ok").Expect("QUIT").Reply("221 tchau");
     }},
    {"EchoedPasswordIsMasked",
     [](Script& server) {
         server.Reply("220 pronto").Expect("USER ana").Reply("331 senha");
         server.Expect("PASS s3nh@").Reply("230 bem-vinda, s3nh@").NoFeatures();
         server.Expect("QUIT").Reply("221 tchau");
     }},
    {"PasswordRefused",
     [](Script& server) {
         server.Reply("220 pronto").Expect("USER ana").Reply("331 senha").Expect("PASS s3nh@");
         server.Send("530-Login incorrect (s3nh@).\r\n530 Try again.\r\n");
         server.Expect("QUIT").Reply("221 tchau");
     }},
    {"HangUpAtTheGreeting", [](Script& server) { server.Close(); }},
    {"HangUpAfterUser",
     [](Script& server) { server.Reply("220 pronto").Expect("USER ana").Close(); }},
    {"GoingAwayAtFeat",
     [](Script& server) {
         server.Reply("220 pronto").Expect("USER ana").Reply("230 ok");
         server.Expect("FEAT").Reply("421 Too many users").Expect("QUIT").Reply("221 tchau");
     }},
    {"SilentAfterUser",
     [](Script& server) { server.Reply("220 pronto").Expect("USER ana").Hold(); }, 300},
};

INSTANTIATE_TEST_SUITE_P(Ends, LoginParity, ::testing::ValuesIn(kParityRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Sessions opened together log in side by side: one whose server is slow to greet holds up no
// other, whatever the order they were opened in.
TEST(SessionLogin, LoginsOfSeveralSessionsInterleave)
{
    constexpr int kSessions = 4;
    std::vector<std::unique_ptr<ScriptedSession>> scripted;
    std::vector<std::unique_ptr<FtpSession>> sessions;
    std::vector<int> order;
    for (int i = 0; i < kSessions; ++i) {
        scripted.push_back(std::make_unique<ScriptedSession>());
        ScriptedSession& s = *scripted.back();
        // The last one opened greets only once the test lets it.
        if (i == kSessions - 1) s.server.Hold();
        s.LoggedIn().Expect("QUIT").Reply("221 tchau");
        s.server.Start();
        sessions.push_back(s.Session());
    }
    std::vector<std::optional<transfer::Outcome>> opened(kSessions);
    for (int i = 0; i < kSessions; ++i)
        sessions[static_cast<size_t>(i)]->Open([&, i](const transfer::Outcome& outcome) {
            opened[static_cast<size_t>(i)] = outcome;
            order.push_back(i);
        });
    EXPECT_TRUE(testsupport::PumpUntil([&] { return order.size() == kSessions - 1; }));
    EXPECT_FALSE(opened.back().has_value());
    scripted.back()->server.Release();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return order.size() == kSessions; }));
    EXPECT_EQ(order.back(), kSessions - 1);
    for (int i = 0; i < kSessions; ++i) {
        EXPECT_TRUE(opened[static_cast<size_t>(i)]->ok) << i;
        sessions[static_cast<size_t>(i)]->Close();
        EXPECT_TRUE(scripted[static_cast<size_t>(i)]->server.Verify()) << i;
    }
}

// A name is looked up without waiting and its addresses are tried in the resolver's order until one
// answers; a name that does not resolve fails the session's login as it fails Connect.
TEST(SessionLogin, LooksANameUpAndTriesItsAddressesInOrder)
{
    struct Lookup {
        Lookup()
        {
            platform::SetHostLookupService(
                [this](const std::string& name,
                       std::function<void(platform::LookupAnswer)> answer) {
                    names.push_back(name);
                    platform::LookupAnswer found;
                    // Nothing listens on ::1: the second address is the one that answers.
                    if (name == "servidor.exemplo")
                        found.addresses = {*platform::ParseAddressLiteral("::1"),
                                           *platform::ParseAddressLiteral("127.0.0.1")};
                    QTimer::singleShot(0, [answer, found] { answer(found); });
                });
        }
        ~Lookup() { platform::SetHostLookupService(nullptr); }
        Lines names;
    } lookup;

    ScriptedSession s;
    s.ftp.Host = "servidor.exemplo";
    int resolved = 0;
    s.LoggedIn().Expect("QUIT").Reply("221 tchau");
    s.server.Start();
    const std::unique_ptr<FtpSession> session = s.Session();
    session->Ftp().OnHostResolved = [&](TComponent*) { ++resolved; };
    const std::optional<transfer::Outcome> opened = ScriptedSession::Open(*session);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->ok) << opened->message;
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(lookup.names, Lines{"servidor.exemplo"});
    EXPECT_EQ(session->Ftp().SocketFamily(), platform::kFamilyInet);
    session->Close();
    EXPECT_TRUE(s.server.Verify());

    ScriptedSession blocking, unknown;
    for (ScriptedSession* each : {&blocking, &unknown}) each->ftp.Host = "nao.existe";
    std::string raised;
    try {
        blocking.ftp.Connect();
    } catch (const Exception& error) {
        raised = error.Message();
    }
    const std::unique_ptr<FtpSession> failing = unknown.Session();
    const std::optional<transfer::Outcome> refused = ScriptedSession::Open(*failing);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->reason, ErrorReason::NullRemoteAddress);
    EXPECT_EQ(refused->message, raised);
    EXPECT_EQ(unknown.events, blocking.events);
    EXPECT_EQ(unknown.status, blocking.status);
}

// Cancel and CloseAtOnce end a login at once, whatever it waits for; the caller is told it was
// cancelled.
TEST(SessionLogin, CancelAndCloseAtOnceEndTheLoginAtOnce)
{
    for (const bool atOnce : {false, true}) {
        SCOPED_TRACE(atOnce ? "CloseAtOnce" : "Cancel");
        ScriptedSession s;
        s.server.Reply("220 pronto").Expect("USER ana").Hold();
        s.server.Start();
        const std::unique_ptr<FtpSession> session = s.Session();
        std::optional<transfer::Outcome> opened;
        session->Open([&](const transfer::Outcome& outcome) { opened = outcome; });
        ASSERT_TRUE(testsupport::PumpUntil([&] { return Count(s.status, "USER ana") == 1; }));
        if (atOnce) {
            session->CloseAtOnce();
        } else {
            session->Cancel();
        }
        EXPECT_FALSE(session->Ftp().Connected);
        ASSERT_TRUE(testsupport::PumpUntil([&] { return opened.has_value(); }));
        EXPECT_EQ(opened->reason, ErrorReason::Canceled);
        EXPECT_EQ(s.status.back(), "Disconnected");
        EXPECT_FALSE(session->Idle());
        s.server.Release();
    }
}

TEST(Login, MultiLineGreetingIsReadWholeAndTheSessionTracedAtLevelOne)
{
    ScriptedSession s;
    s.server.Reply("220-Bem-vindo").Reply(" segunda linha").Reply("220 pronto");
    s.server.Expect("USER ana").Reply("331 senha").Expect("PASS s3nh@").Reply("230 ok");
    s.server.NoFeatures().Expect("QUIT").Reply("221 tchau");
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
    s.server.Reply("220 pronto").Expect("USER ana").Reply("331 senha").Expect("PASS s3nh@");
    s.server.Reply("530 Login incorrect.").Expect("QUIT").Reply("221 tchau");
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
    s.server.Reply("220 pronto").Expect("USER ana").Reply("530 nao");
    s.server.Expect("QUIT").Reply("500 nem isso");
    s.server.Start();

    EXPECT_EQ(MessageOf([&] { s.ftp.Connect(); }), "500 nem isso\r\n");
    EXPECT_FALSE(s.ftp.Connected);
    EXPECT_EQ(Count(s.status, "Disconnected"), 0u);
    EXPECT_TRUE(s.server.Verify());
}

TEST(Login, AServerThatHangsUpDuringTheLoginFailsIt)
{
    for (const bool greeted : {true, false}) {
        SCOPED_TRACE(greeted ? "after USER" : "not even a greeting");
        ScriptedSession s;
        if (greeted) s.server.Reply("220 pronto").Expect("USER ana");
        s.server.Close();
        s.server.Start();
        EXPECT_EQ(ReasonRaisedBy([&] { s.ftp.Connect(); }), ErrorReason::ServerClosed);
        EXPECT_FALSE(s.ftp.Connected);
        EXPECT_EQ(Count(s.events, "OnConnect"), 0u);
        if (!greeted) continue;
        EXPECT_EQ(Count(s.events, "OnConnectionFailed"), 1u);
        EXPECT_TRUE(s.server.Verify());
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
