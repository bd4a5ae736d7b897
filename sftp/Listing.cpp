#include "sftp/Listing.h"

namespace sftp {

void AppendEntries(const std::vector<NameEntry>& names, std::vector<transfer::RemoteEntry>& entries)
{
    for (const auto& name : names) {
        if (name.name == "." || name.name == "..") continue;
        if (name.name.empty() || name.name.find('/') != std::string::npos ||
            name.name.find('\0') != std::string::npos)
            throw ProtocolError(Fault::BadName, "a directory entry named \"" + name.name + "\"");
        entries.push_back(ToEntry(name.name, name.attributes));
    }
}

void ResolveLink(transfer::RemoteEntry& entry, const Attributes& target)
{
    if (entry.kind != transfer::RemoteEntry::Kind::Link || !target.permissions ||
        (*target.permissions & kTypeMask) != kTypeFile)
        return;
    entry.kind = transfer::RemoteEntry::Kind::File;
    entry.size = target.size;
    entry.modifiedUtc.reset();
    if (target.mtime) entry.modifiedUtc = static_cast<int64_t>(*target.mtime);
}

} // namespace sftp
