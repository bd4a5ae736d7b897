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

} // namespace sftp
