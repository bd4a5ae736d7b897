// FTP over TLS against a scripted server that speaks TLS: the login with AUTH TLS or implicit TLS,
// PBSZ and PROT, through a proxy and a firewall; the verdict on the server's certificate before
// any of the login goes out; the data connections' handshakes, resumed and checked; streams cut
// without close_notify; handshakes that are cancelled or time out.
#include "ScriptedSession.h"
#include "support/EventLoop.h"
#include "support/Outcome.h"
#include "support/RealServers.h"
#include "support/TestCertificates.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using testsupport::ReasonRaisedBy;
using testsupport::ScriptedFtpServer;
using testsupport::TestCertificates;
using Lines = std::vector<std::string>;
using Ms = std::chrono::milliseconds;

const TestCertificates& Certs() { return TestCertificates::Shared(); }

// A session whose server presents `identity`; the component trusts the tests' CA unless told
// otherwise and records what OnCertificate is shown.
struct TlsSession : ftptest::ScriptedSession {
    explicit TlsSession(TTlsMode mode, const TestCertificates::KeyPair& identity = Certs().Server())
    {
        server.UseCertificate(identity);
        ftp.TlsMode = mode;
        ftp.TlsCaFiles = {Certs().CaFile()};
        ftp.TlsSystemTrust = false;
    }
    void AnswerCertificates(TCertificateAnswer answer)
    {
        ftp.OnCertificate = [this, answer](const TCertificateInfo& c, TCertificateAnswer& a) {
            shown.push_back(c);
            linesWhenShown = Lines();
            a = answer;
        };
    }
    // The greeting, AUTH TLS, "ana" logged in without a password prompt, PBSZ and PROT.
    ScriptedFtpServer& LoggedInOverTls()
    {
        return server.Reply("220 pronto")
            .AuthTls()
            .Expect("USER ana")
            .Reply("230 bem-vinda")
            .NoFeatures()
            .ProtectData();
    }
    // Says yes or no to logging in without TLS, and writes down that it was asked and what had
    // been sent by then.
    void AnswerTlsRefused(bool goOn)
    {
        ftp.OnTlsRefused = [this, goOn](const std::string& reply, bool& goOnInClear) {
            told.push_back("OnTlsRefused " + reply.substr(0, 3));
            linesWhenShown = Lines();
            goOnInClear = goOn;
        };
    }
    std::vector<TCertificateInfo> shown;
    std::vector<std::string> linesWhenShown;
    // OnTlsRefused and OnTlsWarning, as they fired.
    std::vector<std::string> told;
};

std::string WarningName(TTlsWarning warning)
{
    return warning == TTlsWarning::DataInClear ? "DataInClear" : "DataSessionNotResumed";
}

#define REQUIRE_OPENSSL() TAVOLEN_REQUIRE(TestCertificates::Available(), "the openssl command")

// ---- the login -------------------------------------------------------------------------------

// In the proxy rows only the proxy is looked up; a label this long the resolver refuses itself.
const std::string kServerName = std::string(64, 'h') + ".exemplo";

struct LoginRow {
    const char* name;
    TTlsMode mode;
    std::function<void(TlsSession&)> arrange; // settings and the script
    std::optional<ErrorReason> failure;       // nullopt: logged in
    bool encrypted;
    bool dataProtected;
    Lines sent;      // every command line the server received, QUIT included
    Lines told = {}; // what OnTlsRefused and OnTlsWarning said
};

class TlsLogin : public ::testing::TestWithParam<LoginRow> {
protected:
    // The row's settings and script, every one ending with QUIT, and the server started.
    static void Arrange(TlsSession& s, const LoginRow& row)
    {
        s.ftp.OnTlsWarning = [&s](TTlsWarning warning) {
            s.told.push_back("OnTlsWarning " + WarningName(warning));
        };
        row.arrange(s);
        s.server.Expect("QUIT").Reply("221 tchau");
        s.server.Start();
    }
    // What either login leaves, `close` ending one that succeeded.
    static void ExpectEnded(TlsSession& s, const LoginRow& row, TVaskFTP& ftp,
                            const std::function<void()>& close)
    {
        EXPECT_EQ(s.told, row.told);
        // Asked before anything of the login went out.
        if (!s.told.empty() && s.told.front().starts_with("OnTlsRefused")) {
            EXPECT_EQ(s.linesWhenShown, Lines{"AUTH TLS"});
        }
        if (!row.failure) {
            EXPECT_EQ(ftp.TlsActive(), row.encrypted);
            EXPECT_EQ(ftp.DataProtected(), row.dataProtected);
            close();
        } else {
            EXPECT_NE(std::find(s.events.begin(), s.events.end(), "OnConnectionFailed"),
                      s.events.end());
        }
        EXPECT_FALSE(ftp.Connected);
        EXPECT_TRUE(s.server.Verify());
        EXPECT_EQ(s.Lines(), row.sent);
    }
};

TEST_P(TlsLogin, SendsNothingOfTheLoginOutsideTlsWhereItIsTheRule)
{
    REQUIRE_OPENSSL();
    const LoginRow& row = GetParam();
    TlsSession s(row.mode);
    Arrange(s, row);
    EXPECT_EQ(ReasonRaisedBy([&] { s.ftp.Connect(); }), row.failure);
    ExpectEnded(s, row, s.ftp, [&] { s.ftp.Disconnect(); });
}

// The non-blocking session's login: the handshake stepped from the connection's notifications, the
// same questions, commands and verdict as Connect.
TEST_P(TlsLogin, TheSessionLogsInTheSameWayWithoutWaiting)
{
    REQUIRE_OPENSSL();
    const LoginRow& row = GetParam();
    TlsSession s(row.mode);
    Arrange(s, row);
    const std::unique_ptr<FtpSession> session = s.Session();
    const std::optional<transfer::Outcome> opened = ftptest::ScriptedSession::Open(*session);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->ok, !row.failure) << opened->message;
    if (row.failure) {
        EXPECT_EQ(opened->reason, *row.failure) << opened->message;
    }
    ExpectEnded(s, row, session->Ftp(), [&] { session->Close(); });
}

const Lines kFullLogin{"AUTH TLS", "USER ana", "PASS s3nh@", "FEAT", "PBSZ 0", "PROT P", "QUIT"};
const Lines kLoginWithoutPassword{"AUTH TLS", "USER ana", "FEAT", "PBSZ 0", "PROT P", "QUIT"};

void AuthenticateWithTheFirewall(TlsSession& s)
{
    s.ftp.FWAuthenticate = true;
    s.ftp.FWUserID = "guarda";
    s.ftp.FWPassword = "muralha";
}

// Every script is followed by QUIT and its reply.
const LoginRow kLoginRows[] = {
    {"IfAvailableAndOffered", tlsIfAvailable,
     [](TlsSession& s) {
         s.server.Reply("220 pronto").AuthTls().Expect("USER ana").Reply("331 senha");
         s.server.Expect("PASS s3nh@").Reply("230 ok").NoFeatures().ProtectData();
     },
     std::nullopt, true, true, kFullLogin},
    {"IfAvailableGoesOnInClearWhenRefused", tlsIfAvailable,
     [](TlsSession& s) {
         s.server.Reply("220 pronto").Expect("AUTH TLS").Reply("500 AUTH unknown");
         s.server.Expect("USER ana").Reply("230 ok").NoFeatures();
     },
     std::nullopt, false, false, Lines{"AUTH TLS", "USER ana", "FEAT", "QUIT"}},
    {"IfAvailableGoesOnInClearWhenTheHandlerAgrees", tlsIfAvailable,
     [](TlsSession& s) {
         s.AnswerTlsRefused(true);
         s.server.Reply("220 pronto").Expect("AUTH TLS").Reply("500 AUTH unknown");
         s.server.Expect("USER ana").Reply("331 senha");
         s.server.Expect("PASS s3nh@").Reply("230 ok").NoFeatures();
     },
     std::nullopt, false, false, Lines{"AUTH TLS", "USER ana", "PASS s3nh@", "FEAT", "QUIT"},
     Lines{"OnTlsRefused 500"}},
    // Someone between us and the server answered AUTH for it: the handler says no, and neither
    // the user's name nor the password leave.
    {"IfAvailableSendsNoUserWhenTheHandlerDeclines", tlsIfAvailable,
     [](TlsSession& s) {
         s.AnswerTlsRefused(false);
         s.server.Reply("220 pronto").Expect("AUTH TLS").Reply("502 not here");
     },
     ErrorReason::ClearLoginDeclined, false, false, Lines{"AUTH TLS", "QUIT"},
     Lines{"OnTlsRefused 502"}},
    {"OffNeverAsks", tlsNone,
     [](TlsSession& s) {
         s.AnswerTlsRefused(false);
         s.server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures();
     },
     std::nullopt, false, false, Lines{"USER ana", "FEAT", "QUIT"}},
    {"RequiredSendsNoUserWhenRefused", tlsRequired,
     [](TlsSession& s) {
         s.server.Reply("220 pronto")
             .Expect("AUTH TLS")
             .Reply("530 Please login with USER and PASS.");
     },
     ErrorReason::TlsUnavailable, false, false, Lines{"AUTH TLS", "QUIT"}},
    {"RequiredFailsWhenTheDataStaysInClear", tlsRequired,
     [](TlsSession& s) {
         s.server.Reply("220 pronto").AuthTls().Expect("USER ana").Reply("230 ok");
         s.server.NoFeatures().Expect("PBSZ 0").Reply("200 PBSZ=0");
         s.server.Expect("PROT P").Reply("534 PROT P not allowed");
     },
     ErrorReason::TlsUnavailable, false, false, kLoginWithoutPassword},
    {"IfAvailableKeepsTheDataInClearWhenProtRefused", tlsIfAvailable,
     [](TlsSession& s) {
         s.server.Reply("220 pronto").AuthTls().Expect("USER ana").Reply("230 ok");
         s.server.NoFeatures().Expect("PBSZ 0").Reply("200 PBSZ=0");
         s.server.Expect("PROT P").Reply("534 PROT P not allowed");
     },
     std::nullopt, true, false, kLoginWithoutPassword, Lines{"OnTlsWarning DataInClear"}},
    {"ImplicitShakesHandsBeforeTheGreeting", tlsImplicit,
     [](TlsSession& s) {
         s.server.ImplicitTls();
         s.server.Reply("220 pronto").Expect("USER ana").Reply("331 senha");
         s.server.Expect("PASS s3nh@").Reply("230 ok").NoFeatures().ProtectData();
     },
     std::nullopt, true, true, Lines{"USER ana", "PASS s3nh@", "FEAT", "PBSZ 0", "PROT P", "QUIT"}},
    {"FirewallLoginInsideTls", tlsRequired,
     [](TlsSession& s) {
         AuthenticateWithTheFirewall(s);
         s.server.Reply("220 pronto").AuthTls().Expect("USER guarda").Reply("331 fw");
         s.server.Expect("PASS muralha").Reply("230 passe");
         s.server.Expect("USER ana").Reply("230 ok").NoFeatures().ProtectData();
     },
     std::nullopt, true, true,
     Lines{"AUTH TLS", "USER guarda", "PASS muralha", "USER ana", "FEAT", "PBSZ 0", "PROT P",
           "QUIT"}},
    {"FirewallPasswordNeverInClearWhenRequired", tlsRequired,
     [](TlsSession& s) {
         AuthenticateWithTheFirewall(s);
         s.server.Reply("220 pronto").Expect("AUTH TLS").Reply("502 no");
     },
     ErrorReason::TlsUnavailable, false, false, Lines{"AUTH TLS", "QUIT"}},
    // The certificate checked is the proxy's, by the proxy's name: checked against the server's
    // name it would not verify, and there is no OnCertificate handler.
    {"BehindAProxyTheTlsSessionIsWithTheProxy", tlsRequired,
     [](TlsSession& s) {
         s.ftp.Host = kServerName;
         s.ftp.Proxy = "localhost";
         s.ftp.ProxyPort = s.server.Port();
         s.ftp.FirewallType = FtOpen;
         s.server.Reply("220 proxy").AuthTls().Expect("OPEN " + kServerName);
         s.server.Reply("220 conectado").Expect("USER ana").Reply("230 ok");
         s.server.NoFeatures().ProtectData();
     },
     std::nullopt, true, true,
     Lines{"AUTH TLS", "OPEN " + kServerName, "USER ana", "FEAT", "PBSZ 0", "PROT P", "QUIT"}},
};

INSTANTIATE_TEST_SUITE_P(Modes, TlsLogin, ::testing::ValuesIn(kLoginRows),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the server's certificate ------------------------------------------------------------------

struct CertificateRow {
    const char* name;
    const TestCertificates::KeyPair& (TestCertificates::*identity)() const;
    bool trustCa;
    bool pinned;                                // its fingerprint in TlsPinnedFingerprints
    std::optional<TCertificateAnswer> answer;   // nullopt: no OnCertificate handler
    std::optional<TCertificateProblem> problem; // what the handler is shown; nullopt: not asked
    bool loggedIn;
};

class ServerCertificate : public ::testing::TestWithParam<CertificateRow> {
protected:
    const TestCertificates::KeyPair& Identity() const { return (Certs().*GetParam().identity)(); }
    // Trust, pin and handler as the row says; the script logs in only where the row does.
    void Arrange(TlsSession& s, const std::string& fingerprint) const
    {
        const CertificateRow& row = GetParam();
        if (!row.trustCa) s.ftp.TlsCaFiles.clear();
        if (row.pinned) s.ftp.TlsPinnedFingerprints = {fingerprint};
        if (row.answer) s.AnswerCertificates(*row.answer);
        s.server.Reply("220 pronto").AuthTls();
        if (row.loggedIn)
            s.server.Expect("USER ana")
                .Reply("230 ok")
                .NoFeatures()
                .ProtectData()
                .Expect("QUIT")
                .Reply("221 tchau");
        s.server.Start();
    }
    // The question, if any, put before any of the login went out, and the verdict: a refusal
    // names the fingerprint and ends the connection; `close` ends a login that succeeded.
    void ExpectJudged(TlsSession& s, const std::string& fingerprint,
                      std::optional<ErrorReason> reason, const std::string& message, TVaskFTP& ftp,
                      const std::function<void()>& close) const
    {
        const CertificateRow& row = GetParam();
        ASSERT_EQ(s.shown.size(), row.problem ? 1u : 0u);
        if (row.problem) {
            EXPECT_TRUE(s.shown[0].Has(*row.problem)) << s.shown[0].Problem;
            EXPECT_EQ(s.shown[0].Fingerprint, fingerprint);
            EXPECT_EQ(s.linesWhenShown, Lines{"AUTH TLS"});
        }
        if (row.loggedIn) {
            EXPECT_EQ(reason, std::nullopt) << message;
            close();
            EXPECT_EQ(s.Lines(), kLoginWithoutPassword);
        } else {
            EXPECT_EQ(reason, ErrorReason::CertificateRejected);
            EXPECT_NE(message.find(fingerprint), std::string::npos) << message;
            EXPECT_FALSE(ftp.Connected);
            EXPECT_EQ(s.events, (Lines{"OnConnectionFailed", "OnDisconnect"}));
            EXPECT_EQ(s.Lines(), Lines{"AUTH TLS"});
        }
        EXPECT_TRUE(s.server.Verify());
    }
};

TEST_P(ServerCertificate, IsJudgedBeforeTheLoginGoesOut)
{
    REQUIRE_OPENSSL();
    TlsSession s(tlsRequired, Identity());
    const std::string fingerprint = TestCertificates::FingerprintOf(Identity());
    Arrange(s, fingerprint);
    std::string message;
    const std::optional<ErrorReason> reason = ReasonRaisedBy([&] {
        try {
            s.ftp.Connect();
        } catch (const std::exception& error) {
            message = error.what();
            throw;
        }
    });
    ExpectJudged(s, fingerprint, reason, message, s.ftp, [&] { s.ftp.Disconnect(); });
}

// The session puts the same question about the same certificate, before anything of the login goes
// out, and takes the same answer.
TEST_P(ServerCertificate, IsJudgedTheSameByTheSession)
{
    REQUIRE_OPENSSL();
    TlsSession s(tlsRequired, Identity());
    const std::string fingerprint = TestCertificates::FingerprintOf(Identity());
    Arrange(s, fingerprint);
    const std::unique_ptr<FtpSession> session = s.Session();
    const std::optional<transfer::Outcome> opened = ftptest::ScriptedSession::Open(*session);
    ASSERT_TRUE(opened);
    EXPECT_EQ(session->Ftp().PeerCertificate().Fingerprint, fingerprint);
    ExpectJudged(s, fingerprint, opened->ok ? std::nullopt : std::optional(opened->reason),
                 opened->message, session->Ftp(), [&] { session->Close(); });
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ServerCertificate,
    ::testing::Values(
        CertificateRow{"VerifiedIsNotAsked", &TestCertificates::Server, true, false,
                       TCertificateAnswer::Reject, std::nullopt, true},
        CertificateRow{"PinnedIsNotAsked", &TestCertificates::Server, false, true,
                       TCertificateAnswer::Reject, std::nullopt, true},
        CertificateRow{"UntrustedWithoutHandlerIsRefused", &TestCertificates::Server, false, false,
                       std::nullopt, std::nullopt, false},
        CertificateRow{"SelfSignedRejected", &TestCertificates::SelfSigned, true, false,
                       TCertificateAnswer::Reject, TCertificateProblem::SelfSigned, false},
        CertificateRow{"ExpiredAcceptedOnce", &TestCertificates::Expired, true, false,
                       TCertificateAnswer::AcceptOnce, TCertificateProblem::Expired, true},
        CertificateRow{"WrongNameAcceptedAlways", &TestCertificates::WrongName, true, false,
                       TCertificateAnswer::AcceptAlways, TCertificateProblem::NameMismatch, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- data connections --------------------------------------------------------------------------

enum class Op { List, Get, Put };
enum class End {
    Clean,            // close_notify, then the closing reply
    Cut,              // the stream ends without close_notify, and the server says 226 all the same
    OtherCertificate, // the data connection presents another certificate, which does not verify
    NotResumed,       // the same certificate, in a handshake that resumes nothing
    ServerRefuses,    // "522" on the control connection instead of a handshake
};

struct DataRow {
    const char* name;
    Op op;
    End end;
    std::optional<ErrorReason> failure;
    bool requireResumed = false;
    // The tests' CA is no longer trusted once the login is done: the data connection is judged
    // by the control connection's certificate, which was trusted when the server was.
    bool caListEmptiedAfterLogin = false;
};

class TlsData : public ::testing::TestWithParam<DataRow> {};

void ScriptDataConnection(ScriptedFtpServer& server, bool passive, const DataRow& row)
{
    if (row.op != Op::List) server.Expect("TYPE I").Reply("200 binary");
    if (passive)
        server.PassiveListen().Expect("PASV").ReplyPasv();
    else
        server.ExpectPrefix("PORT ").Reply("200 PORT ok");
    server.Expect(row.op == Op::List  ? "LIST"
                  : row.op == Op::Get ? "RETR a.bin"
                                      : "STOR b.bin")
        .Reply(row.op == Op::Get ? "150 a.bin (12 bytes)" : "150 ok");
    passive ? server.AcceptData() : server.ConnectBack();
    switch (row.end) {
    case End::Clean:
        server.StartDataTls();
        if (row.op == Op::Put)
            server.ReceiveData();
        else
            server.SendData(row.op == Op::List ? "linha um\r\nlinha dois\r\n" : "doze bytes!\n")
                .CloseData();
        server.Reply("226 feito");
        break;
    case End::Cut:
        server.StartDataTls().SendData("linha um\r\nlinha").CutData().Reply("226 feito");
        break;
    case End::OtherCertificate:
        server.StartDataTlsAs(Certs().SelfSigned()).Reply("426 Connection closed");
        break;
    case End::NotResumed:
        // The right certificate, but a session of its own: whoever holds the key, not
        // necessarily the server the control connection logged in to.
        server.StartDataTlsAs(Certs().Server());
        if (row.failure) {
            server.Reply("426 Connection closed");
        } else {
            server.SendData(row.op == Op::List ? "linha um\r\nlinha dois\r\n" : "doze bytes!\n")
                .CloseData()
                .Reply("226 feito");
        }
        break;
    case End::ServerRefuses:
        server.Reply("522 SSL connection failed: session reuse required")
            .Pause(Ms(300))
            .CloseData();
        break;
    }
    server.Expect("NOOP").Reply("200 ainda aqui");
}

TEST_P(TlsData, IsProtectedAndFailsWhenItCannotBeTrusted)
{
    REQUIRE_OPENSSL();
    const DataRow& row = GetParam();
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        TlsSession s(tlsRequired);
        testsupport::TempDir dir;
        const std::string local = dir.File("local.bin");
        testsupport::WriteFileBytes(dir.File("up.bin"), "subindo");
        s.ftp.Passive = passive;
        s.ftp.TlsRequireResumedData = row.requireResumed;
        Lines warnings;
        s.ftp.OnTlsWarning = [&](TTlsWarning w) { warnings.push_back(WarningName(w)); };
        Lines listed;
        s.ftp.OnListItem = [&](const std::string& line) { listed.push_back(line); };
        s.LoggedInOverTls();
        ScriptDataConnection(s.server, passive, row);
        s.StartLoggedIn();
        if (row.caListEmptiedAfterLogin) s.ftp.TlsCaFiles.clear();

        EXPECT_EQ(ReasonRaisedBy([&] {
                      if (row.op == Op::List) s.ftp.ListDirectory();
                      if (row.op == Op::Get) s.ftp.Download("a.bin", local);
                      if (row.op == Op::Put) s.ftp.Upload(dir.File("up.bin"), "b.bin");
                  }),
                  row.failure);
        // The session goes on, whatever became of the transfer.
        EXPECT_NO_THROW(s.ftp.SendCommand("NOOP"));
        EXPECT_EQ(s.ftp.ReplyCode, 200) << s.ftp.LastReply;
        EXPECT_TRUE(s.server.Verify());
        EXPECT_EQ(warnings, row.end == End::NotResumed && !row.failure
                                ? Lines{"DataSessionNotResumed"}
                                : Lines{});
        if (row.end != End::Clean) continue;
        EXPECT_EQ(s.server.DataTlsResumed(), std::vector<bool>{true});
        const Lines moved = row.op == Op::List  ? listed
                            : row.op == Op::Get ? Lines{testsupport::ReadFileBytes(local)}
                                                : s.server.ReceivedData();
        const Lines expected = row.op == Op::List  ? Lines{"linha um", "linha dois"}
                               : row.op == Op::Get ? Lines{"doze bytes!\n"}
                                                   : Lines{"subindo"};
        EXPECT_EQ(moved, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, TlsData,
    ::testing::Values(DataRow{"ListClean", Op::List, End::Clean, std::nullopt},
                      DataRow{"GetClean", Op::Get, End::Clean, std::nullopt},
                      DataRow{"PutClean", Op::Put, End::Clean, std::nullopt},
                      DataRow{"ListCutIsNoSuccess", Op::List, End::Cut, ErrorReason::TlsTruncated},
                      DataRow{"GetCutIsNoSuccess", Op::Get, End::Cut, ErrorReason::TlsTruncated},
                      DataRow{"AnotherCertificateIsRefused", Op::Get, End::OtherCertificate,
                              ErrorReason::CertificateRejected},
                      DataRow{"ServerRefusingTheHandshake", Op::List, End::ServerRefuses,
                              ErrorReason::ServerRefused},
                      DataRow{"UnresumedIsWarnedAbout", Op::List, End::NotResumed, std::nullopt},
                      DataRow{"UnresumedIsRefusedWhereResumptionIsRequired", Op::Get,
                              End::NotResumed, ErrorReason::TlsDataNotResumed, true},
                      // A server that resumes no session, whose CA the user no longer trusts:
                      // its data connections are still the server logged in to.
                      DataRow{"ControlCertificateHoldsWithTheCaListEmptied", Op::Get,
                              End::NotResumed, std::nullopt, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A session whose owner answers its questions when it likes: the login pauses on the question,
// sends nothing meanwhile, and goes on as the answer says.
struct QuestionRow {
    const char* name;
    bool certificate; // an untrusted certificate; otherwise AUTH TLS refused
    bool yes;
    std::optional<ErrorReason> failure;
    Lines sent;
};

TEST(SessionQuestion, PausesTheLoginUntilTheOwnerAnswers)
{
    REQUIRE_OPENSSL();
    const QuestionRow rows[] = {
        {"CertificateAccepted", true, true, std::nullopt,
         Lines{"AUTH TLS", "USER ana", "FEAT", "PBSZ 0", "PROT P", "QUIT"}},
        {"CertificateRejected", true, false, ErrorReason::CertificateRejected, Lines{"AUTH TLS"}},
        {"ClearLoginAllowed", false, true, std::nullopt,
         Lines{"AUTH TLS", "USER ana", "FEAT", "QUIT"}},
        {"ClearLoginDeclined", false, false, ErrorReason::ClearLoginDeclined,
         Lines{"AUTH TLS", "QUIT"}},
    };
    for (const QuestionRow& row : rows) {
        SCOPED_TRACE(row.name);
        TlsSession s(row.certificate ? tlsRequired : tlsIfAvailable,
                     row.certificate ? Certs().SelfSigned() : Certs().Server());
        s.server.Reply("220 pronto");
        if (row.certificate) {
            s.server.AuthTls();
            if (row.yes) s.server.Expect("USER ana").Reply("230 ok").NoFeatures().ProtectData();
        } else {
            s.server.Expect("AUTH TLS").Reply("500 AUTH not understood");
            if (row.yes) s.server.Expect("USER ana").Reply("230 ok").NoFeatures();
        }
        if (row.yes || !row.certificate) s.server.Expect("QUIT").Reply("221 tchau");
        s.server.Start();
        const std::unique_ptr<FtpSession> session = s.Session();
        std::vector<FtpSession::Question> asked;
        session->onQuestion = [&](const FtpSession::Question& q) { asked.push_back(q); };
        std::optional<transfer::Outcome> opened;
        session->Open([&](const transfer::Outcome& outcome) { opened = outcome; });
        ASSERT_TRUE(testsupport::PumpUntil([&] { return !asked.empty(); }));
        testsupport::PumpFor(100);
        EXPECT_FALSE(opened.has_value());
        EXPECT_EQ(s.Lines(), Lines{"AUTH TLS"});
        ASSERT_EQ(asked.size(), 1u);
        if (row.certificate) {
            EXPECT_EQ(asked[0].kind, FtpSession::Question::Kind::Certificate);
            EXPECT_TRUE(asked[0].certificate.Has(TCertificateProblem::SelfSigned));
        } else {
            EXPECT_EQ(asked[0].kind, FtpSession::Question::Kind::ClearLogin);
            EXPECT_EQ(asked[0].reply.rfind("500 AUTH", 0), 0u) << asked[0].reply;
        }
        EXPECT_TRUE(session->Answer(row.yes));
        EXPECT_FALSE(session->Answer(row.yes));
        ASSERT_TRUE(testsupport::PumpUntil([&] { return opened.has_value(); }));
        EXPECT_EQ(opened->ok, !row.failure) << opened->message;
        if (row.failure) {
            EXPECT_EQ(opened->reason, *row.failure);
        } else {
            session->Close();
        }
        EXPECT_TRUE(s.server.Verify());
        EXPECT_EQ(s.Lines(), row.sent);
    }
}

// Cancelled while the owner weighs a certificate: the login ends, and that server is sent nothing
// more, not even QUIT.
TEST(SessionQuestion, CancelWhileACertificateIsAskedAboutSendsNothingMore)
{
    REQUIRE_OPENSSL();
    TlsSession s(tlsRequired, Certs().SelfSigned());
    s.server.Reply("220 pronto").AuthTls();
    s.server.Start();
    const std::unique_ptr<FtpSession> session = s.Session();
    bool asked = false;
    session->onQuestion = [&](const FtpSession::Question&) { asked = true; };
    std::optional<transfer::Outcome> opened;
    session->Open([&](const transfer::Outcome& outcome) { opened = outcome; });
    ASSERT_TRUE(testsupport::PumpUntil([&] { return asked; }));
    session->Cancel();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return opened.has_value(); }));
    EXPECT_EQ(opened->reason, ErrorReason::Canceled);
    EXPECT_FALSE(session->Answer(true));
    EXPECT_FALSE(session->Ftp().Connected);
    EXPECT_TRUE(s.server.Verify());
    EXPECT_EQ(s.Lines(), Lines{"AUTH TLS"});
}

// ---- handshakes that never end ------------------------------------------------------------------

struct StallRow {
    const char* name;
    bool onData;          // the data connection's handshake; otherwise the control connection's
    bool timeOut;         // TimeOut ends it; otherwise Cancel
    bool session = false; // the non-blocking session's login rather than Connect
};

class StalledHandshake : public ::testing::TestWithParam<StallRow> {};

TEST_P(StalledHandshake, EndsByTimeOutOrCancelAndSendsNoLogin)
{
    REQUIRE_OPENSSL();
    const StallRow& row = GetParam();
    TlsSession s(tlsRequired);
    if (row.onData) {
        s.LoggedInOverTls().PassiveListen().Expect("PASV").ReplyPasv();
        s.server.Expect("LIST").Reply("150 ok").AcceptData().Hold();
        s.ftp.Passive = true;
        s.StartLoggedIn();
    } else {
        s.server.Reply("220 pronto").Expect("AUTH TLS").Reply("234 vamos").Hold();
        s.server.Start();
    }
    if (row.timeOut) s.ftp.TimeOut = 300;
    const std::unique_ptr<FtpSession> session = row.session ? s.Session() : nullptr;
    QTimer cancel;
    cancel.setSingleShot(true);
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        if (session)
            session->Cancel();
        else
            s.ftp.Cancel();
    });
    if (!row.timeOut) cancel.start(300);

    std::optional<ErrorReason> reason;
    if (session) {
        const std::optional<transfer::Outcome> opened = ftptest::ScriptedSession::Open(*session);
        if (opened) reason = opened->reason;
    } else {
        reason = ReasonRaisedBy([&] {
            if (row.onData)
                s.ftp.ListDirectory();
            else
                s.ftp.Connect();
        });
    }
    s.server.Release();
    EXPECT_EQ(reason, row.timeOut ? ErrorReason::TimedOut : ErrorReason::Canceled);
    if (!session) {
        EXPECT_EQ(s.ftp.DataSocket, nullptr);
    }
    // A control handshake that did not finish leaves nothing to talk over.
    EXPECT_EQ((session ? session->Ftp() : s.ftp).Connected, row.onData);
    if (row.onData) return;
    for (const std::string& line : s.Lines()) EXPECT_EQ(line.find("USER"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Waits, StalledHandshake,
                         ::testing::Values(StallRow{"ControlTimeOut", false, true},
                                           StallRow{"ControlCancel", false, false},
                                           StallRow{"DataTimeOut", true, true},
                                           StallRow{"DataCancel", true, false},
                                           StallRow{"SessionControlTimeOut", false, true, true},
                                           StallRow{"SessionControlCancel", false, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Behind a proxy that speaks TLS the proxy is the other end of every connection: the data
// connection goes to it (the server's name is not even looked up), checked against its name and
// resuming its session.
TEST(TlsProxy, DataConnectionsGoThroughTheProxyToo)
{
    REQUIRE_OPENSSL();
    TlsSession s(tlsRequired);
    s.ftp.Host = kServerName;
    s.ftp.Proxy = "localhost";
    s.ftp.ProxyPort = s.server.Port();
    s.ftp.FirewallType = FTUser;
    s.ftp.Passive = true;
    Lines listed;
    s.ftp.OnListItem = [&](const std::string& line) { listed.push_back(line); };
    s.server.Reply("220 proxy").AuthTls().Expect("USER ana@" + kServerName).Reply("230 ok");
    s.server.NoFeatures().ProtectData().PassiveListen().Expect("PASV").ReplyPasv();
    s.server.Expect("LIST").Reply("150 ok").AcceptData().StartDataTls().SendData("linha\r\n");
    s.server.CloseData().Reply("226 feito");
    s.StartLoggedIn();
    s.ftp.ListDirectory();
    EXPECT_EQ(listed, Lines{"linha"});
    EXPECT_EQ(s.server.DataTlsResumed(), std::vector<bool>{true});
    EXPECT_TRUE(s.server.Verify());
}

// The server's farewell to an idle session arrives encrypted like every other reply.
TEST(TlsIdle, ServerGoingIsNoticedThroughTls)
{
    REQUIRE_OPENSSL();
    TlsSession s(tlsRequired);
    s.LoggedInOverTls().Pause(Ms(100)).Reply("421 Timeout.");
    s.StartLoggedIn();
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !s.ftp.Connected; }, 5000));
    EXPECT_EQ(s.events, Lines{"OnDisconnect"});
    EXPECT_TRUE(s.server.Verify());
}

} // namespace
