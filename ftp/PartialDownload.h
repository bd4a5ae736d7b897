#pragma once
// Whether the partial file an earlier download left (NAME.part) may be continued instead of
// thrown away. Its bytes are the first bytes of the server's file as it was then; they still are
// when the file has not changed since, which the server's size and time tell: the file is at
// least as long as the partial one, and it was last modified no later than the partial file was
// last written. A server that does not tell the size gives no way to know, and the download
// starts over.
#include "ftp/VaskFtp.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ftpfiles {

struct RemoteFileFacts {
    std::optional<int64_t> size;
    std::optional<int64_t> modified; // seconds since 1970, UTC
};

// The size (SIZE, in binary mode) and modification time (MLST where offered, else MDTM) of
// `remote`; whatever the server refuses stays unknown.
RemoteFileFacts AskRemoteFileFacts(TVaskFTP& ftp, const std::string& remote);

struct PartialFileFacts {
    int64_t size = 0;
    std::optional<int64_t> modified;
};

// The partial file holds a beginning of the server's file as it is now.
bool PartialStillFits(const PartialFileFacts& partial, const RemoteFileFacts& remote);

// The partial file of `partPath`, if there is one with bytes in it.
std::optional<PartialFileFacts> PartialFileAt(const std::string& partPath);

} // namespace ftpfiles
