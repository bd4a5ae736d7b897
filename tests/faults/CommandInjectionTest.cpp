// A name with a line end or a zero byte in it -- pasted into a field, or handed over by a caller
// -- could carry a second command to the server. Every way a text reaches a command line refuses
// it before anything of that command is sent.
#include "FaultSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace {

using faults::FaultSession;
using faults::Lines;

const std::string kInjected[] = {"x\r\nDELE importante", "x\nDELE importante", "x\rDELE importante",
                                 std::string("x\0DELE importante", 17)};

struct Operation {
    const char* name;
    std::function<void(FaultSession&, const std::string& text)> run;
};

void PrintTo(const Operation& operation, std::ostream* out) { *out << operation.name; }

class InjectedName : public ::testing::TestWithParam<Operation> {};

TEST_P(InjectedName, IsRefusedBeforeItsCommandIsSent)
{
    for (const std::string& text : kInjected) {
        FaultSession s;
        s.handleFailures = true; // Upload and Download also report it to OnFailure
        s.LoggedIn().Expect("NOOP").Reply("200 ok");
        s.StartLoggedIn();

        std::optional<ErrorReason> reason;
        int reported = 0;
        s.ftp.OnFailure = [&](bool& handled, TCmdType) {
            ++reported;
            handled = false;
        };
        try {
            GetParam().run(s, text);
        } catch (const std::exception& error) {
            reason = ReasonOf(error);
        }
        EXPECT_EQ(reason, ErrorReason::InvalidCommand);
        faults::ExpectNextCommandWorks(s);
        EXPECT_TRUE(s.server.Verify());
        // The first line after the login is the NOOP: nothing of the operation went out.
        EXPECT_EQ(s.Lines(), (Lines{"USER ana", "FEAT", "NOOP"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, InjectedName,
                         ::testing::Values(Operation{"ChangeDirectory",
                                                     [](FaultSession& s, const std::string& t) {
                                                         s.ftp.ChangeDirectory(t);
                                                     }},
                                           Operation{"DeleteFile",
                                                     [](FaultSession& s, const std::string& t) {
                                                         s.ftp.DeleteFile(t);
                                                     }},
                                           Operation{"MakeDirectory",
                                                     [](FaultSession& s, const std::string& t) {
                                                         s.ftp.MakeDirectory(t);
                                                     }},
                                           Operation{"SendCommand",
                                                     [](FaultSession& s, const std::string& t) {
                                                         s.ftp.SendCommand("SITE " + t);
                                                     }},
                                           Operation{"Download",
                                                     [](FaultSession& s, const std::string& t) {
                                                         s.ftp.Download(t, s.dir.File("f"));
                                                     }},
                                           Operation{"ResumeDownload",
                                                     [](FaultSession& s, const std::string& t) {
                                                         s.ftp.ResumeDownload(t, s.dir.File("f"));
                                                     }},
                                           Operation{"Upload",
                                                     [](FaultSession& s, const std::string& t) {
                                                         testsupport::WriteFileBytes(
                                                             s.dir.File("f"), "abc");
                                                         s.ftp.Upload(s.dir.File("f"), t);
                                                     }},
                                           Operation{"AppendUpload",
                                                     [](FaultSession& s, const std::string& t) {
                                                         testsupport::WriteFileBytes(
                                                             s.dir.File("f"), "abc");
                                                         s.ftp.AppendUpload(s.dir.File("f"), t);
                                                     }},
                                           // Without a remote name the local file's name goes to
                                           // the server.
                                           Operation{"UploadUnderTheLocalName",
                                                     [](FaultSession& s, const std::string& t) {
                                                         if (t.find('\0') != std::string::npos) {
                                                             // No file system takes such a name;
                                                             // the check is the same.
                                                             throw Exception(
                                                                 "Invalid character in command",
                                                                 ErrorReason::InvalidCommand);
                                                         }
                                                         const std::string local = s.dir.File(t);
                                                         testsupport::WriteFileBytes(local, "abc");
                                                         s.ftp.Upload(local, "");
                                                     }}),
                         [](const auto& info) { return std::string(info.param.name); });

// The login's texts: user names, passwords and the server's name inside a proxy command.
struct LoginField {
    const char* name;
    void (*set)(TVaskFTP& ftp, const std::string& text);
    Lines sentBefore; // what legitimately goes out before the refused line
};

void PrintTo(const LoginField& field, std::ostream* out) { *out << field.name; }

class InjectedLoginField : public ::testing::TestWithParam<LoginField> {};

TEST_P(InjectedLoginField, IsRefusedAndTheLoginEndsCleanly)
{
    for (const std::string& text : kInjected) {
        FaultSession s;
        auto& script = s.server.Reply("220 pronto");
        for (const std::string& line : GetParam().sentBefore) {
            script.Expect(line).Reply(line.rfind("USER", 0) == 0 ? "331 senha" : "230 ok");
        }
        script.Expect("QUIT").Reply("221 tchau");
        GetParam().set(s.ftp, text);
        s.server.Start();

        EXPECT_EQ(faults::ReasonRaisedBy([&] { s.ftp.Connect(); }), ErrorReason::InvalidCommand);
        faults::ExpectNotConnected(s);
        EXPECT_TRUE(s.server.Verify());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, InjectedLoginField,
    ::testing::Values(
        LoginField{"UserID", [](TVaskFTP& f, const std::string& t) { f.UserID = t; }, {}},
        LoginField{
            "Password", [](TVaskFTP& f, const std::string& t) { f.Password = t; }, {"USER ana"}},
        LoginField{"FWUserID",
                   [](TVaskFTP& f, const std::string& t) {
                       f.FWAuthenticate = true;
                       f.FWUserID = t;
                   },
                   {}},
        LoginField{"FWPassword",
                   [](TVaskFTP& f, const std::string& t) {
                       f.FWAuthenticate = true;
                       f.FWUserID = "guarda";
                       f.FWPassword = t;
                   },
                   {"USER guarda"}},
        LoginField{"HostInTheProxyCommand",
                   [](TVaskFTP& f, const std::string& t) {
                       f.Proxy = "127.0.0.1";
                       f.ProxyPort = f.Port;
                       f.FirewallType = FtSite;
                       f.Host = t;
                   },
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
