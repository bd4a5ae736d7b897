#pragma once
// Text a server chose, made safe to print. A name or a reply may carry terminal escape sequences
// (a title change, a cleared screen, a line rewritten in place); printed raw they would act on
// the user's terminal instead of being read. Every control character becomes a visible escape:
// C0 (tab, carriage return and line feed as "\t", "\r", "\n", the others as "\x1b"), DEL as
// "\x7f", and C1 as "\u009b" when it comes as a UTF-8 code point. A lone byte 0x80..0x9F that is
// not part of a UTF-8 sequence is a C1 control to an 8-bit terminal: it becomes "\x9b". Anything
// else, printable or not valid UTF-8, passes unchanged.
#include <string>
#include <string_view>

namespace platform {

enum class LineBreaks {
    Escape, // the text is to stay one line
    Keep,   // "\n" and "\r\n" stay: a text of several lines shown as such
};

std::string PrintableText(std::string_view text, LineBreaks lineBreaks = LineBreaks::Escape);

// Whether a code point is one of those the function above escapes.
constexpr bool IsControlCharacter(char32_t c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
}

} // namespace platform
