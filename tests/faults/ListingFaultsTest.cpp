// Listing lines no parser was written for: very wide, very long, with blanks and control
// characters in odd places, without a final line end, and one longer than any line may be.
#include "FaultSession.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <string>
#include <vector>

namespace {

using faults::FaultSession;
using faults::Lines;

struct ListingSession : FaultSession {
    std::vector<std::string> items;
    ListingSession()
    {
        ftp.ParseList = true;
        ftp.Vendor = vendorUnix; // no SYST
        ftp.OnListItem = [this](const std::string& line) { items.push_back(line); };
    }
    testsupport::ScriptedFtpServer& Listing()
    {
        return LoggedIn()
            .PassiveListen()
            .Expect("PASV")
            .ReplyPasv()
            .Expect("LIST")
            .Reply("150 Here comes the directory listing.")
            .AcceptData();
    }
};

TEST(ListingFaults, OddLinesAreHandedOutWholeAndTheParserStaysInBounds)
{
    ListingSession s;
    std::string wide = "-rw-r--r--";
    for (int i = 0; i < 300; ++i) wide += " c" + std::to_string(i);
    const std::string longName = "-rw-r--r-- 1 ftp ftp 9 Jan 5 12:30 " + std::string(70000, 'n');
    const std::string spaced = "-rw-r--r-- 1 ftp ftp 9 Jan 5 12:30 meu  arquivo .txt";
    const std::string trailing = "-rw-r--r-- 1 ftp ftp 9 Jan 5 12:30 final   ";
    const std::string control =
        std::string("-rw-r--r-- 1 ftp ftp 9 Jan 5 12:30 \x1b[31mvermelho\x07\rbell") + '\0' +
        "\x7f\xff";
    const std::string unterminated = "-rw-r--r-- 1 ftp ftp 3 Feb 1 10:00 sem-fim";
    s.Listing()
        .SendData(wide + "\r\n" + longName + "\r\n" + spaced + "\r\n" + trailing + "\r\n" +
                  control + "\r\n" + unterminated)
        .CloseData()
        .Reply("226 Directory send OK.")
        .Expect("NOOP")
        .Reply("200 ok");
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(s.items, (Lines{wide, longName, spaced, trailing, control, unterminated}));
    const TFTPDirectoryList& parser = *s.ftp.ListParser;
    EXPECT_EQ(parser.ColumnCount, 9); // of the last line
    for (const auto& column : parser.Columns)
        EXPECT_LE(column.size(), TFTPDirectoryList::kMaxColumnLength);
    // The wide line has no date and gives no entry; every other name comes out whole, however
    // long, with its blanks and control characters.
    EXPECT_EQ(parser.NameList, (Lines{std::string(70000, 'n'), "meu  arquivo .txt", "final   ",
                                      control.substr(control.find("\x1b")), "sem-fim"}));
    EXPECT_EQ(parser.SizeList.size(), parser.NameList.size());
    EXPECT_EQ(parser.DateList.size(), parser.NameList.size());
    EXPECT_EQ(parser.AttributeList.size(), parser.NameList.size());
    EXPECT_EQ(s.events, (Lines{"OnTransactionStart", "OnSuccess ctList"}));
    faults::ExpectNextCommandWorks(s);
    EXPECT_TRUE(s.server.Verify());
}

TEST(ListingFaults, ALinePastTheLimitFailsTheListingAndTheSessionGoesOn)
{
    ListingSession s;
    // The server is told nothing by the client but the reset of the data connection. It answers
    // the LIST once it notices (it used to say nothing, and that reply was never asked for); the
    // client reads it before its next command.
    s.Listing()
        .SendData("primeira\r\n" + std::string(2 * 1024 * 1024, 'x'))
        .AllowClientAbort()
        .Hold()
        .Reply("426 Connection closed; transfer aborted.")
        .Expect("NOOP")
        .Reply("200 ok");
    s.StartLoggedIn();

    EXPECT_EQ(faults::ReasonRaisedBy([&] { s.ftp.ListDirectory(); }), ErrorReason::LineTooLong);
    EXPECT_EQ(s.items, Lines{"primeira"});
    EXPECT_FALSE(s.ftp.ListInProgress);
    EXPECT_TRUE(s.ftp.Connected);
    s.server.Release();
    faults::ExpectNextCommandWorks(s);
    EXPECT_TRUE(s.server.Verify());
}

// A Cancel while the server is asked its system type ends the listing: the parser's question is
// part of the listing, and no data connection is opened after it.
TEST(ListingFaults, CancelDuringTheSystemQuestionEndsTheListing)
{
    ListingSession s;
    s.ftp.Vendor = vendorAutoDetect;
    s.LoggedIn().Expect("SYST").Hold().Reply("215 UNIX Type: L8");
    s.StartLoggedIn();
    QTimer cancel;
    cancel.setSingleShot(true);
    QObject::connect(&cancel, &QTimer::timeout, [&] { s.ftp.Cancel(); });
    cancel.start(100);

    EXPECT_EQ(faults::ReasonRaisedBy([&] { s.ftp.ListDirectory(); }), ErrorReason::Canceled);
    EXPECT_FALSE(s.ftp.ListInProgress);
    s.server.Release();
    EXPECT_TRUE(s.server.Verify());
}

} // namespace
