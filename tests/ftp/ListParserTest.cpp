// The listing parsers, one row per listing line as real servers write them.
#include "ftp/ListParsers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// entry: the four fields as attribute TAB size TAB date TAB name; empty when the line gives none.
struct UnixRow {
    std::string why;
    std::string line;
    std::string entry;
};

const UnixRow kUnixRows[] = {
    {"nine columns, padded with runs of blanks",
     "-rw-r--r--    1 ftp      ftp          1234 Jan  5 12:30 readme.txt",
     "-rw-r--r--\t1234\tJan 5 12:30\treadme.txt"},
    {"eight: no group column", "-rw-r--r-- 1 owner 2500000000 Feb 29 2020 x.bin",
     "-rw-r--r--\t2500000000\tFeb 29 2020\tx.bin"},
    {"vsftpd: numeric owner, zero-padded day, a blank in the name",
     "-rw-r--r--    1 0        0               3 Dec 07 12:00 my file.txt",
     "-rw-r--r--\t3\tDec 07 12:00\tmy file.txt"},
    {"pyftpdlib: a directory with a blank in its name",
     "drwxr-xr-x   2 root     root         4096 Dec 07 12:00 sub dir",
     "drwxr-xr-x\t4096\tDec 07 12:00\tsub dir"},
    {"ProFTPD: year instead of time, padded to the time's width",
     "-rw-r--r--   1 ftp      ftp             0 Mar  4  2019 old.txt",
     "-rw-r--r--\t0\tMar 4 2019\told.txt"},
    {"Pure-FTPd: 3 GiB comes through whole",
     "-rw-r--r--    1 1000       1000       3221225472 Jan  5 12:30 big.iso",
     "-rw-r--r--\t3221225472\tJan 5 12:30\tbig.iso"},
    {"the largest 64-bit size, 20 digits",
     "-rw-r--r-- 1 ftp ftp 18446744073709551615 Jan 5 12:30 huge",
     "-rw-r--r--\t18446744073709551615\tJan 5 12:30\thuge"},
    {"one blank follows the time; the name's own leading blank stays",
     "-rw-r--r--    1 0        0               2 Dec 07 12:00  lead.txt",
     "-rw-r--r--\t2\tDec 07 12:00\t lead.txt"},
    {"a trailing blank is part of the name", "-rw-r--r-- 1 ftp ftp 1234 Jan 5 12:30 readme.txt ",
     "-rw-r--r--\t1234\tJan 5 12:30\treadme.txt "},
    {"a symbolic link gives its own name, not the target",
     "lrwxrwxrwx   1 root     root            7 Dec 07 12:00 pub -> sub dir",
     "lrwxrwxrwx\t7\tDec 07 12:00\tpub"},
    {"link and target both with blanks",
     "lrwxrwxrwx    1 0        0              11 Dec 07 12:00 my link -> my file.txt",
     "lrwxrwxrwx\t11\tDec 07 12:00\tmy link"},
    {"\" -> \" in a plain file's name is the name",
     "-rw-r--r--    1 0        0               2 Dec 07 12:00 a -> b",
     "-rw-r--r--\t2\tDec 07 12:00\ta -> b"},
    {"a device's \"major, minor\" is no size and shifts nothing",
     "crw-rw-rw- 1 root root 1,   3 Jan 5 12:30 null", "crw-rw-rw-\t\tJan 5 12:30\tnull"},
    {"device numbers written without a blank", "brw-rw---- 1 root disk 8,0 Jan 5 12:30 sda",
     "brw-rw----\t\tJan 5 12:30\tsda"},
    {"a name that looks like a date: the first date is the line's",
     "-rw-r--r-- 1 ftp ftp 10 Jan 5 12:30 Feb 6 2020 notes",
     "-rw-r--r--\t10\tJan 5 12:30\tFeb 6 2020 notes"},
    {"an owner named like a month, a numeric group, a year-like size",
     "-rw-r--r-- 1 jan 5 2020 Jan 5 12:30 x", "-rw-r--r--\t2020\tJan 5 12:30\tx"},
    {"month names in any case", "-rw-r--r-- 1 ftp ftp 1 JAN 5 12:30 a",
     "-rw-r--r--\t1\tJAN 5 12:30\ta"},
    {"a German server's month, in UTF-8", "-rw-r--r-- 1 ftp ftp 1 M\xc3\xa4r 5 12:30 a",
     "-rw-r--r--\t1\tM\xc3\xa4r 5 12:30\ta"},
    {"a French server's abbreviated month with its dot", "-rw-r--r-- 1 ftp ftp 1 janv. 5 2020 a b",
     "-rw-r--r--\t1\tjanv. 5 2020\ta b"},
    {"day before month, as German ls writes it",
     "drwxr-xr-x 2 root root 4096 10. Jan 14:23 Neuer Ordner",
     "drwxr-xr-x\t4096\t10. Jan 14:23\tNeuer Ordner"},
    {"seconds in the time", "-rw-r--r-- 1 ftp ftp 5 Jan 5 12:30:59 a",
     "-rw-r--r--\t5\tJan 5 12:30:59\ta"},
    {"IIS: a directory in the MS-DOS form", "12-07-26  10:15AM       <DIR>          sub dir",
     "<DIR>\t\t12-07-26 10:15AM\tsub dir"},
    {"IIS: a file in the MS-DOS form", "12-07-26  09:01PM                10000 data file.bin",
     "\t10000\t12-07-26 09:01PM\tdata file.bin"},
    {"MS-DOS form with narrow padding", "12-07-26  10:15AM  <DIR>  sub dir",
     "<DIR>\t\t12-07-26 10:15AM\tsub dir"},
    {"MS-DOS form: four-digit year, 24-hour time, 3 GiB",
     "12-07-2026  21:01       3221225472 big.iso", "\t3221225472\t12-07-2026 21:01\tbig.iso"},
    {"the total line", "total 12", ""},
    {"eight columns but no date: not guessed", "a b c d e f g h", ""},
    {"permissions but no date", "-rw-r--r-- 1 ftp ftp 1234 readme.txt and more words", ""},
    {"a date but nothing after it", "-rw-r--r-- 1 ftp ftp 1234 Jan 5 12:30 ", ""},
    {"a size of 21 digits is no size", "-rw-r--r-- 1 ftp ftp 123456789012345678901 Jan 5 12:30 a",
     ""},
    {"a line end alone", "\r\n", ""},
};

class UnixListLine : public ::testing::TestWithParam<UnixRow> {};

TEST_P(UnixListLine, FillsTheFourListsFromTheLine)
{
    const UnixRow& row = GetParam();
    TFTPUnixList parser;
    parser.ParseLine(row.line);
    std::string entries;
    for (size_t i = 0; i < parser.NameList.size(); ++i)
        entries += (i ? "\n" : "") + parser.AttributeList[i] + '\t' + parser.SizeList[i] + '\t' +
                   parser.DateList[i] + '\t' + parser.NameList[i];
    EXPECT_EQ(entries, row.entry) << row.why;
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
