#include "tools/ftpdrive/Output.h"

#include "platform/Exception.h"

#include <cstdio>

namespace ftpdrive {

std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void Out(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void Err(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

std::string ErrorLine(const std::exception& error, const std::string& detail)
{
    const auto* own = dynamic_cast<const Exception*>(&error);
    const std::string className = own ? own->ClassName() : "Exception";
    std::string line = "error: " + className + ": " + WithoutLineEnd(error.what());
    if (!detail.empty()) line += " (" + detail + ")";
    return line;
}

void PrintError(const std::exception& error, const std::string& detail)
{
    Err(ErrorLine(error, detail));
}

} // namespace ftpdrive
