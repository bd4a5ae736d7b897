// The client's operations the session interface added to the first ones: an append, and the
// directory a change of directory goes to.
#include "sftp/SftpClientImpl.h"

namespace sftp {

bool SftpClient::Append(const std::string& localPath, const std::string& remotePath,
                        transfer::ProgressHandler progress, Done done)
{
    if (!impl_->Begin(std::move(done))) return false;
    return impl_->StartUpload(localPath, remotePath, 0, std::move(progress), true);
}

// REALPATH names the directory (a last step that does not exist included, on some servers), and
// STAT says whether there is one: changing to a file or to nothing is refused as FTP's CWD is.
bool SftpClient::ResolveDirectory(const std::string& path, PathDone done)
{
    Impl& d = *impl_;
    auto result = std::make_shared<std::string>();
    if (!d.Begin([done, result](const transfer::Outcome& outcome) { done(outcome, *result); }))
        return false;
    const std::string what = "Cannot change directory to " + path;
    d.Request(
        PacketType::Realpath, [&](uint32_t id) { return EncodeRealpath(id, path); },
        [&d, result, what](Reply& reply) {
            // The codec has made sure that a NAME answering REALPATH names exactly one path.
            if (reply.type != PacketType::Name) return d.FinishStatus(reply, what);
            *result = reply.names.front().name;
            d.Request(
                PacketType::Stat, [&](uint32_t id) { return EncodeStat(id, *result); },
                [&d, result, what](Reply& attributes) {
                    if (attributes.type != PacketType::Attrs)
                        return d.FinishStatus(attributes, what);
                    const std::optional<uint32_t> mode = attributes.attributes.permissions;
                    if (mode && (*mode & kTypeMask) != kTypeDirectory) {
                        transfer::Outcome outcome =
                            Failure(what + ": not a directory", ErrorReason::ServerRefused);
                        outcome.failure = transfer::FailureKind::RefusedForGood;
                        result->clear();
                        return d.Finish(outcome);
                    }
                    d.Finish(transfer::Outcome::Success());
                });
        });
    d.Flush();
    return true;
}

} // namespace sftp
