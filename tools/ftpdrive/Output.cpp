#include "tools/ftpdrive/Output.h"

#include "platform/Exception.h"
#include "platform/PrintableText.h"

#include <cstdio>
#include <unistd.h>

namespace ftpdrive {

std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

namespace {
constexpr size_t kOutputBuffer = 1 << 16;
}

void BufferOutput()
{
    // The C library takes the size only with a buffer of the caller's; given none, it uses the
    // file's block size (4 KiB).
    static char buffer[kOutputBuffer];
    if (!::isatty(::fileno(stdout))) std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void Out(std::string_view line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

void Out(std::string_view prefix, std::string_view text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::fwrite(prefix.data(), 1, prefix.size(), stdout);
    Out(platform::PrintableText(text));
}

void Err(const std::string& line)
{
    std::fflush(stdout);
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

std::string ErrorLine(const std::exception& error, const std::string& detail,
                      const std::string& message)
{
    const auto* own = dynamic_cast<const Exception*>(&error);
    const std::string className = own ? own->ClassName() : "Exception";
    std::string line = "error: " + className + ": " +
                       WithoutLineEnd(message.empty() ? std::string(error.what()) : message);
    if (!detail.empty()) line += " (" + detail + ")";
    // A refusal of several lines keeps its lines; nothing else of the server's reaches the
    // terminal as a control character.
    return platform::PrintableText(line, platform::LineBreaks::Keep);
}

void PrintError(const std::exception& error, const std::string& detail, const std::string& message)
{
    Err(ErrorLine(error, detail, message));
}

} // namespace ftpdrive
