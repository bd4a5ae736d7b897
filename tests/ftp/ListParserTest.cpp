// The listing parsers, one row per listing line as real servers write them.
#include "ftp/ListParsers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct UnixRow {
    const char* why;
    std::string line;
    bool entry;
    std::string attribute, size, date, name;
};

const UnixRow kUnixRows[] = {
    {"nine columns with padded runs of blanks",
     "-rw-r--r--    1 ftp      ftp          1234 Jan  5 12:30 readme.txt", true, "-rw-r--r--",
     "1234", "Jan 5 12:30", "readme.txt"},
    {"a directory line with a year instead of a time",
     "drwxr-xr-x 2 ftp ftp 4096 Dec 31 2021 pub", true, "drwxr-xr-x", "4096", "Dec 31 2021",
     "pub"},
    {"eight columns: no group, every field but the first counted from the end",
     "-rw-r--r-- 1 owner 77 Feb 29 2020 x.bin", true, "-rw-r--r--", "77", "Feb 29 2020",
     "x.bin"},
    {"ten columns: a blank in the name shifts every field by one",
     "-rw-r--r-- 1 ftp ftp 1234 Jan 5 12:30 my file.txt", true, "-rw-r--r--", "Jan",
     "5 12:30 my", "file.txt"},
    {"a trailing blank makes an empty last column",
     "-rw-r--r-- 1 ftp ftp 1234 Jan 5 12:30 readme.txt ", true, "-rw-r--r--", "Jan",
     "5 12:30 readme.txt", ""},
    {"sizes past 2 GiB stay text", "-rw------- 1 u g 2500000000 Mar 1 09:00 big.iso", true,
     "-rw-------", "2500000000", "Mar 1 09:00", "big.iso"},
    {"the total line gives no entry", "total 12", false, "", "", "", ""},
    {"seven columns give no entry", "a b c d e f g", false, "", "", "", ""},
    {"a bare line end gives no entry", "\r\n", false, "", "", "", ""},
};

class UnixListLine : public ::testing::TestWithParam<UnixRow> {};

TEST_P(UnixListLine, FillsTheFourListsFromTheColumns)
{
    const UnixRow& row = GetParam();
    SCOPED_TRACE(row.why);
    TFTPUnixList parser;
    parser.ParseLine(row.line);
    if (!row.entry) {
        EXPECT_TRUE(parser.NameList.empty());
        EXPECT_TRUE(parser.SizeList.empty());
        EXPECT_TRUE(parser.DateList.empty());
        EXPECT_TRUE(parser.AttributeList.empty());
        return;
    }
    ASSERT_EQ(parser.NameList.size(), 1u);
    ASSERT_EQ(parser.SizeList.size(), 1u);
    ASSERT_EQ(parser.DateList.size(), 1u);
    ASSERT_EQ(parser.AttributeList.size(), 1u);
    EXPECT_EQ(parser.AttributeList[0], row.attribute);
    EXPECT_EQ(parser.SizeList[0], row.size);
    EXPECT_EQ(parser.DateList[0], row.date);
    EXPECT_EQ(parser.NameList[0], row.name);
}

INSTANTIATE_TEST_SUITE_P(RealServerLines, UnixListLine, ::testing::ValuesIn(kUnixRows));

TEST(DirectoryListSplitter, CountsLeadingAndTrailingBlanksAsEmptyColumns)
{
    TFTPDirectoryList splitter;
    splitter.ParseLine("  a   b ");
    EXPECT_EQ(splitter.ColumnCount, 4);
    EXPECT_EQ(splitter.Columns[1], "");
    EXPECT_EQ(splitter.Columns[2], "a");
    EXPECT_EQ(splitter.Columns[3], "b");
    EXPECT_EQ(splitter.Columns[4], "");

    // Columns of a longer earlier line must not leak into a shorter one.
    splitter.ParseLine("x");
    EXPECT_EQ(splitter.ColumnCount, 1);
    EXPECT_EQ(splitter.Columns[1], "x");
    EXPECT_EQ(splitter.Columns[2], "");
    EXPECT_EQ(splitter.Columns[4], "");
}

TEST(DirectoryListSplitter, JoinsColumnsPastTheTwentyFifthOntoIt)
{
    std::string line;
    for (int i = 1; i <= 30; ++i) line += "c" + std::to_string(i) + "   ";
    TFTPDirectoryList splitter;
    splitter.ParseLine(line);
    EXPECT_EQ(splitter.ColumnCount, 25);
    EXPECT_EQ(splitter.Columns[24], "c24");
    EXPECT_EQ(splitter.Columns[25], "c25 c26 c27 c28 c29 c30");
}

TEST(DirectoryListSplitter, KeepsAtMost255CharactersPerColumn)
{
    TFTPDirectoryList splitter;
    splitter.ParseLine(std::string(300, 'n') + " next");
    EXPECT_EQ(splitter.ColumnCount, 2);
    EXPECT_EQ(splitter.Columns[1], std::string(255, 'n'));
    EXPECT_EQ(splitter.Columns[2], "next");
}

TEST(UnixListParser, AccumulatesLinesUntilCleared)
{
    TFTPUnixList parser;
    parser.ParseLine("total 8");
    parser.ParseLine("-rw-r--r-- 1 ftp ftp 10 Jan 1 00:00 a");
    parser.ParseLine("drwxr-xr-x 2 ftp ftp 4096 Jan 2 00:00 b");
    ASSERT_EQ(parser.NameList.size(), 2u);
    EXPECT_EQ(parser.NameList[1], "b");
    EXPECT_EQ(parser.AttributeList[1], "drwxr-xr-x");
    parser.Clear();
    EXPECT_TRUE(parser.NameList.empty());
    EXPECT_TRUE(parser.SizeList.empty());
    EXPECT_TRUE(parser.DateList.empty());
    EXPECT_TRUE(parser.AttributeList.empty());
}

} // namespace
