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

// A link's entry, given the attributes of what it leads to: a regular file there makes it that
// file, with the file's size and time (the link's own size is that of the path it holds);
// anything else leaves it a link.
void ResolveLink(transfer::RemoteEntry& entry, const Attributes& target);

} // namespace sftp
