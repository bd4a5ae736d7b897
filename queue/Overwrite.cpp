#include "queue/Overwrite.h"

namespace transfer {

namespace {

// Listings give whole seconds at best, and some file systems keep two-second times.
constexpr int64_t kTimeSlackSeconds = 2;

} // namespace

TargetAction DecideTarget(OverwritePolicy policy, const FileFacts& source,
                          const std::optional<FileFacts>& target)
{
    if (!target) return TargetAction::Transfer;
    switch (policy) {
    case OverwritePolicy::Overwrite: return TargetAction::Transfer;
    case OverwritePolicy::Skip: return TargetAction::Skip;
    case OverwritePolicy::Resume:
        // Only a target shorter than a source of known size can be the start of it.
        if (!source.size || !target->size) return TargetAction::Transfer;
        if (*target->size == *source.size) return TargetAction::Skip;
        return *target->size < *source.size ? TargetAction::Resume : TargetAction::Transfer;
    case OverwritePolicy::IfDifferent:
        // What cannot be compared counts as different: a copy too many costs less than a
        // stale one.
        if (!source.size || !target->size || *source.size != *target->size)
            return TargetAction::Transfer;
        if (!source.modifiedUtc || !target->modifiedUtc) return TargetAction::Transfer;
        return *target->modifiedUtc + kTimeSlackSeconds < *source.modifiedUtc
                   ? TargetAction::Transfer
                   : TargetAction::Skip;
    }
    return TargetAction::Transfer;
}

} // namespace transfer
