// Text routines of the control channel: fields, announced sizes, how a command line is
// classified for the success and failure events, a refusal of several lines as one, and what a
// listing's bytes say about the character set of its names.
#include "ftp/VaskFtp.h"
#include "net/TextFields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ExtractField, AdjacentSeparatorsGiveAnEmptyFieldAndMissingFieldsAreEmpty)
{
    EXPECT_EQ(ExtractField("a,,b", ',', 1), "a");
    EXPECT_EQ(ExtractField("a,,b", ',', 2), "");
    EXPECT_EQ(ExtractField("a,,b", ',', 3), "b");
    EXPECT_EQ(ExtractField("a,,b", ',', 4), "");
    EXPECT_EQ(ExtractField("no separator", ',', 1), "no separator");
    EXPECT_EQ(ExtractField("", ',', 1), "");
}

struct SizeRow {
    const char* reply;
    int64_t size;
};

class TransferSize : public ::testing::TestWithParam<SizeRow> {};

TEST_P(TransferSize, IsACountWrittenAsOneBeforeTheWordBytes)
{
    EXPECT_EQ(ParseTransferSize(GetParam().reply), GetParam().size) << GetParam().reply;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, TransferSize,
    ::testing::Values(
        SizeRow{"150 Opening BINARY mode data connection for a.bin (3000 bytes).\r\n", 3000},
        SizeRow{"150 Opening data connection for big.iso (3221225472 bytes)\r\n", 3221225472LL},
        SizeRow{"150 1234 bytes to download\r\n", 1234},
        SizeRow{"150 File status okay; about to open data connection.\r\n", 0},
        SizeRow{"Sending BYTES: 1234\r\n", 0}, // the only digits stand after the word
        // The reply's own code is no size; it used to be read as 150 bytes announced.
        SizeRow{"150 Here come bytes 1234\r\n", 0}, SizeRow{"150 Here come the bytes: 21\r\n", 0},
        SizeRow{"150 (42 ByTeS)\r\n", 42},                     // any case
        SizeRow{"150 (1 byte)\r\n", 1},                        // the singular too
        SizeRow{"150 size=7, then 99 bytes, 5 BYTES\r\n", 99}, // the first count counts
        SizeRow{"150 file (1,234 bytes)\r\n", 0},              // not one number
        SizeRow{"150 file (12 bytestreams)\r\n", 0},           // not the word
        SizeRow{"150 file (9223372036854775807 bytes)\r\n", 9223372036854775807LL},
        SizeRow{"150 file (9223372036854775808 bytes)\r\n", 0}, // past 64 bits: no size
        SizeRow{"150 file (000123 bytes)\r\n", 123}));

struct MaskRow {
    const char* secret;
    const char* text;
    const char* masked;
};

class PasswordMask : public ::testing::TestWithParam<MaskRow> {};

TEST_P(PasswordMask, HidesWholeOccurrencesOnly)
{
    EXPECT_EQ(MaskSecret(GetParam().text, GetParam().secret), GetParam().masked);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PasswordMask,
    ::testing::Values(MaskRow{"s3nh@", "530 Senha s3nh@ incorreta\r\n",
                              "530 Senha ***** incorreta\r\n"},
                      MaskRow{"s3nh@", "230-s3nh@,s3nh@.\r\n", "230-*****,*****.\r\n"},
                      MaskRow{"s3nh@", "PASS ", "PASS "},
                      // A short password never eats into a word or a reply code.
                      MaskRow{"in", "230 Login ok\r\n", "230 Login ok\r\n"},
                      MaskRow{"23", "230 ok\r\n", "230 ok\r\n"},
                      MaskRow{"230", "230 230 ok\r\n", "230 ***** ok\r\n"},
                      MaskRow{"pass", "331 passwordpass pass.\r\n", "331 passwordpass *****.\r\n"},
                      MaskRow{"", "230 ok\r\n", "230 ok\r\n"}));

TEST(ClassifyCommand, ComparesTheFirstWordExactlyAndPwdAsAWholeLine)
{
    EXPECT_EQ(TVaskFTP::ClassifyCommand("CWD /pub"), ctChangeDirectory);
    EXPECT_EQ(TVaskFTP::ClassifyCommand("CWD "), ctChangeDirectory); // empty directory name
    EXPECT_EQ(TVaskFTP::ClassifyCommand("MKD novo"), ctMakeDirectory);
    EXPECT_EQ(TVaskFTP::ClassifyCommand("DELE a.txt"), ctDeleteFile);
    EXPECT_EQ(TVaskFTP::ClassifyCommand("RMD velho"), ctRemoveDirectory);
    EXPECT_EQ(TVaskFTP::ClassifyCommand("PWD"), ctCurrentDirectory);
    EXPECT_EQ(TVaskFTP::ClassifyCommand("pwd"), ctOtherCommand);
    EXPECT_EQ(TVaskFTP::ClassifyCommand("PWD "), ctOtherCommand);
    EXPECT_EQ(TVaskFTP::ClassifyCommand("cwd x"), ctOtherCommand);
    EXPECT_EQ(TVaskFTP::ClassifyCommand("CWDX a"), ctOtherCommand);
    EXPECT_EQ(TVaskFTP::ClassifyCommand(" CWD a"), ctOtherCommand); // first field is empty
    EXPECT_EQ(TVaskFTP::ClassifyCommand("SYST"), ctOtherCommand);
}

// A reply of several lines in an error message: the code once, the lines' texts without their
// marks. A line of another code inside is text; an empty inner line adds nothing.
TEST(ReplyText, JoinsTheLinesWithoutTheirMarks)
{
    using Reply = std::vector<std::string>;
    const std::pair<Reply, std::string> rows[] = {
        {{"550 No such file\r\n"}, "550 No such file"},
        {{"421-Too many users.\r\n", " Only 10 may be.\r\n", "421 Try later.\r\n"},
         "421 Too many users. Only 10 may be. Try later."},
        {{"530-Login incorrect.\r\n", "\r\n", "230 is not this reply\r\n", "530 Bye\r\n"},
         "530 Login incorrect. 230 is not this reply Bye"},
        {{"421-\r\n", "421 Service closing\r\n"}, "421 Service closing"},
        {{"no code at all\r\n"}, "no code at all"},
        {{}, ""},
    };
    for (const auto& [reply, text] : rows) EXPECT_EQ(ReplyText(reply), text) << text;
}

// Without UTF8 in FEAT, the names of a listing decide: all valid UTF-8 outside ASCII is UTF-8,
// a single invalid sequence is windows-1252, plain ASCII says nothing.
TEST(ListingNames, ValidUtf8DecidesForUtf8AndOneInvalidSequenceAgainst)
{
    using ftpnames::Evidence;
    struct Row {
        const char* why;
        std::vector<std::string> lines;
        Evidence evidence;
    };
    const Row rows[] = {
        {"ASCII only", {"total 2", "-rw-r--r-- 1 ftp ftp 3 Jan 5 12:30 a.txt"}, Evidence::None},
        {"all valid", {"relat\xc3\xb3rio anual.pdf", "reuni\xc3\xa3o", "a.txt"}, Evidence::Utf8},
        {"four-byte and three-byte forms",
         {"\xf0\x9f\x93\x81 pasta", "\xe2\x82\xac 5"},
         Evidence::Utf8},
        {"mixed", {"reuni\xc3\xa3o", "caf\xe9.txt"}, Evidence::NotUtf8},
        {"invalid first, valid after", {"caf\xe9.txt", "reuni\xc3\xa3o"}, Evidence::NotUtf8},
        {"windows-1252 that looks like a lead byte", {"\xc3 \xa9t\xe9"}, Evidence::NotUtf8},
        {"a sequence cut short at the end", {"relat\xc3"}, Evidence::NotUtf8},
        {"an overlong form", {"\xc0\xaf"}, Evidence::NotUtf8},
        {"a surrogate", {"\xed\xa0\x80"}, Evidence::NotUtf8},
        {"past U+10FFFF", {"\xf4\x90\x80\x80"}, Evidence::NotUtf8},
    };
    for (const Row& row : rows) {
        Evidence evidence = Evidence::None;
        for (const std::string& line : row.lines) evidence = ftpnames::Add(evidence, line);
        EXPECT_EQ(evidence, row.evidence) << row.why;
    }
}

} // namespace
