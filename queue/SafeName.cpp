#include "queue/SafeName.h"

namespace transfer {

std::optional<std::string> UnsafeNameReason(std::string_view name)
{
    if (name.empty()) return "an empty name";
    if (name == ".") return "the name \".\"";
    if (name == "..") return "the name \"..\"";
    if (name.find('\0') != std::string_view::npos) return "a NUL byte in the name";
    if (name.find('/') != std::string_view::npos) return "a '/' in the name";
    // A command line ends at a line end: such a name could not be asked for whole, and what
    // followed would reach the server as a command of its own.
    for (const char c : name)
        if (c == '\r' || c == '\n') return "a line end in the name";
    return std::nullopt;
}

} // namespace transfer
