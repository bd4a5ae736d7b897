#pragma once
// The local side of a tree download, made ready before any byte moves: its folders made one step
// at a time below the root, never through a link, and every file whose place is taken by a link,
// a FIFO, a device or a folder taken out of the plan, reported and left as it is. Nothing of the
// tree is written outside its root. (The session checks again as it opens each file: this is what
// lets the run say so up front, once per name.)
#include "queue/TreePlan.h"

#include <string>
#include <vector>

namespace transfer {

struct LocalTargetCheck {
    std::string rootFailure;          // the root itself could not be made or opened
    std::vector<std::string> refused; // "PATH: WHY", below the root
};

// Makes plan.localDirectories (the first is the root) and drops from `plan` the files that
// cannot be written safely, and those below a folder that could not be made.
LocalTargetCheck PrepareLocalTarget(TreePlan& plan, const std::string& localRoot);

} // namespace transfer
