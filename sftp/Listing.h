#pragma once
// The entries of a READDIR reply as the layers above list them: "." and ".." left out, and a
// name that is not one single name (empty, or with '/' or a NUL in it) refused, since the
// layers above would take it for a path.
#include "net/TransferSession.h"
#include "sftp/Replies.h"

#include <vector>

namespace sftp {

// Appends the entries of `names` to `entries`; throws ProtocolError (BadName).
void AppendEntries(const std::vector<NameEntry>& names,
                   std::vector<transfer::RemoteEntry>& entries);

} // namespace sftp
