#include "sftp/Attributes.h"

namespace sftp {

void WriteAttributes(Writer& writer, const Attributes& attributes)
{
    uint32_t flags = 0;
    if (attributes.size) flags |= kAttrSize;
    if (attributes.uid && attributes.gid) flags |= kAttrUidGid;
    if (attributes.permissions) flags |= kAttrPermissions;
    if (attributes.atime && attributes.mtime) flags |= kAttrTimes;
    if (!attributes.extended.empty()) flags |= kAttrExtended;
    writer.U32(flags);
    if (flags & kAttrSize) writer.U64(*attributes.size);
    if (flags & kAttrUidGid) {
        writer.U32(*attributes.uid);
        writer.U32(*attributes.gid);
    }
    if (flags & kAttrPermissions) writer.U32(*attributes.permissions);
    if (flags & kAttrTimes) {
        writer.U32(*attributes.atime);
        writer.U32(*attributes.mtime);
    }
    if (flags & kAttrExtended) {
        writer.U32(static_cast<uint32_t>(attributes.extended.size()));
        for (const auto& [type, data] : attributes.extended) {
            writer.String(type);
            writer.String(data);
        }
    }
}

Attributes ReadAttributes(Reader& reader)
{
    Attributes attributes;
    const uint32_t flags = reader.U32();
    if (flags & kAttrSize) attributes.size = reader.U64();
    if (flags & kAttrUidGid) {
        attributes.uid = reader.U32();
        attributes.gid = reader.U32();
    }
    if (flags & kAttrPermissions) attributes.permissions = reader.U32();
    if (flags & kAttrTimes) {
        attributes.atime = reader.U32();
        attributes.mtime = reader.U32();
    }
    if (flags & kAttrExtended) {
        // Each pair takes at least 8 bytes: a count past that is a lie, caught before a loop
        // that long runs.
        const uint32_t count = reader.U32();
        if (count > reader.Remaining() / 8)
            throw ProtocolError(Fault::Truncated, "more extended attributes than bytes");
        for (uint32_t i = 0; i < count; ++i) {
            std::string type = reader.String();
            attributes.extended.emplace_back(std::move(type), reader.String());
        }
    }
    return attributes;
}

transfer::RemoteEntry ToEntry(const std::string& name, const Attributes& attributes)
{
    transfer::RemoteEntry entry;
    entry.name = name;
    entry.kind = transfer::RemoteEntry::Kind::Other;
    if (attributes.permissions) {
        switch (*attributes.permissions & kTypeMask) {
        case kTypeDirectory: entry.kind = transfer::RemoteEntry::Kind::Directory; break;
        case kTypeFile: entry.kind = transfer::RemoteEntry::Kind::File; break;
        case kTypeLink: entry.kind = transfer::RemoteEntry::Kind::Link; break;
        default: break;
        }
    }
    entry.size = attributes.size;
    if (attributes.mtime) entry.modifiedUtc = static_cast<int64_t>(*attributes.mtime);
    return entry;
}

} // namespace sftp
