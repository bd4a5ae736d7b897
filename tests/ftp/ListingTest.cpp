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

// A server without UTF8 in FEAT: the first listing with names outside ASCII settles the session's
// character set for good; one in plain ASCII leaves it open. A new session starts open again.
TEST(Listing, TheFirstListingWithAccentedNamesSettlesTheCharacterSet)
{
    struct Row {
        const char* why;
        std::vector<std::string> listings;
        std::vector<bool> utf8After; // Utf8() after each listing
    };
    const Row rows[] = {
        {"ASCII first, then UTF-8",
         {"a.txt\r\n", "relat\xc3\xb3rio anual.pdf\r\nreuni\xc3\xa3o\r\n"},
         {false, true}},
        {"mixed stays windows-1252, and a later UTF-8 listing does not change it",
         {"reuni\xc3\xa3o\r\ncaf\xe9\r\n", "reuni\xc3\xa3o\r\n"},
         {false, false}},
        {"UTF-8 stays, whatever a later listing holds",
         {"reuni\xc3\xa3o\r\n", "caf\xe9\r\n"},
         {true, true}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        ListingSession s;
        auto& script = s.LoggedIn();
        for (const std::string& listing : row.listings) PassiveList(script, listing);
        script.Expect("QUIT").Reply("221 tchau").NextSession();
        s.LoggedIn();
        s.StartLoggedIn();
        for (size_t i = 0; i < row.listings.size(); ++i) {
            s.ftp.ListDirectory();
            EXPECT_EQ(s.ftp.Utf8(), row.utf8After[i]) << i;
        }
        s.ftp.Disconnect();
        s.ftp.Connect();
        EXPECT_FALSE(s.ftp.Utf8()) << "a new session starts without knowing";
        EXPECT_TRUE(s.server.Verify());
    }
}

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
