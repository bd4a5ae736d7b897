#pragma once
// File attributes as SFTP version 3 carries them (ATTRS): each field present only when its flag
// says so. Entry() turns a directory entry's attributes into what the layers above list.
#include "net/TransferSession.h"
#include "sftp/Wire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sftp {

enum AttributeFlags : uint32_t {
    kAttrSize = 0x01,
    kAttrUidGid = 0x02,
    kAttrPermissions = 0x04,
    kAttrTimes = 0x08, // atime and mtime, always together
    kAttrExtended = 0x80000000u,
};

// The file-type bits of `permissions` (POSIX st_mode).
inline constexpr uint32_t kTypeMask = 0170000;
inline constexpr uint32_t kTypeDirectory = 0040000;
inline constexpr uint32_t kTypeFile = 0100000;
inline constexpr uint32_t kTypeLink = 0120000;

struct Attributes {
    std::optional<uint64_t> size;
    std::optional<uint32_t> uid;
    std::optional<uint32_t> gid;
    std::optional<uint32_t> permissions;
    std::optional<uint32_t> atime; // seconds since 1970, UTC
    std::optional<uint32_t> mtime;
    std::vector<std::pair<std::string, std::string>> extended;

    bool operator==(const Attributes&) const = default;
};

void WriteAttributes(Writer& writer, const Attributes& attributes);
Attributes ReadAttributes(Reader& reader);

// A directory entry: the kind from the permissions' type bits (Other when the server gave none),
// the size and the modification time when the server gave them.
transfer::RemoteEntry ToEntry(const std::string& name, const Attributes& attributes);

} // namespace sftp
