// The check of a listed name on arbitrary bytes: a name it lets through is one step below the
// folder it is joined to, as a local path and as a remote one, and could be sent in a command
// line whole; a name it refuses comes with a reason.
#include "queue/SafeName.h"
#include "queue/Tree.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string name(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> why = transfer::UnsafeNameReason(name);
    if (why) {
        if (why->empty()) std::abort();
        return 0;
    }
    if (name.empty() || name == "." || name == "..") std::abort();
    if (name.find_first_of(std::string("/\r\n\0", 4)) != std::string::npos) std::abort();
    const std::filesystem::path root("/fuzz/root");
    const std::filesystem::path joined = (root / name).lexically_normal();
    if (joined.parent_path() != root || joined.filename() != name) std::abort();
    if (transfer::JoinRemote("/srv", name) != "/srv/" + name) std::abort();
    return 0;
}
