#include "ftp/PartialDownload.h"

#include "ftp/FileTimes.h"
#include "platform/LocalFile.h"

#include <charconv>

namespace ftpfiles {

namespace {

// "213 1234": the size; nothing for anything else.
std::optional<int64_t> SizeOfReply(const std::string& reply)
{
    if (reply.compare(0, 4, "213 ") != 0) return std::nullopt;
    int64_t size = -1;
    const char* first = reply.data() + 4;
    const char* last = reply.data() + reply.size();
    const auto [end, error] = std::from_chars(first, last, size);
    if (error != std::errc() || end == first || size < 0) return std::nullopt;
    return size;
}

} // namespace

RemoteFileFacts AskRemoteFileFacts(TVaskFTP& ftp, const std::string& remote)
{
    RemoteFileFacts facts;
    // Some servers refuse SIZE in ASCII mode; the download that follows is binary anyway.
    ftp.Transaction("TYPE I");
    facts.size = SizeOfReply(ftp.Transaction("SIZE " + remote));
    if (ftp.HasFeature("MLST")) {
        if (const std::optional<TFTPListEntry> entry = ftp.DescribePath(remote))
            facts.modified = filetimes::TimeOfEntry(entry->modified);
    } else {
        facts.modified = filetimes::TimeOfMdtmReply(ftp.Transaction("MDTM " + remote));
    }
    return facts;
}

bool PartialStillFits(const PartialFileFacts& partial, const RemoteFileFacts& remote)
{
    if (!remote.size || partial.size <= 0 || partial.size > *remote.size) return false;
    // A file changed after the partial one was written may differ in the part already here.
    if (remote.modified && partial.modified && *remote.modified > *partial.modified) return false;
    return true;
}

std::optional<PartialFileFacts> PartialFileAt(const std::string& partPath)
{
    const int64_t size = platform::LocalFile::SizeOf(partPath);
    if (size <= 0) return std::nullopt;
    return PartialFileFacts{size, platform::LocalFile::ModifiedOf(partPath)};
}

} // namespace ftpfiles
