// The operations of the FTP component as state machines, without a socket: each row feeds one
// machine the replies a server would send and the answers a user would give, and checks what the
// machine asks for in order -- status texts, commands, the TLS handshake, its questions -- and how
// it ends.
#include "ftp/CommandOperation.h"
#include "ftp/LoginOperation.h"
#include "ftp/LogoutOperation.h"
#include "ftp/SetupOperation.h"
#include "ftp/TransferOperation.h"
#include "net/ReplyCode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// "331 Password required" as the reply reader hands it on; "" is the server's hang-up.
FtpReply ReplyOf(const std::string& line)
{
    if (line.empty()) return FtpReply::Closed();
    return {LeadingReplyCode(line), line, false};
}

std::string Ending(const FtpFailure& failure)
{
    return "fail " + std::to_string(static_cast<int>(failure.reason)) + " " + failure.message;
}

std::string FailText(ErrorReason reason, const std::string& message)
{
    return Ending({message, reason});
}

// --- Login ---------------------------------------------------------------------------------------

struct LoginAnswers {
    bool trusted = true; // the certificate the handshake finds
    bool acceptCertificate = false;
    bool goOnInClear = true;
    bool connectedAfterQuestion = true;
    std::string user = "anna"; // what the credentials question leaves
    std::string password = "segredo";
};

struct LoginRow {
    const char* name;
    LoginOperation::Settings settings;
    Lines replies; // the greeting and the replies to the commands, in order
    LoginAnswers answers;
    Lines expected;
};

// Runs the machine as the component's loop does, writing down everything it asks for.
Lines RunLogin(const LoginRow& row)
{
    using Do = LoginOperation::Step::Do;
    LoginOperation login(row.settings);
    Lines seen;
    size_t next = 0;
    auto nextReply = [&] { return ReplyOf(next < row.replies.size() ? row.replies[next++] : ""); };
    LoginOperation::Step step = login.Start();
    for (int guard = 0; guard < 40; ++guard) {
        for (const std::string& text : step.status) seen.push_back("status " + text);
        switch (step.what) {
        case Do::ReadReply: step = login.Reply(nextReply()); break;
        case Do::Send:
            seen.push_back("send " + step.command);
            step = login.Reply(nextReply());
            break;
        case Do::Secure:
            seen.push_back("handshake");
            step = login.Secured(row.answers.trusted);
            break;
        case Do::AskCertificate:
            seen.push_back("ask certificate");
            step = login.Certificate(row.answers.acceptCertificate,
                                     row.answers.connectedAfterQuestion);
            break;
        case Do::AskClearLogin:
            seen.push_back("ask clear login: " + step.reply);
            step = login.ClearLogin(row.answers.goOnInClear, row.answers.connectedAfterQuestion);
            break;
        case Do::AskCredentials:
            seen.push_back("ask credentials");
            step = login.Credentials(row.answers.user, row.answers.password);
            break;
        case Do::Finish:
            EXPECT_EQ(login.Current(), LoginOperation::State::LoggedIn);
            seen.push_back("logged in");
            return seen;
        case Do::Fail:
            EXPECT_EQ(login.Current(), LoginOperation::State::Failed);
            seen.push_back(Ending(step.failure) + (step.withoutQuit ? " (no QUIT)" : ""));
            return seen;
        }
    }
    ADD_FAILURE() << "the login never ended";
    return seen;
}

LoginOperation::Settings Plain(TTlsMode tls = tlsNone)
{
    LoginOperation::Settings settings;
    settings.tlsMode = tls;
    settings.user = "anna";
    settings.password = "segredo";
    settings.host = "ftp.exemplo";
    return settings;
}

LoginOperation::Settings Proxy(TFirewallType form)
{
    LoginOperation::Settings settings = Plain();
    settings.throughProxy = true;
    settings.proxyForm = form;
    return settings;
}

LoginOperation::Settings Firewall(LoginOperation::Settings settings)
{
    settings.firewallLogin = true;
    settings.firewallUser = "guarda";
    settings.firewallPassword = "muralha";
    return settings;
}

LoginOperation::Settings WithoutPassword()
{
    LoginOperation::Settings settings = Plain();
    settings.password.clear();
    return settings;
}

const Lines kUserAndPass = {"status USER anna", "send USER anna", "status PASS ",
                            "send PASS segredo", "logged in"};

Lines Then(Lines head, const Lines& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const char* const kClosed = "Connection closed by server";

class LoginMachine : public ::testing::TestWithParam<LoginRow> {};

TEST_P(LoginMachine, AsksForWhatItsFormNeedsInOrderAndEndsAsTheRepliesSay)
{
    EXPECT_EQ(RunLogin(GetParam()), GetParam().expected);
}

// clang-format off
const LoginRow kLoginRows[] = {
    {"UserAndPassword", Plain(), {"220 pronto", "331 senha", "230 ok"}, {}, kUserAndPass},
    {"UserAloneLetsIn", Plain(), {"220 pronto", "230 ok"}, {},
     {"status USER anna", "send USER anna", "logged in"}},
    {"PasswordRefused", Plain(), {"220 pronto", "331 senha", "530 Login incorrect"}, {},
     {"status USER anna", "send USER anna", "status PASS ", "send PASS segredo",
      FailText(ErrorReason::ServerRefused, "530 Login incorrect")}},
    {"UserRefusedWith599", Plain(), {"220 pronto", "599 nao"}, {},
     {"status USER anna", "send USER anna", FailText(ErrorReason::ServerRefused, "599 nao")}},
    {"UserAnsweredWith600Passes", Plain(), {"220 pronto", "600 estranho"}, {},
     {"status USER anna", "send USER anna", "logged in"}},
    {"UserAnsweredWith400Passes", Plain(), {"220 pronto", "400 estranho"}, {},
     {"status USER anna", "send USER anna", "logged in"}},
    {"ServerHangsUpAfterUser", Plain(), {"220 pronto", ""}, {},
     {"status USER anna", "send USER anna", FailText(ErrorReason::ServerClosed, kClosed)}},
    {"GreetingTooManyUsers", Plain(), {"421 Too many users"}, {},
     {FailText(ErrorReason::ServerRefused, "421 Too many users")}},
    {"GreetingOf401HasNoUpperBound", Plain(), {"701 estranho"}, {},
     {FailText(ErrorReason::ServerRefused, "701 estranho")}},
    {"GreetingWithoutDigitsPasses", Plain(), {"Bem-vindo", "331 senha", "230 ok"}, {},
     kUserAndPass},
    {"NoGreetingAtAll", Plain(), {""}, {}, {FailText(ErrorReason::ServerClosed, kClosed)}},
    {"ProxyUserJoinsUserAndHost", Proxy(FTUser), {"220 proxy", "331 senha", "230 ok"}, {},
     {"send USER anna@ftp.exemplo", "status PASS ", "send PASS segredo", "logged in"}},
    {"ProxyUserWithoutPasswordQuestion", Proxy(FTUser), {"220 proxy", "230 ok"}, {},
     {"send USER anna@ftp.exemplo", "logged in"}},
    {"ProxyUserRefused", Proxy(FTUser), {"220 proxy", "530 nao"}, {},
     {"send USER anna@ftp.exemplo", FailText(ErrorReason::ServerRefused, "530 nao")}},
    {"ProxyOpenReplyIsNotJudged", Proxy(FtOpen), {"220 proxy", "500 ??", "331 senha", "230 ok"},
     {}, Then({"send OPEN ftp.exemplo"}, kUserAndPass)},
    {"ProxySiteReplyIsNotJudged", Proxy(FtSite), {"220 proxy", "530 ??", "331 senha", "230 ok"},
     {}, Then({"send SITE ftp.exemplo"}, kUserAndPass)},
    {"ProxyHangsUpOnOpen", Proxy(FtOpen), {"220 proxy", ""}, {},
     {"send OPEN ftp.exemplo", FailText(ErrorReason::ServerClosed, kClosed)}},
    {"FirewallLoginFirst", Firewall(Plain()),
     {"220 pronto", "331 senha", "230 ok", "331 senha", "230 ok"}, {},
     Then({"send USER guarda", "status PASS ", "send PASS muralha"}, kUserAndPass)},
    {"FirewallUserAloneLetsIn", Firewall(Plain()), {"220 pronto", "230 ok", "331 s", "230 ok"},
     {}, Then({"send USER guarda"}, kUserAndPass)},
    {"FirewallPasswordRefused", Firewall(Plain()), {"220 pronto", "331 senha", "530 nao"}, {},
     {"send USER guarda", "status PASS ", "send PASS muralha",
      FailText(ErrorReason::ServerRefused, "530 nao")}},
    {"FirewallThenProxyUser", Firewall(Proxy(FTUser)),
     {"220 proxy", "230 ok", "331 senha", "230 ok"}, {},
     {"send USER guarda", "send USER anna@ftp.exemplo", "status PASS ", "send PASS segredo",
      "logged in"}},
    {"MissingPasswordIsAskedFor", WithoutPassword(), {"220 pronto", "331 senha", "230 ok"}, {},
     Then({"ask credentials"}, kUserAndPass)},
    {"CredentialsLeftEmptyGoOut", WithoutPassword(), {"220 pronto", "331 senha", "230 ok"},
     {.user = "", .password = ""},
     {"ask credentials", "status USER ", "send USER ", "status PASS ", "send PASS ",
      "logged in"}},
    {"ExplicitTlsBeforeTheLogin", Plain(tlsIfAvailable),
     {"220 pronto", "234 AUTH TLS ok", "331 senha", "230 ok"}, {},
     Then({"status AUTH TLS", "send AUTH TLS", "handshake"}, kUserAndPass)},
    {"ExplicitTlsBeforeTheFirewallLogin", Firewall(Plain(tlsRequired)),
     {"220 pronto", "234 ok", "230 ok", "331 senha", "230 ok"}, {},
     Then({"status AUTH TLS", "send AUTH TLS", "handshake", "send USER guarda"}, kUserAndPass)},
    {"UntrustedCertificateAccepted", Plain(tlsRequired),
     {"220 pronto", "234 ok", "331 senha", "230 ok"}, {.trusted = false, .acceptCertificate = true},
     Then({"status AUTH TLS", "send AUTH TLS", "handshake", "ask certificate"}, kUserAndPass)},
    {"UntrustedCertificateRefused", Plain(tlsRequired), {"220 pronto", "234 ok"},
     {.trusted = false},
     {"status AUTH TLS", "send AUTH TLS", "handshake", "ask certificate",
      FailText(ErrorReason::CertificateRejected, "") + " (no QUIT)"}},
    {"ServerGoneWhileTheCertificateWasAskedAbout", Plain(tlsRequired), {"220 pronto", "234 ok"},
     {.trusted = false, .acceptCertificate = true, .connectedAfterQuestion = false},
     {"status AUTH TLS", "send AUTH TLS", "handshake", "ask certificate",
      FailText(ErrorReason::ServerClosed, kClosed)}},
    {"TlsRefusedWhereOnlyWelcomeGoesOnInClear", Plain(tlsIfAvailable),
     {"220 pronto", "500 AUTH not understood", "331 senha", "230 ok"}, {},
     Then({"status AUTH TLS", "send AUTH TLS", "ask clear login: 500 AUTH not understood",
           "status TLS not available: the session goes on in clear"},
          kUserAndPass)},
    {"LoginInClearDeclined", Plain(tlsIfAvailable), {"220 pronto", "530 nao"},
     {.goOnInClear = false},
     {"status AUTH TLS", "send AUTH TLS", "ask clear login: 530 nao",
      FailText(ErrorReason::ClearLoginDeclined,
               "TLS refused by the server, and the login was not sent in clear: 530 nao")}},
    {"ServerGoneWhileTheClearLoginWasAskedAbout", Plain(tlsIfAvailable), {"220 pronto", "500 x"},
     {.connectedAfterQuestion = false},
     {"status AUTH TLS", "send AUTH TLS", "ask clear login: 500 x",
      FailText(ErrorReason::ServerClosed, kClosed)}},
    {"TlsRefusedWhereRequired", Plain(tlsRequired), {"220 pronto", "500 AUTH not understood"},
     {},
     {"status AUTH TLS", "send AUTH TLS",
      FailText(ErrorReason::TlsUnavailable, "TLS refused by the server: 500 AUTH not understood")}},
    {"ServerGoingAwayInsteadOfTls", Plain(tlsIfAvailable), {"220 pronto", "421 Timeout"}, {},
     {"status AUTH TLS", "send AUTH TLS", FailText(ErrorReason::ServerRefused, "421 Timeout")}},
    {"ImplicitTlsBeforeTheGreeting", Plain(tlsImplicit), {"220 pronto", "331 senha", "230 ok"},
     {}, Then({"handshake"}, kUserAndPass)},
    {"ImplicitTlsAsksAboutTheCertificateBeforeTheGreeting", Plain(tlsImplicit), {"421 cheio"},
     {.trusted = false, .acceptCertificate = true},
     {"handshake", "ask certificate", FailText(ErrorReason::ServerRefused, "421 cheio")}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, LoginMachine, ::testing::ValuesIn(kLoginRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LoginMachine, AnAnswerOrReplyOutOfTurnFailsInsteadOfGoingOn)
{
    LoginOperation login(Plain());
    login.Start();
    EXPECT_EQ(login.Certificate(true, true).failure.reason, ErrorReason::OutOfStep);
    LoginOperation other(Plain());
    other.Start();
    other.Reply(ReplyOf("220 pronto"));
    other.Reply(ReplyOf("230 ok"));
    EXPECT_EQ(other.Reply(ReplyOf("230 again")).failure.reason, ErrorReason::OutOfStep);
}

// --- Single commands -----------------------------------------------------------------------------

struct CommandRow {
    const char* command;
    const char* reply;
    TCmdType kind;
    std::string ending; // "ok", or the failure
    bool unsupported = false;
};

TEST(CommandMachine, ClassifiesSendsAndJudgesTheReply)
{
    const std::string kRefused = std::to_string(static_cast<int>(ErrorReason::ServerRefused));
    // clang-format off
    const CommandRow rows[] = {
        {"CWD /pub", "250 ok", ctChangeDirectory, "ok"},
        {"CWD ", "250 ok", ctChangeDirectory, "ok"},
        {"cwd /pub", "250 ok", ctOtherCommand, "ok"},
        {"DELE a.txt", "550 No such file", ctDeleteFile,
         FailText(ErrorReason::ServerRefused, "550 No such file")},
        {"MKD novo", "257 criado", ctMakeDirectory, "ok"},
        {"RMD velho", "250 ok", ctRemoveDirectory, "ok"},
        {"PWD", "257 \"/\"", ctCurrentDirectory, "ok"},
        {"PWD ", "257 \"/\"", ctOtherCommand, "ok"},
        {"pwd", "257 \"/\"", ctOtherCommand, "ok"},
        {"SYST", "399 limite", ctOtherCommand, "ok"},
        {"SYST", "600 limite", ctOtherCommand, "ok"},
        {"SYST", "400 limite", ctOtherCommand, FailText(ErrorReason::ServerRefused, "400 limite")},
        {"SYST", "599 limite", ctOtherCommand, FailText(ErrorReason::ServerRefused, "599 limite")},
        {"SITE X", "500 desconhecido", ctOtherCommand,
         FailText(ErrorReason::ServerRefused, "500 desconhecido"), true},
        {"SITE X", "501 sintaxe", ctOtherCommand,
         FailText(ErrorReason::ServerRefused, "501 sintaxe"), true},
        {"SITE X", "502 nao", ctOtherCommand, FailText(ErrorReason::ServerRefused, "502 nao"),
         true},
        {"SITE X", "503 ordem", ctOtherCommand, FailText(ErrorReason::ServerRefused, "503 ordem")},
        {"NOOP", "", ctOtherCommand, FailText(ErrorReason::ServerClosed, kClosed)},
    };
    // clang-format on
    for (const CommandRow& row : rows) {
        CommandOperation op(row.command);
        EXPECT_EQ(op.Kind(), row.kind) << row.command;
        const CommandOperation::Step send = op.Start();
        EXPECT_EQ(send.what, CommandOperation::Step::Do::Send);
        EXPECT_EQ(send.command, row.command);
        EXPECT_EQ(op.Current(), CommandOperation::State::AwaitingReply);
        const CommandOperation::Step end = op.Reply(ReplyOf(row.reply));
        const bool ok = end.what == CommandOperation::Step::Do::Succeed;
        EXPECT_EQ(ok ? "ok" : Ending(end.failure), row.ending) << row.command << " " << row.reply;
        EXPECT_EQ(end.unsupported, row.unsupported) << row.command << " " << row.reply;
        EXPECT_EQ(op.Current(),
                  ok ? CommandOperation::State::Succeeded : CommandOperation::State::Failed);
    }
}

// --- After the login
// ------------------------------------------------------------------------------

struct SetupRow {
    const char* name;
    SetupOperation::Settings settings;
    std::vector<Lines> replies; // the lines of each reply in turn; {""}: the server hangs up
    Lines expected;             // status texts, commands sent, warnings and the end, in order
    Lines features;
    bool utf8 = false;
    bool dataProtected = false;
};

const SetupOperation::Settings kClear{false, false};
const SetupOperation::Settings kTlsWelcome{true, false};
const SetupOperation::Settings kTlsRequired{true, true};

const SetupRow kSetupRows[] = {
    {"FeatRefused", kClear, {{"500 FEAT?"}}, {"status FEAT", "send FEAT", "done"}, {}},
    {"FeaturesWithUtf8",
     kClear,
     {{"211-Features:", " EPSV", " utf8", "211 End"}, {"200 ok"}},
     {"status FEAT", "send FEAT", "status OPTS UTF8 ON", "send OPTS UTF8 ON", "done"},
     {"EPSV", "utf8"},
     true},
    // A server that refuses the option still names its files in UTF-8, as FEAT said.
    {"Utf8OptionRefused",
     kClear,
     {{"211-Features:", " UTF8", "211 End"}, {"501 Invalid argument."}},
     {"status FEAT", "send FEAT", "status OPTS UTF8 ON", "send OPTS UTF8 ON", "done"},
     {"UTF8"},
     true},
    // Only a line that begins with a blank names a feature; FEAT refused keeps none.
    {"FeaturesOnlyInTheText",
     kClear,
     {{"211-UTF8 is for later", "211 UTF8"}},
     {"status FEAT", "send FEAT", "done"},
     {}},
    {"FeaturesOfARefusalAreNone",
     kClear,
     {{"502-Not here:", " UTF8", "502 End"}},
     {"status FEAT", "send FEAT", "done"},
     {}},
    {"MlstFactsNotSentByDefault",
     kClear,
     {{"211-Features:", " MLST type*;size;modify;perm;lang;", "211 End"}, {"200 MLST OPTS"}},
     {"status FEAT", "send FEAT", "status OPTS MLST type;size;modify;perm;",
      "send OPTS MLST type;size;modify;perm;", "done"},
     {"MLST type*;size;modify;perm;lang;"}},
    // An owner that may never list asks for them at its first listing.
    {"MlstFactsLeftForLater",
     {false, false, true},
     {{"211-Features:", " MLST type*;size;", "211 End"}},
     {"status FEAT", "send FEAT", "done"},
     {"MLST type*;size;"}},
    {"MlstFactsAllSent",
     kClear,
     {{"211-Features:", " MLST type*;size*;modify*;", "211 End"}},
     {"status FEAT", "send FEAT", "done"},
     {"MLST type*;size*;modify*;"}},
    {"DataProtected",
     kTlsWelcome,
     {{"211-Features:", " UTF8", "211 End"}, {"200 ok"}, {"200 PBSZ=0"}, {"200 PROT now Private"}},
     {"status FEAT", "send FEAT", "status OPTS UTF8 ON", "send OPTS UTF8 ON", "status PBSZ 0",
      "send PBSZ 0", "status PROT P", "send PROT P", "done"},
     {"UTF8"},
     true,
     true},
    // PBSZ's answer decides nothing; PROT P's does.
    {"PbszRefusedProtAccepted",
     kTlsRequired,
     {{"500 FEAT?"}, {"500 PBSZ?"}, {"200 ok"}},
     {"status FEAT", "send FEAT", "status PBSZ 0", "send PBSZ 0", "status PROT P", "send PROT P",
      "done"},
     {},
     false,
     true},
    {"ProtRefusedWhereTlsIsWelcome",
     kTlsWelcome,
     {{"500 FEAT?"}, {"200 ok"}, {"534 Not allowed"}},
     {"status FEAT", "send FEAT", "status PBSZ 0", "send PBSZ 0", "status PROT P", "send PROT P",
      "status Data connections in clear", "warn DataInClear", "done"},
     {}},
    {"ProtRefusedWhereTlsIsRequired",
     kTlsRequired,
     {{"500 FEAT?"}, {"200 ok"}, {"534 Not allowed"}},
     {"status FEAT", "send FEAT", "status PBSZ 0", "send PBSZ 0", "status PROT P", "send PROT P",
      FailText(ErrorReason::TlsUnavailable, "TLS refused by the server: 534 Not allowed")},
     {}},
    {"HangUpAtFeat",
     kClear,
     {{""}},
     {"status FEAT", "send FEAT",
      FailText(ErrorReason::ServerClosed, "Connection closed by server")},
     {}},
    {"GoingAwayAtTheOption",
     kClear,
     {{"211-Features:", " UTF8", "211 End"}, {"421 Bye"}},
     {"status FEAT", "send FEAT", "status OPTS UTF8 ON", "send OPTS UTF8 ON",
      FailText(ErrorReason::ServerRefused, "421 Bye")},
     {"UTF8"}},
};

class SetupMachine : public ::testing::TestWithParam<SetupRow> {};

TEST_P(SetupMachine, AsksWhatTheServerCanDoAndProtectsTheDataAsTheRepliesSay)
{
    using Do = SetupOperation::Step::Do;
    const SetupRow& row = GetParam();
    SetupOperation setup(row.settings);
    Lines seen;
    size_t next = 0;
    SetupOperation::Step step = setup.Start();
    for (int steps = 0; steps < 20; ++steps) {
        for (const std::string& text : step.status) {
            seen.push_back("status " + text);
            if (step.dataInClear && text == step.status.front()) seen.push_back("warn DataInClear");
        }
        if (step.what == Do::Finish) {
            seen.push_back("done");
            break;
        }
        if (step.what == Do::Fail) {
            seen.push_back(Ending(step.failure));
            break;
        }
        seen.push_back("send " + step.command);
        if (next == row.replies.size()) break;
        const Lines& reply = row.replies[next++];
        for (const std::string& line : reply) setup.Line(line);
        step = setup.Reply(ReplyOf(reply.front()));
    }
    EXPECT_EQ(seen, row.expected);
    EXPECT_EQ(next, row.replies.size());
    if (setup.Current() != SetupOperation::State::Done) return;
    EXPECT_EQ(setup.Features(), row.features);
    EXPECT_EQ(setup.Utf8(), row.utf8);
    EXPECT_EQ(setup.DataProtected(), row.dataProtected);
    EXPECT_EQ(setup.MlstFactsAsked(), !row.settings.mlstFactsLater);
}

INSTANTIATE_TEST_SUITE_P(Rows, SetupMachine, ::testing::ValuesIn(kSetupRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Logout --------------------------------------------------------------------------------------

TEST(LogoutMachine, ClosesWhateverQuitGetsAndFailsOnlyOnARefusal)
{
    using Do = LogoutOperation::Step::Do;
    const std::pair<const char*, std::string> rows[] = {
        {"221 tchau", "close"},
        {"", "close"}, // no reply within the courtesy wait
        {"300 estranho", "close"},
        {"600 estranho", "close"},
        {"tchau", "close"},
        {"301 estranho", "close and " + FailText(ErrorReason::ServerRefused, "301 estranho")},
        {"500 nao", "close and " + FailText(ErrorReason::ServerRefused, "500 nao")},
    };
    for (const auto& [reply, expected] : rows) {
        LogoutOperation logout;
        const LogoutOperation::Step quit = logout.Start();
        EXPECT_EQ(quit.what, Do::Quit);
        EXPECT_EQ(quit.status, "QUIT");
        const LogoutOperation::Step end = logout.Reply(ReplyOf(reply));
        const std::string seen =
            end.what == Do::Close ? "close" : "close and " + Ending(end.failure);
        EXPECT_EQ(seen, expected) << reply;
    }
}

// --- Listings and transfers ----------------------------------------------------------------------

struct TransferRow {
    const char* name;
    TransferOperation::Settings settings;
    // What happens, in order: a reply ("150 ..."; "" the server's hang-up), "data N" (the data
    // connection ended after N bytes), "broken" (it failed), "unreachable" (it could not be made),
    // "port" (active mode listens), "cancel", "timeout".
    Lines events;
    Lines expected;
};

TransferOperation::Settings Transfer(TransferOperation::Kind kind, std::string command)
{
    TransferOperation::Settings settings;
    settings.kind = kind;
    settings.command = std::move(command);
    return settings;
}

TransferOperation::Settings Get() { return Transfer(TransferOperation::Kind::Get, "RETR f"); }

// Commands that go out behind the channel's, the session already binary.
TransferOperation::Settings Pipelined(TransferOperation::Kind kind, std::string command)
{
    TransferOperation::Settings settings = Transfer(kind, std::move(command));
    settings.binary = settings.pipelined = true;
    return settings;
}

template <class Change> TransferOperation::Settings Get(Change change)
{
    TransferOperation::Settings settings = Get();
    change(settings);
    return settings;
}

// A download that goes on after the `offset` bytes of an existing local file.
TransferOperation::Settings Resumed(int64_t offset)
{
    return Get([offset](auto& s) {
        s.sizeOf = "f";
        s.restart = s.compareWithLocal = true;
        s.offset = offset;
    });
}

Lines RunTransfer(const TransferRow& row)
{
    TransferOperation machine(row.settings);
    Lines seen;
    auto note = [&](const TransferOperation::Step& step) {
        if (step.listen) seen.push_back("listen");
        if (step.connectTo) seen.push_back("connect " + std::to_string(*step.connectTo));
        if (!step.send.empty()) seen.push_back("send " + step.send);
        if (!step.sendNext.empty()) seen.push_back("then " + step.sendNext);
        if (step.moveData) seen.push_back("move");
        if (step.closeData) seen.push_back("close");
        if (!step.done) return;
        if (machine.Current() == TransferOperation::State::Succeeded) {
            seen.push_back("ok");
        } else {
            const bool canceled = machine.Current() == TransferOperation::State::Canceled;
            seen.push_back((canceled ? "canceled " : "") + Ending(machine.Failure()));
        }
    };
    note(machine.Start());
    for (const std::string& event : row.events) {
        if (event == "port") {
            note(machine.Listening("PORT 127,0,0,1,4,1"));
        } else if (event.rfind("data ", 0) == 0) {
            note(machine.DataEnded(std::stoll(event.substr(5))));
        } else if (event == "broken") {
            note(machine.DataFailed({"Connection reset by peer", ErrorReason::SocketError}));
        } else if (event == "unreachable") {
            note(machine.DataFailed({"Connection Failed", ErrorReason::DataConnectionFailed}));
        } else if (event == "cancel" || event == "timeout") {
            note(machine.Cancel(event == "timeout"));
        } else {
            note(machine.Reply(ReplyOf(event)));
        }
    }
    return seen;
}

const char* const k227 = "227 Entering Passive Mode (127,0,0,1,4,1)";
const char* const k150 = "150 Opening BINARY mode data connection for f (10 bytes)";

TEST(TransferMachine, EachRowFollowsTheServerToItsEnd)
{
    using Kind = TransferOperation::Kind;
    const TransferRow rows[] = {
        {"DownloadPassive",
         Get(),
         {"200 Type set", k227, k150, "data 10", "226 Done"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "move", "close", "ok"}},
        {"ClosingReplyBeforeTheDataEnds",
         Get(),
         {"200 ok", k227, k150, "226 Done", "data 10"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "move", "close", "ok"}},
        {"ShortOfTheAnnouncedSize",
         Get(),
         {"200 ok", k227, k150, "data 7", "226 Done"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "move", "close",
          FailText(ErrorReason::TransferIncomplete,
                   "Transfer incomplete: 7 bytes received for a file of 10 bytes")}},
        {"ServerGivesUpHalfway",
         Get(),
         {"200 ok", k227, k150, "426 Aborted", "data 4"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "move", "close",
          FailText(ErrorReason::ServerRefused, "426 Aborted")}},
        {"ResetDataSaysTheServersReason",
         Get(),
         {"200 ok", k227, k150, "broken", "426 Reset"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "move", "close", "close",
          FailText(ErrorReason::ServerRefused, "426 Reset")}},
        {"ResetDataWithASuccessIsNoSuccess",
         Get(),
         {"200 ok", k227, k150, "broken", "226 ok"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "move", "close", "close",
          FailText(ErrorReason::SocketError, "Connection reset by peer")}},
        {"RefusedRetr",
         Get(),
         {"200 ok", k227, "550 No such file"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "close",
          FailText(ErrorReason::ServerRefused, "550 No such file")}},
        {"CannotOpenDataConnection",
         Get(),
         {"200 ok", k227, "425 Can't open"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "close",
          FailText(ErrorReason::DataConnectionFailed, "425 Can't open")}},
        {"PassiveReplyWithoutPort",
         Get(),
         {"200 ok", "227 (127,0,0,1,0,0)"},
         {"send TYPE I", "send PASV", "close",
          FailText(ErrorReason::BadReply, "227 (127,0,0,1,0,0)")}},
        {"PassiveRefused",
         Get(),
         {"200 ok", "500 no"},
         {"send TYPE I", "send PASV", "close", FailText(ErrorReason::ServerRefused, "500 no")}},
        {"HangUpAfterType",
         Get(),
         {""},
         {"send TYPE I", "close",
          FailText(ErrorReason::ServerClosed, "Connection closed by server")}},
        {"BinaryAlready",
         Get([](auto& s) { s.binary = true; }),
         {k227, k150, "data 10", "226 ok"},
         {"send PASV", "connect 1025", "send RETR f", "move", "close", "ok"}},
        {"ExtendedPassive",
         Get([](auto& s) { s.extended = true; }),
         {"200 ok", "229 Entering Extended Passive Mode (|||6446|)", "150 go", "data 3", "226 ok"},
         {"send TYPE I", "send EPSV", "connect 6446", "send RETR f", "move", "close", "ok"}},
        {"Active",
         Get([](auto& s) { s.passive = false; }),
         {"200 ok", "port", "200 PORT ok", k150, "data 10", "226 ok"},
         {"send TYPE I", "listen", "send PORT 127,0,0,1,4,1", "send RETR f", "move", "close",
          "ok"}},
        {"ActiveAddressRefused",
         Get([](auto& s) { s.passive = false; }),
         {"200 ok", "port", "500 Illegal PORT"},
         {"send TYPE I", "listen", "send PORT 127,0,0,1,4,1", "close",
          FailText(ErrorReason::DataConnectionFailed, "500 Illegal PORT")}},
        {"SizeFirstOutranksTheAnnouncedOne",
         Get([](auto& s) { s.sizeOf = "f"; }),
         {"200 ok", "213 12", k227, k150, "data 10", "226 ok"},
         {"send TYPE I", "send SIZE f", "send PASV", "connect 1025", "send RETR f", "move", "close",
          FailText(ErrorReason::TransferIncomplete,
                   "Transfer incomplete: 10 bytes received for a file of 12 bytes")}},
        {"Resume",
         Resumed(4),
         {"200 ok", "213 10", k227, "350 Restarting", "150 rest", "data 6", "226 ok"},
         {"send TYPE I", "send SIZE f", "send PASV", "connect 1025", "send REST 4", "send RETR f",
          "move", "close", "ok"}},
        {"ResumeRestartRefused",
         Resumed(4),
         {"200 ok", "213 10", k227, "502 No REST"},
         {"send TYPE I", "send SIZE f", "send PASV", "connect 1025", "send REST 4", "close",
          FailText(ErrorReason::ServerRefused, "502 No REST")}},
        {"ResumeWithNothingLeft",
         Resumed(10),
         {"200 ok", "213 10"},
         {"send TYPE I", "send SIZE f", "ok"}},
        {"ResumeOfALongerFile",
         Resumed(11),
         {"200 ok", "213 10"},
         {"send TYPE I", "send SIZE f", "close",
          FailText(ErrorReason::TransferIncomplete,
                   "Local file is longer than the server's: 11 of 10 bytes")}},
        {"Upload",
         Transfer(Kind::Put, "STOR f"),
         {"200 ok", k227, "150 go", "data 99", "226 ok"},
         {"send TYPE I", "send PASV", "connect 1025", "send STOR f", "move", "close", "ok"}},
        {"UploadRefusedAtTheEnd",
         Transfer(Kind::Put, "STOR f"),
         {"200 ok", k227, "150 go", "data 99", "552 Quota"},
         {"send TYPE I", "send PASV", "connect 1025", "send STOR f", "move", "close",
          FailText(ErrorReason::ServerRefused, "552 Quota")}},
        {"Listing",
         Transfer(Kind::List, "MLSD"),
         {k227, "150 Here", "data 0", "226 ok"},
         {"send PASV", "connect 1025", "send MLSD", "move", "close", "ok"}},
        {"CancelBeforeTheCommand",
         Get(),
         {"200 ok", "cancel"},
         {"send TYPE I", "send PASV", "close",
          "canceled " + FailText(ErrorReason::Canceled, "Socket send aborted")}},
        {"CancelInTheDataPhase",
         Get(),
         {"200 ok", k227, k150, "cancel", "226 late"},
         {"send TYPE I", "send PASV", "connect 1025", "send RETR f", "move", "send ABOR", "close",
          "canceled " + FailText(ErrorReason::Canceled, "Socket send aborted")}},
        {"UploadTimesOutWithoutAbor",
         Transfer(Kind::Put, "STOR f"),
         {"200 ok", k227, "150 go", "timeout"},
         {"send TYPE I", "send PASV", "connect 1025", "send STOR f", "move", "close",
          "canceled " + FailText(ErrorReason::TimedOut, "Socket send aborted")}},
        {"ListingTimesOut",
         Transfer(Kind::List, "LIST"),
         {k227, "timeout"},
         {"send PASV", "connect 1025", "send LIST", "send ABOR", "close",
          "canceled " + FailText(ErrorReason::TimedOut, "Socket readln aborted")}},
        {"PipelinedDownload",
         Pipelined(Kind::Get, "RETR f"),
         {k227, k150, "data 10", "226 ok"},
         {"send PASV", "then RETR f", "connect 1025", "move", "move", "close", "ok"}},
        {"PipelinedDataBeforeAnyReply",
         Pipelined(Kind::Get, "RETR f"),
         {k227, "data 10", "226 ok"},
         {"send PASV", "then RETR f", "connect 1025", "move", "close", "ok"}},
        {"PipelinedPassiveRefusedLeavesTheCommandsReplyOwed",
         Pipelined(Kind::Get, "RETR f"),
         {"500 no"},
         {"send PASV", "then RETR f", "close", FailText(ErrorReason::ServerRefused, "500 no")}},
        {"PipelinedCommandRefusedBeforeTheData",
         Pipelined(Kind::Get, "RETR f"),
         {k227, "data 0", "550 No such file"},
         {"send PASV", "then RETR f", "connect 1025", "move", "close",
          FailText(ErrorReason::ServerRefused, "550 No such file")}},
        {"PipelinedCommandTooEarlyForTheServer",
         Pipelined(Kind::Get, "RETR f"),
         {k227, "425 No data connection"},
         {"send PASV", "then RETR f", "connect 1025", "move", "close",
          FailText(ErrorReason::DataConnectionFailed, "425 No data connection")}},
        {"PipelinedUploadBrokenThenRefused",
         Pipelined(Kind::Put, "STOR f"),
         {k227, "broken", "553 Not allowed"},
         {"send PASV", "then STOR f", "connect 1025", "move", "close", "close",
          FailText(ErrorReason::ServerRefused, "553 Not allowed")}},
        {"PipelinedConnectionNeverMadeIsAborted",
         Pipelined(Kind::Put, "STOR f"),
         {k227, "unreachable", "425 Can't open"},
         {"send PASV", "then STOR f", "connect 1025", "move", "send ABOR", "close", "close",
          FailText(ErrorReason::DataConnectionFailed, "425 Can't open")}},
        {"ActiveIsNeverPipelined",
         Get([](auto& s) { s.passive = false, s.binary = s.pipelined = true; }),
         {"port", "200 PORT ok", k150, "data 10", "226 ok"},
         {"listen", "send PORT 127,0,0,1,4,1", "send RETR f", "move", "close", "ok"}},
        {"PipelinedCancelBeforeThePassiveReplyAborts",
         Pipelined(Kind::List, "MLSD"),
         {"cancel"},
         {"send PASV", "then MLSD", "send ABOR", "close",
          "canceled " + FailText(ErrorReason::Canceled, "Socket readln aborted")}},
        {"ResumeIsNeverPipelined",
         Get(
             [](auto& s) {
                 s.binary = s.pipelined = s.restart = true;
                 s.offset = 4;
             }),
         {k227, "350 Restarting", k150, "data 6", "226 ok"},
         {"send PASV", "connect 1025", "send REST 4", "send RETR f", "move", "close", "ok"}},
        {"ShortUploadIsNoUpload",
         Get([](auto& s) { s.kind = Kind::Put, s.command = "STOR f", s.sendSize = 10; }),
         {"200 ok", k227, "150 go", "data 7", "226 ok"},
         {"send TYPE I", "send PASV", "connect 1025", "send STOR f", "move", "close",
          FailText(ErrorReason::TransferIncomplete,
                   "Transfer incomplete: 7 bytes sent of a file of 10 bytes")}},
    };
    for (const TransferRow& row : rows) EXPECT_EQ(RunTransfer(row), row.expected) << row.name;
    // PASV numbers that are no numbers raise the conversion's error from the step itself.
    const TransferRow noNumbers{
        "PassiveReplyWithoutNumbers", Get(), {"200 ok", "227 a,b,c,d,e,f)"}, {}};
    EXPECT_THROW(RunTransfer(noNumbers), ConvertError);
}

// A reply that no command sent could get ends the transfer out of step, never in success: the
// server's replies belong to other commands from there on.
TEST(TransferMachine, AReplyThatDoesNotFitItsCommandIsOutOfStep)
{
    using Kind = TransferOperation::Kind;
    auto outOfStep = [](const std::string& text) {
        return FailText(ErrorReason::OutOfStep, "Reply out of step with " + text);
    };
    TransferOperation::Settings activePut = Pipelined(Kind::Put, "STOR f");
    activePut.passive = false;
    activePut.sendSize = 3;
    const TransferRow rows[] = {
        {"TypeAnsweredWithAPassiveReply",
         Get(),
         {k227},
         {"send TYPE I", "close", outOfStep("TYPE: " + std::string(k227))}},
        {"SizeAnsweredWithATransfersOpening",
         Get([](auto& s) { s.binary = true, s.sizeOf = "f"; }),
         {"150 go"},
         {"send SIZE f", "close", outOfStep("SIZE: 150 go")}},
        {"PassiveAnsweredAfterItsPipelinedCommand",
         Pipelined(Kind::Get, "RETR f"),
         {k150},
         {"send PASV", "then RETR f", "close", outOfStep("PASV: " + std::string(k150))}},
        {"ExtendedPassiveAnsweredWithPasvsReply",
         Get([](auto& s) { s.binary = s.extended = true; }),
         {k227},
         {"send EPSV", "close", outOfStep("EPSV: " + std::string(k227))}},
        // The order a server that connects back before it answers PORT may use.
        {"PortAnsweredWithTheUploadsOpening",
         activePut,
         {"port", "150 Ok to send data.", "200 Active data connection established."},
         {"listen", "send PORT 127,0,0,1,4,1", "close", outOfStep("PORT: 150 Ok to send data.")}},
        {"RestAnsweredWithTheTransfersOpening",
         Resumed(4),
         {"200 ok", "213 10", k227, k150},
         {"send TYPE I", "send SIZE f", "send PASV", "connect 1025", "send REST 4", "close",
          outOfStep("REST: " + std::string(k150))}},
        {"RetrEndedByPortsReply",
         Get([](auto& s) { s.binary = true; }),
         {k227, "200 PORT command successful", "data 10"},
         {"send PASV", "connect 1025", "send RETR f", "close",
          outOfStep("RETR: 200 PORT command successful")}},
        {"StorEndedByATimesAnswer",
         Pipelined(Kind::Put, "STOR f"),
         {k227, "150 go", "data 3", "213 Modify=20200101000000"},
         {"send PASV", "then STOR f", "connect 1025", "move", "move", "close",
          outOfStep("STOR: 213 Modify=20200101000000")}},
        {"ListingAnsweredWithAPassiveReply",
         Transfer(Kind::List, "LIST"),
         {k227, k227},
         {"send PASV", "connect 1025", "send LIST", "close",
          outOfStep("LIST: " + std::string(k227))}},
    };
    for (const TransferRow& row : rows) EXPECT_EQ(RunTransfer(row), row.expected) << row.name;
}

} // namespace
