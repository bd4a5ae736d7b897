// Text routines of the control channel: fields, announced sizes, and how a command line is
// classified for the success and failure events.
#include "ftp/VaskFtp.h"
#include "net/TextFields.h"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
