// The listing parsers, one row per listing line as real servers write them.
#include "ftp/ListParsers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

struct UnixRow {
    std::string line;
    Texts attribute, size, date, name; // empty: the line gives no entry
};

const UnixRow kUnixRows[] = {
    // nine columns, padded with runs of blanks
    {"-rw-r--r--    1 ftp      ftp          1234 Jan  5 12:30 readme.txt",
     {"-rw-r--r--"},
     {"1234"},
     {"Jan 5 12:30"},
     {"readme.txt"}},
    // eight: no group column; everything but the permissions counts from the end
    {"-rw-r--r-- 1 owner 2500000000 Feb 29 2020 x.bin",
     {"-rw-r--r--"},
     {"2500000000"},
     {"Feb 29 2020"},
     {"x.bin"}},
    // ten: a blank in the name shifts every field by one
    {"-rw-r--r-- 1 ftp ftp 1234 Jan 5 12:30 my file.txt",
     {"-rw-r--r--"},
     {"Jan"},
     {"5 12:30 my"},
     {"file.txt"}},
    // a trailing blank makes an empty last column
    {"-rw-r--r-- 1 ftp ftp 1234 Jan 5 12:30 readme.txt ",
     {"-rw-r--r--"},
     {"Jan"},
     {"5 12:30 readme.txt"},
     {""}},
    {"total 12", {}, {}, {}, {}},
    {"a b c d e f g", {}, {}, {}, {}},
    {"\r\n", {}, {}, {}, {}},
};

class UnixListLine : public ::testing::TestWithParam<UnixRow> {};

TEST_P(UnixListLine, FillsTheFourListsFromTheColumns)
{
    const UnixRow& row = GetParam();
    TFTPUnixList parser;
    parser.ParseLine(row.line);
    EXPECT_EQ(parser.AttributeList, row.attribute);
    EXPECT_EQ(parser.SizeList, row.size);
    EXPECT_EQ(parser.DateList, row.date);
    EXPECT_EQ(parser.NameList, row.name);
}

INSTANTIATE_TEST_SUITE_P(RealServerLines, UnixListLine, ::testing::ValuesIn(kUnixRows));

TEST(DirectoryListSplitter, JoinsColumnsPastTheTwentyFifthOntoIt)
{
    std::string line;
    for (int i = 1; i <= 30; ++i) line += "c" + std::to_string(i) + "   ";
    TFTPDirectoryList splitter;
    splitter.ParseLine(line);
    EXPECT_EQ(splitter.ColumnCount, 25);
    EXPECT_EQ(splitter.Columns[24], "c24");
    EXPECT_EQ(splitter.Columns[25], "c25 c26 c27 c28 c29 c30");
    // Nothing of the long line survives into a shorter one.
    splitter.ParseLine("x");
    EXPECT_EQ(splitter.ColumnCount, 1);
    EXPECT_EQ(splitter.Columns[25], "");
}

} // namespace
