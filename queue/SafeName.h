#pragma once
// Whether a name taken from a server's listing may become one step of a local or remote path.
// A listing is the server's word, and a hostile or broken server can put anything in it: a name
// that holds a '/' or is "..", "." or empty would make a recursive download write somewhere
// else than below its target, and a NUL cuts a name short on its way to the system.
#include <optional>
#include <string>
#include <string_view>

namespace transfer {

// Why `name` cannot be used as one path step, in words; nullopt when it can.
std::optional<std::string> UnsafeNameReason(std::string_view name);

} // namespace transfer
