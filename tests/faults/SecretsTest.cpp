// Passwords stay out of every status text, at every report level, and out of every error
// message -- also when a server repeats them back.
#include "FaultSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using faults::FaultSession;
using faults::Lines;

void ExpectNowhere(const FaultSession& s, const std::string& secret, const std::string& message)
{
    for (const std::string& text : s.status)
        EXPECT_EQ(text.find(secret), std::string::npos) << text;
    EXPECT_EQ(s.ftp.LastStatus.find(secret), std::string::npos) << s.ftp.LastStatus;
    EXPECT_EQ(s.ftp.LastReply.find(secret), std::string::npos) << s.ftp.LastReply;
    EXPECT_EQ(message.find(secret), std::string::npos) << message;
}

TEST(Secrets, APasswordEchoedByTheServerIsMaskedInStatusTextsRepliesAndErrors)
{
    FaultSession s;
    s.ftp.ReportLevel = 8;
    s.ftp.FWAuthenticate = true;
    s.ftp.FWUserID = "guarda";
    s.ftp.FWPassword = "muralha-7";
    s.ftp.Password = "s3nh@-secreta";
    s.server.Reply("220 pronto")
        .Expect("USER guarda")
        .Reply("331 senha do firewall")
        .Expect("PASS muralha-7")
        .Send("230-firewall: muralha-7 aceita\r\n 230 muralha-7\r\n230 ok\r\n")
        .Expect("USER ana")
        .Reply("331 senha")
        .Expect("PASS s3nh@-secreta")
        .Reply("530 Senha s3nh@-secreta incorreta")
        .Expect("QUIT")
        .Reply("221 tchau");
    s.server.Start();

    const std::string message = faults::MessageOf([&] { s.ftp.Connect(); });
    EXPECT_EQ(message, "530 Senha ***** incorreta\r\n");
    EXPECT_TRUE(faults::Contains(s.status, "230-firewall: ***** aceita\r\n"));
    EXPECT_TRUE(faults::Contains(s.status, "Transaction")); // level 8 texts are there too
    EXPECT_EQ(std::count(s.status.begin(), s.status.end(), "PASS "), 2); // reported, masked
    ExpectNowhere(s, "muralha-7", message);
    ExpectNowhere(s, "s3nh@-secreta", message);
    EXPECT_TRUE(s.server.Verify());
}

TEST(Secrets, NoErrorOfAFailedLoginCarriesThePassword)
{
    // Every way a login can end early, with the password somewhere in reach.
    const std::function<void(testsupport::ScriptedFtpServer&)> endings[] = {
        [](auto& script) { script.Expect("PASS s3nh@-secreta").Close(); },
        [](auto& script) { script.Expect("PASS s3nh@-secreta").Reset(); },
        [](auto& script) {
            script.Expect("PASS s3nh@-secreta")
                .Send(std::string(2 * 1024 * 1024, 's'))
                .AllowClientAbort();
        },
        [](auto& script) {
            script.Expect("PASS s3nh@-secreta").Reply("421 s3nh@-secreta").Close();
        },
    };
    for (const auto& ending : endings) {
        FaultSession s;
        s.ftp.ReportLevel = 8;
        s.ftp.Password = "s3nh@-secreta";
        ending(s.server.Reply("220 pronto").Expect("USER ana").Reply("331 senha"));
        s.server.Start();

        const std::string message = faults::MessageOf([&] { s.ftp.Connect(); });
        EXPECT_NE(message, "(no exception)");
        ExpectNowhere(s, "s3nh@-secreta", message);
        EXPECT_FALSE(s.ftp.Connected);
    }
}

} // namespace
