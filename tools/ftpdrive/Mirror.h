#pragma once
// mirror: a whole tree down (REMOTE_DIR LOCAL_DIR) or up (-R LOCAL_DIR REMOTE_DIR) over a queue
// of sessions, with a progress line on a terminal and a summary at the end.
#include "tools/ftpdrive/Options.h"

namespace ftpdrive {

// The exit status: 0 when every file arrived whole.
int RunMirror(const Options& options, const Command& command);

} // namespace ftpdrive
