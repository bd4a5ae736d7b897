#pragma once
// What a tree transfer does with a file that already exists at the target, chosen once for the
// whole run.
#include <cstdint>
#include <optional>

namespace transfer {

enum class OverwritePolicy : uint8_t {
    Overwrite,   // send the whole file again
    Resume,      // go on from the bytes the target has; the same size counts as done
    Skip,        // leave the target as it is
    IfDifferent, // send it when the sizes differ or the target is older than the source
};

// Size and time of a file on either side; the time in seconds since 1970, UTC.
struct FileFacts {
    std::optional<uint64_t> size;
    std::optional<int64_t> modifiedUtc;
};

enum class TargetAction : uint8_t { Transfer, Resume, Skip };

// For a source file and what stands at its target (nullopt: nothing does).
TargetAction DecideTarget(OverwritePolicy policy, const FileFacts& source,
                          const std::optional<FileFacts>& target);

} // namespace transfer
