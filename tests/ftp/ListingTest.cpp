// ListDirectory against a scripted server: the lines handed out, the parser, SYST detection,
// how the reading loop ends, and the guard against a second listing.
#include "ScriptedSession.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using ftptest::ScriptedSession;
using Lines = std::vector<std::string>;

bool Contains(const std::vector<std::string>& texts, const std::string& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// A passive listing whose data connection carries `data` and then closes.
testsupport::ScriptedFtpServer& PassiveList(testsupport::ScriptedFtpServer& script,
                                            const std::string& data)
{
    return script.PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("LIST")
        .Reply("150 here")
        .AcceptData()
        .SendData(data)
        .CloseData()
        .Reply("226 done");
}

struct ListingSession : ScriptedSession {
    std::vector<std::string> items;
    ListingSession()
    {
        ftp.Passive = true;
        ftp.OnListItem = [this](const std::string& line) { items.push_back(line); };
    }
};

TEST(Listing, HandsOutEveryLineWithoutLineEndAndParsesTheEntries)
{
    ListingSession s;
    s.ftp.ParseList = true;
    PassiveList(s.LoggedIn().Expect("SYST").Reply("215 UNIX Type: L8"),
                "total 8\r\n"
                "-rw-r--r--    1 ftp      ftp          1234 Jan  5 12:30 readme.txt\r\n"
                "drwxr-xr-x 2 ftp ftp 4096 Dec 31 2021 pub\n"
                "\r\n"
                "a\n"
                "-rw-r--r-- 1 ftp ftp 9 Feb 1 10:00 tail");
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(s.items, (Lines{"total 8",
                              "-rw-r--r--    1 ftp      ftp          1234 Jan  5 12:30 readme.txt",
                              "drwxr-xr-x 2 ftp ftp 4096 Dec 31 2021 pub", "\r\n", "a\n",
                              "-rw-r--r-- 1 ftp ftp 9 Feb 1 10:00 tail"}));
    EXPECT_EQ(s.ftp.Vendor, vendorUnix);
    ASSERT_NE(s.ftp.ListParser, nullptr);
    EXPECT_EQ(s.ftp.ListParser->NameList, (Lines{"readme.txt", "pub", "tail"}));
    EXPECT_EQ(s.ftp.ListParser->SizeList, (Lines{"1234", "4096", "9"}));
    EXPECT_EQ(s.ftp.ListParser->DateList, (Lines{"Jan 5 12:30", "Dec 31 2021", "Feb 1 10:00"}));
    EXPECT_EQ(s.ftp.ListParser->AttributeList, (Lines{"-rw-r--r--", "drwxr-xr-x", "-rw-r--r--"}));
    EXPECT_TRUE(Contains(s.status, "LIST"));
    EXPECT_EQ(s.events, (Lines{"OnSuccess ctOtherCommand", "OnSuccess ctList"}));
    EXPECT_FALSE(s.ftp.ListInProgress);
    EXPECT_TRUE(s.server.Verify());
}

struct SystemRow {
    const char* reply;
    int32_t vendor;
};

class SystemDetection : public ::testing::TestWithParam<SystemRow> {};

TEST_P(SystemDetection, MapsTheSystReplyToAVendor)
{
    ListingSession s;
    s.ftp.ParseList = true;
    s.ftp.OnFailure = [&](bool& handled, TCmdType type) {
        s.events.push_back(std::string("OnFailure ") + CmdTypeName(type));
        handled = false; // the refusal must not leave the listing anyway
    };
    PassiveList(s.LoggedIn().Expect("SYST").Reply(GetParam().reply), "");
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(s.ftp.Vendor, GetParam().vendor);
    EXPECT_NE(s.ftp.ListParser, nullptr);
    EXPECT_EQ(s.events.back(), "OnSuccess ctList");
    EXPECT_TRUE(s.server.Verify());
}

INSTANTIATE_TEST_SUITE_P(
    SystReplies, SystemDetection,
    ::testing::Values(SystemRow{"215 UNIX Type: L8", vendorUnix},
                      SystemRow{"215 Windows_NT", vendorOther},
                      SystemRow{"215 NetWare system type", vendorOther}, // case matters
                      SystemRow{"215 OpenVMS", vendorVms},               // VMS before VM
                      SystemRow{"215 OS/400 is the remote operating system", vendorOs400},
                      SystemRow{"500 SYST not understood", vendorOther}));

TEST(Listing, RefusedListIsUnsupportedThenAFailure)
{
    ListingSession s;
    s.ftp.OnFailure = [&](bool& handled, TCmdType type) {
        s.events.push_back(std::string("OnFailure ") + CmdTypeName(type));
        handled = true;
    };
    s.LoggedIn().PassiveListen().Expect("PASV").ReplyPasv().Expect("LIST").Reply("502 no LIST");
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(s.events, (Lines{"OnUnSupportedFunction ctList", "OnFailure ctList"}));
    EXPECT_FALSE(s.ftp.ListInProgress);
    EXPECT_TRUE(s.server.Verify());
}

TEST(Listing, ASecondListingWhileOneRunsIsRefusedAndTheFirstGoesOn)
{
    ListingSession s;
    PassiveList(s.LoggedIn(), "one\r\ntwo\r\n");
    std::string refusal;
    s.ftp.OnListItem = [&](const std::string& line) {
        s.items.push_back(line);
        try {
            s.ftp.ListDirectory();
        } catch (const Exception& error) {
            refusal = error.Message();
        }
    };
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(refusal, "A list command is already being processed!");
    EXPECT_EQ(s.items, (Lines{"one", "two"}));
    EXPECT_TRUE(s.server.Verify());
}

TEST(Listing, AbortEndsAStalledListingEvenWhenNoByteArrives)
{
    ListingSession s;
    s.LoggedIn()
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("LIST")
        .Reply("150 here")
        .AcceptData()
        .Pause(std::chrono::seconds(30));
    s.ftp.OnTransactionStart = [&](TComponent*) { QTimer::singleShot(50, [&] { s.ftp.Abort(); }); };
    s.StartLoggedIn();

    try {
        s.ftp.ListDirectory();
        ADD_FAILURE() << "no exception";
    } catch (const EAbortError& error) {
        EXPECT_EQ(error.Message(), "Socket readln aborted");
    }
    EXPECT_EQ(s.ftp.DataSocket, nullptr);
    EXPECT_FALSE(s.ftp.ListInProgress);
    // Abort cancels the data connection only: no ABOR goes out.
    EXPECT_EQ(s.Lines().back(), "LIST");
}

} // namespace
