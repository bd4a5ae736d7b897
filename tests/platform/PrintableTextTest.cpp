#include "platform/PrintableText.h"

#include <gtest/gtest.h>

namespace {

struct PrintableCase {
    const char* what;
    std::string text;
    platform::LineBreaks lineBreaks;
    std::string shown;
};

const auto kEscape = platform::LineBreaks::Escape;
const auto kKeep = platform::LineBreaks::Keep;

} // namespace

TEST(PrintableText, ControlCharactersBecomeVisibleEscapes)
{
    const PrintableCase cases[] = {
        {"plain text", "readme.txt", kEscape, "readme.txt"},
        {"title change", "\x1b]0;pwned\x07", kEscape, "\\x1b]0;pwned\\x07"},
        {"screen clear", "a\x1b[2Jb", kEscape, "a\\x1b[2Jb"},
        {"tab, CR, LF by name", "a\tb\rc\nd", kEscape, "a\\tb\\rc\\nd"},
        {"NUL and DEL", std::string("x\0y\x7fz", 5), kEscape, "x\\x00y\\x7fz"},
        {"C1 CSI as a UTF-8 code point",
         "a\xc2\x9b"
         "31mb",
         kEscape, "a\\u009b31mb"},
        {"a lone C1 byte",
         "a\x9b"
         "31m",
         kEscape, "a\\x9b31m"},
        {"UTF-8 letters stay", "S\xc3\xa3o Jo\xc3\xa3o \xe2\x82\xac", kEscape,
         "S\xc3\xa3o Jo\xc3\xa3o \xe2\x82\xac"},
        {"U+00A0 is no control",
         "a\xc2\xa0"
         "b",
         kEscape,
         "a\xc2\xa0"
         "b"},
        {"windows-1252 letters stay", "caf\xe9", kEscape, "caf\xe9"},
        {"a cut-off sequence at the end", "a\xc2", kEscape, "a\xc2"},
        {"line breaks kept when asked", "530-one\r\n530 two\nthree", kKeep,
         "530-one\r\n530 two\nthree"},
        {"a lone CR is escaped even then", "a\rb\x1b", kKeep, "a\\rb\\x1b"},
    };
    for (const PrintableCase& c : cases)
        EXPECT_EQ(platform::PrintableText(c.text, c.lineBreaks), c.shown) << c.what;
}
