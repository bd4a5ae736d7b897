// ListDirectory against a scripted server: the lines handed out, the parser, SYST detection,
// how the reading loop ends, and the guard against a second listing.
#include "ScriptedSession.h"
#include "ftp/FtpSession.h"
#include "support/EventLoop.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
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

// Entries whose date cannot be read are kept, and the listing says so once, at level 1.
TEST(Listing, KeepsEntriesWithoutAReadableDateAndSaysSoOnce)
{
    ListingSession s;
    s.ftp.ParseList = true;
    s.ftp.Vendor = vendorUnix;
    const std::string odd = "-rw-r--r-- 1 ftp ftp 3 Xyz 5 12:30 odd file";
    PassiveList(s.LoggedIn(), "-rw-r--r-- 1 ftp ftp 9 Feb 1 10:00 dated\r\n" + odd +
                                  "\r\ndrwxr-xr-x 2 ftp ftp 4096 13-45 2020 odd dir\r\n");
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(s.ftp.ListParser->NameList, (Lines{"dated", "odd file", "odd dir"}));
    ASSERT_EQ(s.ftp.ListParser->Entries.size(), 3u);
    EXPECT_TRUE(s.ftp.ListParser->Entries[0].modified.known);
    EXPECT_FALSE(s.ftp.ListParser->Entries[2].modified.known);
    EXPECT_EQ(std::count_if(s.status.begin(), s.status.end(),
                            [](const std::string& text) { return text.rfind("Date not", 0) == 0; }),
              1);
    EXPECT_TRUE(Contains(s.status,
                         "Date not readable in 2 listing lines, time unknown; the first: " + odd));
    EXPECT_TRUE(s.server.Verify());
}

// The same for the listings of tree transfers, which the session parses itself.
// A non-blocking session logged in to `server` as "ana", passive, its status texts of level 1
// collected in `status`.
std::unique_ptr<FtpSession> SessionTo(testsupport::ScriptedFtpServer& server,
                                      std::vector<std::string>& status)
{
    auto ftp = std::make_unique<TVaskFTP>(nullptr);
    ftp->Host = "127.0.0.1";
    ftp->Port = server.Port();
    ftp->UserID = "ana";
    ftp->Passive = true;
    ftp->ReportLevel = 1;
    ftp->OnStatus = [&status](TComponent*, const std::string& text) { status.push_back(text); };
    auto session = std::make_unique<FtpSession>(std::move(ftp));
    std::optional<transfer::Outcome> opened;
    session->Open([&](const transfer::Outcome& o) { opened = o; });
    if (!testsupport::PumpUntil([&] { return opened.has_value(); }) || !opened->ok) return nullptr;
    return session;
}

// The names of the current directory's entries as the session lists them; nothing when the
// listing failed.
std::optional<std::vector<std::string>> NamesListedBy(FtpSession& session)
{
    std::optional<transfer::Outcome> listed;
    std::vector<std::string> names;
    transfer::Request list;
    list.operation = transfer::Operation::List;
    const bool started =
        session.StartList(list, [&](const transfer::Outcome& o, const auto& entries) {
            listed = o;
            for (const transfer::RemoteEntry& entry : entries) names.push_back(entry.name);
        });
    if (!started || !testsupport::PumpUntil([&] { return listed.has_value(); }) || !listed->ok)
        return std::nullopt;
    return names;
}

TEST(Listing, TheSessionsListingKeepsEntriesWithoutAReadableDate)
{
    testsupport::ScriptedFtpServer server;
    const std::string odd = "-rw-r--r-- 1 ftp ftp 3 Xyz 5 12:30 odd file";
    PassiveList(server.Reply("220 pronto").Expect("USER ana").Reply("230 ok").NoFeatures(),
                odd + "\r\n");
    server.Start();
    std::vector<std::string> status;
    const std::unique_ptr<FtpSession> session = SessionTo(server, status);
    ASSERT_TRUE(session);
    EXPECT_EQ(NamesListedBy(*session), std::vector<std::string>{"odd file"});
    EXPECT_TRUE(Contains(status, "Date not readable, time unknown: " + odd));
    EXPECT_TRUE(server.Verify());
}

// A server that lists MLST among its features but answers MLSD with 500: the session lists with
// LIST, that time and every later one, as the component's own listing does.
TEST(Listing, TheSessionListsWithListWhenMlsdIsRefused)
{
    testsupport::ScriptedFtpServer server;
    auto& script = server.Reply("220 pronto").Expect("USER ana").Reply("230 ok");
    script.Expect("FEAT").Reply("211-Features:").Reply(" MLST type*;size*;modify*;");
    script.Reply("211 End");
    // The refusal comes with the data connection taken, as a server keeps its passive port
    // open: a connection refused before the reply would rightly be told ABOR.
    script.PassiveListen().Expect("PASV").ReplyPasv().AcceptData().Expect("MLSD");
    script.Reply("500 Command not understood.");
    const std::string line = "-rw-r--r-- 1 ftp ftp 3 Feb 1 10:00 a file\r\n";
    PassiveList(script, line);
    PassiveList(script, line);
    server.Start();
    std::vector<std::string> status;
    const std::unique_ptr<FtpSession> session = SessionTo(server, status);
    ASSERT_TRUE(session);
    for (int listing = 0; listing < 2; ++listing)
        EXPECT_EQ(NamesListedBy(*session), std::vector<std::string>{"a file"}) << listing;
    EXPECT_TRUE(server.Verify());
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

// A server that offers MLST, and sends the type, size and time facts unasked.
testsupport::ScriptedFtpServer& LoggedInWithMlst(ScriptedSession& s)
{
    return s.server.Reply("220 pronto")
        .Expect("USER ana")
        .Reply("230 bem-vinda")
        .Expect("FEAT")
        .Reply("211-Features:")
        .Reply(" MLST type*;size*;modify*;perm;unique;UNIX.mode;UNIX.uid;")
        .Reply("211 End");
}

// A passive listing with `command` whose data connection carries `data`.
testsupport::ScriptedFtpServer& PassiveListing(testsupport::ScriptedFtpServer& script,
                                               const std::string& command, const std::string& data)
{
    return script.PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect(command)
        .Reply("150 here")
        .AcceptData()
        .SendData(data)
        .CloseData()
        .Reply("226 done");
}

TEST(Listing, ParsedListingsUseMlsdWhenTheServerOffersMlst)
{
    ListingSession s;
    s.ftp.ParseList = true;
    s.ftp.Vendor = vendorUnix; // no SYST
    auto& script = LoggedInWithMlst(s)
                       .Expect("OPTS MLST type;size;modify;perm;unique;UNIX.mode;")
                       .Reply("200 MLST OPTS type;size;modify;perm;unique;UNIX.mode;");
    PassiveListing(script, "MLSD",
                   "type=cdir;modify=20261207163000; .\r\n"
                   "type=file;size=5368709120;modify=20261207163000;UNIX.mode=0644; big; file\r\n"
                   "type=dir;modify=20251207163000;UNIX.mode=0755; sub dir\r\n");
    // The facts are asked for once a session.
    PassiveListing(script, "MLSD", "type=file;size=0; empty\r\n");
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(s.items, (Lines{"type=cdir;modify=20261207163000; .",
                              "type=file;size=5368709120;modify=20261207163000;UNIX.mode=0644; "
                              "big; file",
                              "type=dir;modify=20251207163000;UNIX.mode=0755; sub dir"}));
    const TFTPDirectoryList& parser = *s.ftp.ListParser;
    EXPECT_EQ(parser.NameList, (Lines{"big; file", "sub dir"}));
    EXPECT_EQ(parser.SizeList, (Lines{"5368709120", ""}));
    EXPECT_EQ(parser.AttributeList, (Lines{"-rw-r--r--", "drwxr-xr-x"}));
    EXPECT_EQ(parser.DateList, (Lines{"2026-12-07T16:30:00Z", "2025-12-07T16:30:00Z"}));
    ASSERT_EQ(parser.Entries.size(), 2u);
    EXPECT_EQ(parser.Entries[1].kind, TEntryKind::Directory);
    EXPECT_TRUE(s.ftp.UsesMachineListings());

    s.ftp.ListDirectory();
    EXPECT_EQ(s.ftp.ListParser->NameList, (Lines{"empty"}));
    EXPECT_EQ(s.events, (Lines{"OnSuccess ctList", "OnSuccess ctList"}));
    EXPECT_TRUE(s.server.Verify());
}

// MLSD that cannot be used: the listing is taken again with LIST, and so is the next one. Only
// the lines of LIST are handed out, and the listing succeeds once.
struct FallbackRow {
    std::string why;
    std::string mlsdReply;
    std::string mlsdData; // sent when the reply is a 150
    std::string status;
};

class MlsdFallback : public ::testing::TestWithParam<FallbackRow> {};

TEST_P(MlsdFallback, ListsWithListForTheRestOfTheSession)
{
    const FallbackRow& row = GetParam();
    ListingSession s;
    s.ftp.ParseList = true;
    s.ftp.Vendor = vendorUnix;
    // Every fact the parsers read is sent unasked: no OPTS MLST.
    auto& script = s.server.Reply("220 pronto")
                       .Expect("USER ana")
                       .Reply("230 bem-vinda")
                       .Expect("FEAT")
                       .Reply("211-Features:")
                       .Reply(" MLST type*;size*;modify*;")
                       .Reply("211 End")
                       .PassiveListen()
                       .Expect("PASV")
                       .ReplyPasv()
                       .Expect("MLSD")
                       .Reply(row.mlsdReply);
    if (row.mlsdReply.rfind("150", 0) == 0)
        script.AcceptData().SendData(row.mlsdData).CloseData().Reply("226 done");
    const std::string line = "-rw-r--r-- 1 ftp ftp 3 Jan 5 12:30 my file";
    PassiveListing(script, "LIST", line + "\r\n");
    PassiveListing(script, "LIST", line + "\r\n");
    s.StartLoggedIn();

    s.ftp.ListDirectory();
    EXPECT_EQ(s.items, (Lines{line})) << row.why;
    EXPECT_EQ(s.ftp.ListParser->NameList, (Lines{"my file"}));
    EXPECT_EQ(s.events, (Lines{"OnSuccess ctList"}));
    EXPECT_TRUE(Contains(s.status, row.status + "; listing with LIST for the rest of the session"));
    EXPECT_FALSE(s.ftp.UsesMachineListings());
    s.ftp.ListDirectory();
    EXPECT_EQ(s.ftp.ListParser->NameList, (Lines{"my file"}));
    EXPECT_TRUE(s.server.Verify());
}

INSTANTIATE_TEST_SUITE_P(
    BrokenMlsd, MlsdFallback,
    ::testing::Values(
        FallbackRow{"not understood", "500 MLSD not understood", "", "MLSD refused"},
        FallbackRow{"not implemented", "502 Command not implemented", "", "MLSD refused"},
        FallbackRow{"LIST lines in its answer", "150 here",
                    "type=file;size=1; good\r\n-rw-r--r-- 1 ftp ftp 3 Jan 5 12:30 my file\r\n",
                    "MLSD answer not readable"},
        FallbackRow{"a line without facts", "150 here", "just a name\r\n",
                    "MLSD answer not readable"}));

// MLST: what one path is. entry: kind and size, or "none".
struct DescribeRow {
    std::string why;
    std::vector<std::string> reply;
    std::string entry;
};

class DescribePath : public ::testing::TestWithParam<DescribeRow> {};

TEST_P(DescribePath, AnswersWhatAPathIs)
{
    const DescribeRow& row = GetParam();
    ListingSession s;
    auto& script = LoggedInWithMlst(s)
                       .Expect("OPTS MLST type;size;modify;perm;unique;UNIX.mode;")
                       .Reply("200 ok")
                       .Expect("MLST /pub/a b");
    for (const std::string& line : row.reply) script.Reply(line);
    if (row.reply.empty()) script.Close();
    s.StartLoggedIn();

    std::string text = "none";
    try {
        const std::optional<TFTPListEntry> entry = s.ftp.DescribePath("/pub/a b");
        if (entry)
            text = std::string(KindName(entry->kind)) + " " +
                   (entry->size ? std::to_string(*entry->size) : "-") + " " + entry->name;
    } catch (const FTPException&) {
        text = "FTPException";
    }
    EXPECT_EQ(text, row.entry) << row.why;
    if (text != "FTPException") {
        EXPECT_TRUE(s.events.empty()) << "a question fires no events";
    }
    EXPECT_TRUE(s.server.Verify());
}

INSTANTIATE_TEST_SUITE_P(
    MlstReplies, DescribePath,
    ::testing::Values(DescribeRow{"a file",
                                  {"250-Listing /pub/a b", " type=file;size=5368709120; /pub/a b",
                                   "250 End"},
                                  "file 5368709120 /pub/a b"},
                      DescribeRow{"a directory names itself cdir",
                                  {"250-Listing /pub/a b",
                                   " Type=cdir;modify=20261207163000; /pub/a b", "250 End"},
                                  "dir - /pub/a b"},
                      DescribeRow{"no such path", {"550 No such file or directory."}, "none"},
                      DescribeRow{"no fact line", {"250-Listing", "250 End"}, "none"},
                      DescribeRow{"the server hangs up instead", {}, "FTPException"}));

TEST(Listing, DescribePathAsksNothingOfAServerWithoutMlst)
{
    ListingSession s;
    s.LoggedIn();
    s.StartLoggedIn();
    EXPECT_FALSE(s.ftp.DescribePath("x").has_value());
    EXPECT_TRUE(s.server.Verify());
}

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
