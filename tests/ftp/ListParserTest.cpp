// The listing parsers, one row per listing line as real servers write them: the four lists of
// the column reading, then the parsed entries of each form and of machine listings.
#include "ftp/ListParsers.h"
#include "ftp/MlsdParser.h"

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
    {"MS-DOS form: a grouped size gives its digits",
     "12/07/2026  09:01 PM     1,234,567 grouped.bin",
     "\t1234567\t12/07/2026 09:01 PM\tgrouped.bin"},
    {"a numeric date in the Unix form", "-rw-r--r-- 1 ftp ftp 1234 2026-12-07 16:30 iso name",
     "-rw-r--r--\t1234\t2026-12-07 16:30\tiso name"},
    {"a date that cannot be read keeps its columns and the whole name",
     "-rw-r--r-- 1 ftp ftp 1234 Xyz  5 12:30 odd name", "-rw-r--r--\t1234\tXyz 5 12:30\todd name"},
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

// entry: KIND TAB SIZE TAB MTIME TAB NAME as ftpdrive prints it; empty when the line gives none.
// Dates without a year are placed against 7 December 2026.
struct FormRow {
    std::string why;
    std::string line;
    std::string entry;
};

std::string EntryText(const TFTPListEntry& entry)
{
    return std::string(KindName(entry.kind)) + '\t' +
           (entry.size ? std::to_string(*entry.size) : "-") + '\t' + ToIso8601(entry.modified) +
           '\t' + entry.name;
}

std::string ParsedEntries(const std::string& line, bool machine, bool* readable = nullptr)
{
    TFTPUnixList parser;
    parser.Today = {2026, 12, 7};
    const bool ok = machine ? parser.ParseMachineLine(line) : (parser.ParseLine(line), true);
    if (readable) *readable = ok;
    std::string entries;
    for (const TFTPListEntry& entry : parser.Entries) entries += EntryText(entry);
    return entries;
}

const FormRow kUnixForms[] = {
    {"this year's file", "-rw-r--r--    1 ftp      ftp          1234 Jan  5 12:30 readme.txt",
     "file\t1234\t2026-01-05T12:30:00\treadme.txt"},
    {"a date after today is last year's", "-rw-r--r-- 1 ftp ftp 5 Dec  9 10:00 next",
     "file\t5\t2025-12-09T10:00:00\tnext"},
    {"an older file: the year, no time", "-rw-r--r--   1 ftp      ftp   0 Mar  4  2019 old.txt",
     "file\t0\t2019-03-04\told.txt"},
    {"a directory with a blank", "drwxr-xr-x   2 root     root  4096 Dec 07 12:00 sub dir",
     "dir\t4096\t2026-12-07T12:00:00\tsub dir"},
    {"a link, its target cut off", "lrwxrwxrwx 1 root root 7 Dec 07 12:00 pub -> sub dir",
     "link\t7\t2026-12-07T12:00:00\tpub"},
    {"an ACL mark after the mode", "-rw-r--r--+ 1 ftp ftp 10 Jan 5 12:30 acl.txt",
     "file\t10\t2026-01-05T12:30:00\tacl.txt"},
    {"extended attributes mark", "drwxr-xr-x@ 5 user staff 160 Jan 5 12:30 mac dir",
     "dir\t160\t2026-01-05T12:30:00\tmac dir"},
    {"security context mark", "-rw-r--r--. 1 root root 3 Jan 5 12:30 ctx",
     "file\t3\t2026-01-05T12:30:00\tctx"},
    {"no group", "-rw-r--r-- 1 owner 2500000000 Feb 29 2020 x.bin",
     "file\t2500000000\t2020-02-29\tx.bin"},
    {"numeric owner and group, 3 GiB", "-rw-r--r-- 1 1000 1000 3221225472 Jan  5 12:30 big.iso",
     "file\t3221225472\t2026-01-05T12:30:00\tbig.iso"},
    {"no link count", "-rw-r--r-- ftp ftp 1234 Jan 5 12:30 nolinks",
     "file\t1234\t2026-01-05T12:30:00\tnolinks"},
    {"no owner or group", "-rw-r--r--   1 1234 Jan 5 12:30 solo.txt",
     "file\t1234\t2026-01-05T12:30:00\tsolo.txt"},
    {"nothing but mode and size", "drwxr-xr-x 0 Jan 5 12:30 bare",
     "dir\t0\t2026-01-05T12:30:00\tbare"},
    {"ISO date, as long-iso writes it", "-rw-r--r-- 1 ftp ftp 1234 2026-12-07 16:30 iso name.txt",
     "file\t1234\t2026-12-07T16:30:00\tiso name.txt"},
    {"full-iso: seconds, fractions and the zone",
     "-rw-r--r-- 1 ftp ftp 12 2026-12-07 16:30:05.123456789 +0100 full.txt",
     "file\t12\t2026-12-07T16:30:05\tfull.txt"},
    {"day before month", "drwxr-xr-x 2 root root 4096 10. Jan 14:23 Neuer Ordner",
     "dir\t4096\t2026-01-10T14:23:00\tNeuer Ordner"},
    {"French month with its dot", "-rw-r--r-- 1 ftp ftp 1 janv. 5 2020 a b",
     "file\t1\t2020-01-05\ta b"},
    {"German month in capitals, UTF-8", "-rw-r--r-- 1 ftp ftp 1 M\xc3\x84R 5 12:30 a",
     "file\t1\t2026-03-05T12:30:00\ta"},
    {"German month in windows-1252", "-rw-r--r-- 1 ftp ftp 1 M\xe4r 5 12:30 a",
     "file\t1\t2026-03-05T12:30:00\ta"},
    {"Spanish month", "-rw-r--r-- 1 ftp ftp 1 dic 24 2025 navidad", "file\t1\t2025-12-24\tnavidad"},
    {"Portuguese month", "-rw-r--r-- 1 ftp ftp 9 out 3 2024 relat\xc3\xb3rio.pdf",
     "file\t9\t2024-10-03\trelat\xc3\xb3rio.pdf"},
    {"Japanese month and day", "-rw-r--r-- 1 ftp ftp 42 12\xe6\x9c\x88  7\xe6\x97\xa5 16:30 x",
     "file\t42\t2026-12-07T16:30:00\tx"},
    {"comma after the day, year, 12-hour time",
     "-rw-r--r-- 1 ftp ftp 42 Dec 7, 2026 4:30 PM comma.txt",
     "file\t42\t2026-12-07T16:30:00\tcomma.txt"},
    {"seconds in the time", "-rw-r--r-- 1 ftp ftp 5 Jan 5 12:30:59 a",
     "file\t5\t2026-01-05T12:30:59\ta"},
    {"a device has no size", "crw-rw-rw- 1 root root 1,   3 Jan 5 12:30 null",
     "other\t-\t2026-01-05T12:30:00\tnull"},
    {"a pipe is neither file nor directory", "prw-r--r-- 1 root root 0 Jan 5 12:30 pipe",
     "other\t0\t2026-01-05T12:30:00\tpipe"},
    {"a name that begins with a year", "-rw-r--r-- 1 ftp ftp 10 Jan 5 12:30 2020 photos",
     "file\t10\t2026-01-05T12:30:00\t2020 photos"},
    {"a name that begins with PM", "-rw-r--r-- 1 ftp ftp 10 Jan 5 13:30 PM notes",
     "file\t10\t2026-01-05T13:30:00\tPM notes"},
    {"a name that is PM", "-rw-r--r-- 1 ftp ftp 10 Jan 5 11:30 PM",
     "file\t10\t2026-01-05T11:30:00\tPM"},
    {"leading blank and semicolons in the name", "-rw-r--r-- 1 ftp ftp 3 Jan 5 12:30  a;b; c",
     "file\t3\t2026-01-05T12:30:00\t a;b; c"},
    {"an empty file", "-rw-r--r-- 1 ftp ftp 0 Jan 5 12:30 empty",
     "file\t0\t2026-01-05T12:30:00\tempty"},
    {"a month-like word that is no month", "-rw-r--r-- 1 ftp ftp 3 Jui 5 12:30 x", "file\t3\t-\tx"},
    {"numeric month and day, then the time", "-rw-r--r-- 1 ftp ftp 1234 12 7 16:30 numeric.txt",
     "file\t1234\t2026-12-07T16:30:00\tnumeric.txt"},
    {"numeric month and day: single digits, padded", "-rw-r--r-- 1 ftp ftp 5 1  5 09:05 a b",
     "file\t5\t2026-01-05T09:05:00\ta b"},
    {"numeric month and day after today are last year's", "drwxr-xr-x 2 0 0 4096 12 25 10:00 xmas",
     "dir\t4096\t2025-12-25T10:00:00\txmas"},
    {"numeric month 13: no date, the entry stays", "-rw-r--r-- 1 ftp ftp 5 13 5 10:00 x",
     "file\t5\t-\tx"},
    {"dashed month-day and a year", "-rw-r--r-- 1 ftp ftp 1234 12-07 2025 dashed name.txt",
     "file\t1234\t2025-12-07\tdashed name.txt"},
    {"dashed month-day is month first", "-rw-r--r-- 1 ftp ftp 7 07-12 2024 x",
     "file\t7\t2024-07-12\tx"},
    {"dashed month-day and a time", "-rw-r--r-- 1 ftp ftp 7 3-5 16:30 x y",
     "file\t7\t2026-03-05T16:30:00\tx y"},
    {"dashed month-day and a time, after today", "lrwxrwxrwx 1 ftp ftp 7 12-09 08:00 l -> t",
     "link\t7\t2025-12-09T08:00:00\tl"},
    {"dashed day first is no month-day, the entry stays", "-rw-r--r-- 1 ftp ftp 7 25-12 2024 x",
     "file\t7\t-\tx"},
    {"dotted date alone", "-rw-r--r-- 1 ftp ftp 1234 2026.12.07 dotted name.txt",
     "file\t1234\t2026-12-07\tdotted name.txt"},
    {"dotted date alone, a directory", "drwxr-xr-x 2 ftp ftp 4096 2019.03.04 old",
     "dir\t4096\t2019-03-04\told"},
    {"dotted date with a time keeps the time", "-rw-r--r-- 1 ftp ftp 1 2026.12.07 16:30 x",
     "file\t1\t2026-12-07T16:30:00\tx"},
    {"dotted date out of range, the entry stays", "-rw-r--r-- 1 ftp ftp 1 2026.13.45 x",
     "file\t1\t-\tx"},
    {"24:00 is the next day's midnight", "-rw-r--r-- 1 ftp ftp 3 Jan 5 24:00 midnight",
     "file\t3\t2026-01-06T00:00:00\tmidnight"},
    {"24:00 on the last day of the year", "-rw-r--r-- 1 ftp ftp 3 Dec 31 24:00 eve",
     "file\t3\t2026-01-01T00:00:00\teve"},
    {"24:00 at the end of February, leap year", "-rw-r--r-- 1 ftp ftp 3 Feb 28, 2024 24:00 leap",
     "file\t3\t2024-02-29T00:00:00\tleap"},
    {"24:00 at the end of February", "-rw-r--r-- 1 ftp ftp 3 Feb 28 24:00 x",
     "file\t3\t2026-03-01T00:00:00\tx"},
    {"24:30 is no time, the entry stays", "-rw-r--r-- 1 ftp ftp 3 Jan 5 24:30 x", "file\t3\t-\tx"},
    {"a month of a language not read, the year",
     "drwxr-xr-x 2 ftp ftp 4096 led 5 2020 Nov\xc3\xa1 slo\xc5\xbeka",
     "dir\t4096\t-\tNov\xc3\xa1 slo\xc5\xbeka"},
    {"a Cyrillic month, day first, a device",
     "crw-rw-rw- 1 root root 1, 3 5 \xd1\x8f\xd0\xbd\xd0\xb2 12:30 null", "other\t-\t-\tnull"},
    {"a server message", "226-Options: -a -l", ""},
    {"the total line", "total 12", ""},
};

const FormRow kDosForms[] = {
    {"IIS directory", "12-07-26  10:15AM       <DIR>          sub dir",
     "dir\t-\t2026-12-07T10:15:00\tsub dir"},
    {"IIS file, 12-hour", "12-07-26  09:01PM                10000 data file.bin",
     "file\t10000\t2026-12-07T21:01:00\tdata file.bin"},
    {"four-digit year, 24-hour time, 3 GiB", "12-07-2026  21:01       3221225472 big.iso",
     "file\t3221225472\t2026-12-07T21:01:00\tbig.iso"},
    {"slashes, AM/PM apart, thousands commas", "12/07/2026  09:01 PM     1,234,567 grouped.bin",
     "file\t1234567\t2026-12-07T21:01:00\tgrouped.bin"},
    {"dots: day first, thousands dots", "07.12.2026  21:01   1.234.567 punkt.bin",
     "file\t1234567\t2026-12-07T21:01:00\tpunkt.bin"},
    {"a first number above 12 is the day", "31/12/25  23:59        5 eve",
     "file\t5\t2025-12-31T23:59:00\teve"},
    {"ISO date", "2026-12-07  21:01    <DIR>   iso dir", "dir\t-\t2026-12-07T21:01:00\tiso dir"},
    {"12 AM is midnight", "12-07-26  12:05AM  0 midnight.txt",
     "file\t0\t2026-12-07T00:05:00\tmidnight.txt"},
    {"<dir> in small letters", "12-07-26  10:15AM  <dir>  low", "dir\t-\t2026-12-07T10:15:00\tlow"},
    {"a date out of range, the entry stays", "13-45-26  10:15AM  <DIR>  odd dir",
     "dir\t-\t-\todd dir"},
    {"no name", "12-07-26  10:15AM       <DIR>", ""},
    {"the summary line", "               2 File(s)         12,345 bytes", ""},
    {"separators out of groups of three", "12-07-26  10:15AM  12,34 x", ""},
};

// entry: as above; "broken" when the line is no machine listing line.
const FormRow kMachineLines[] = {
    {"every fact",
     "type=file;size=1234;modify=20261207163000;perm=adfrw;unique=803g1;UNIX.mode=0644; my "
     "file.txt",
     "file\t1234\t2026-12-07T16:30:00Z\tmy file.txt"},
    {"fractions of a second", "type=dir;modify=20261207163000.123; sub dir",
     "dir\t-\t2026-12-07T16:30:00Z\tsub dir"},
    {"facts in any case", "Type=File;Size=5;Modify=20261207163000; UPPER",
     "file\t5\t2026-12-07T16:30:00Z\tUPPER"},
    {"semicolons and = in the name", "type=file;size=3; a;b; c=d", "file\t3\t-\ta;b; c=d"},
    {"the name's own leading blanks", "type=file;size=3;  lead", "file\t3\t-\t lead"},
    {"a link and its target", "type=OS.unix=slink:/etc/target;size=11; link", "link\t11\t-\tlink"},
    {"a link as some servers write it", "type=OS.unix=symlink; l2", "link\t-\t-\tl2"},
    {"no type: the kind stays unknown", "size=10; nokind", "other\t10\t-\tnokind"},
    {"values that cannot be read", "type=file;size=abc;modify=yesterday;x.custom=1; odd",
     "file\t-\t-\todd"},
    {"a 5 GiB sparse file", "type=file;size=5368709120;modify=20261207163000; sparse.bin",
     "file\t5368709120\t2026-12-07T16:30:00Z\tsparse.bin"},
    {"UTF-8 and raw bytes in the name", "type=file;size=1; ma\xc3\xa7\xc3\xa3 \xff\xfe",
     "file\t1\t-\tma\xc3\xa7\xc3\xa3 \xff\xfe"},
    {"no facts at all", " bare", "other\t-\t-\tbare"},
    {"no final semicolon", "type=file;size=3 name", "file\t3\t-\tname"},
    {"the directory itself", "type=cdir;modify=20261207163000; .", ""},
    {"its parent", "type=pdir;modify=20261207163000; ..", ""},
    {"a blank line", "", ""},
    {"a LIST line", "-rw-r--r-- 1 ftp ftp 3 Jan 5 12:30 x", "broken"},
    {"no blank", "type=file;size=3;", "broken"},
    {"no name", "type=file;size=3; ", "broken"},
    {"a fact without a value", "type=file;garbage; x", "broken"},
};

class ListForm : public ::testing::TestWithParam<FormRow> {};

TEST_P(ListForm, GivesTheWholeNameKindSizeAndTime)
{
    EXPECT_EQ(ParsedEntries(GetParam().line, false), GetParam().entry) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(UnixLines, ListForm, ::testing::ValuesIn(kUnixForms));
INSTANTIATE_TEST_SUITE_P(DosLines, ListForm, ::testing::ValuesIn(kDosForms));

class MachineLine : public ::testing::TestWithParam<FormRow> {};

TEST_P(MachineLine, GivesTheWholeNameKindSizeAndTime)
{
    bool readable = false;
    const std::string entries = ParsedEntries(GetParam().line, true, &readable);
    EXPECT_EQ(readable ? entries : "broken", GetParam().entry) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(MlsdLines, MachineLine, ::testing::ValuesIn(kMachineLines));

TEST(MachineLineMode, ReadsTheOctalModeAsServersWriteIt)
{
    EXPECT_EQ(mlsd::PermissionsOf("0644"), "rw-r--r--");
    EXPECT_EQ(mlsd::PermissionsOf("0o755"), "rwxr-xr-x"); // pyftpdlib
    EXPECT_EQ(mlsd::PermissionsOf("0o"), "");
    EXPECT_EQ(mlsd::PermissionsOf("0x1ff"), "");
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
    // Nothing of the long line survives into a shorter one.
    splitter.ParseLine("x");
    EXPECT_EQ(splitter.ColumnCount, 1);
    EXPECT_EQ(splitter.Columns[25], "");
}

} // namespace
