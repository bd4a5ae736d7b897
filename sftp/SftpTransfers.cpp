// Downloads and uploads: kRequestsInFlight reads (or writes) of kBlockSize each are kept in
// flight, so that the link stays full whatever its round trip. Each transfer is an object that
// its requests' handlers keep alive; once the operation ends, the handlers are dropped and it
// goes with them.
#include "sftp/SftpClientImpl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sftp {

namespace {

std::string SystemText(int error) { return std::strerror(error); }

std::string ReplyText(const Reply& reply)
{
    return reply.message.empty() ? StatusText(reply.status) : reply.message;
}

transfer::Outcome Refused(const std::string& what, const Reply& reply)
{
    auto outcome = Failure(what + ": " + ReplyText(reply), ErrorReason::ServerRefused);
    outcome.replyCode = static_cast<int>(reply.status);
    return outcome;
}

// What a download and an upload share: the file, the remote handle, the requests in flight and
// the one way a transfer ends early.
class FileTransfer {
protected:
    FileTransfer(SftpClient::Impl& client, std::string remotePath,
                 transfer::ProgressHandler progress)
        : client_(client), remotePath_(std::move(remotePath)), progress_(std::move(progress))
    {
    }

    void Fail(const transfer::Outcome& outcome)
    {
        if (failed_) return; // already closing
        failed_ = true;
        client_.CloseHandleThenFinish(handle_, outcome);
    }

    SftpClient::Impl& client_;
    std::string remotePath_;
    LocalFd file_;
    std::string handle_;
    size_t inFlight_ = 0;
    bool failed_ = false;
    transfer::ProgressHandler progress_;
};

class FileDownload : public FileTransfer, public std::enable_shared_from_this<FileDownload> {
public:
    FileDownload(SftpClient::Impl& client, std::string remotePath, uint64_t offset,
                 transfer::ProgressHandler progress)
        : FileTransfer(client, std::move(remotePath), std::move(progress)), start_(offset),
          next_(offset)
    {
    }

    void Start(const std::string& localPath)
    {
        file_.fd = ::open(localPath.c_str(),
                          O_WRONLY | O_CREAT | O_CLOEXEC | (start_ == 0 ? O_TRUNC : 0), 0644);
        if (file_.fd < 0) {
            client_.Finish(Failure("Cannot create file " + localPath + ": " + SystemText(errno),
                                   ErrorReason::FileCreate));
            return;
        }
        client_.Request(
            PacketType::Open, [&](uint32_t id) { return EncodeOpen(id, remotePath_, kOpenRead); },
            [self = shared_from_this()](Reply& reply) { self->Opened(reply); });
    }

private:
    void Opened(Reply& reply)
    {
        if (reply.type != PacketType::Handle) {
            client_.Finish(Refused("Cannot open " + remotePath_, reply));
            return;
        }
        handle_ = reply.handle;
        client_.cancel = [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->Fail(Failure("Canceled", ErrorReason::Canceled));
        };
        // The size, for progress and to tell a file the server cut short; the reads go out
        // behind it at once.
        client_.Request(
            PacketType::Fstat, [&](uint32_t id) { return EncodeFstat(id, handle_); },
            [self = shared_from_this()](Reply& attrs) {
                if (attrs.type == PacketType::Attrs) self->size_ = attrs.attributes.size;
            });
        Fill();
    }

    void Fill()
    {
        while (inFlight_ < SftpClient::kRequestsInFlight && next_ < end_) {
            ReadAt(next_, SftpClient::kBlockSize);
            next_ += SftpClient::kBlockSize;
        }
    }

    void ReadAt(uint64_t at, uint32_t length)
    {
        ++inFlight_;
        client_.Request(
            PacketType::Read, [&](uint32_t id) { return EncodeRead(id, handle_, at, length); },
            [self = shared_from_this(), at, length](Reply& reply) {
                self->Received(reply, at, length);
            },
            length);
    }

    void Received(const Reply& reply, uint64_t at, uint32_t length)
    {
        --inFlight_;
        if (failed_) return;
        if (reply.type == PacketType::Status) {
            if (reply.status != StatusCode::Eof) {
                Fail(Refused("Cannot read " + remotePath_, reply));
                return;
            }
            end_ = std::min(end_, at);
            Settle();
            return;
        }
        if (reply.data.empty()) {
            failed_ = true;
            client_.Broken("The server answered a READ with no bytes", ErrorReason::BadReply);
            return;
        }
        const ssize_t written =
            ::pwrite(file_.fd, reply.data.data(), reply.data.size(), static_cast<off_t>(at));
        if (written != static_cast<ssize_t>(reply.data.size())) {
            Fail(Failure("Cannot write file: " + SystemText(errno), ErrorReason::FileWrite));
            return;
        }
        moved_ += written;
        // A short answer: the rest of the block is asked for again.
        if (reply.data.size() < length)
            ReadAt(at + reply.data.size(), length - static_cast<uint32_t>(reply.data.size()));
        if (progress_)
            progress_(
                {moved_, size_ ? static_cast<int64_t>(*size_ - std::min(*size_, start_)) : -1});
        Fill();
        Settle();
    }

    // Once nothing is in flight after the end was met: whole when every byte up to the
    // server's end of file is in the file, and nothing past it.
    void Settle()
    {
        if (inFlight_ > 0 || failed_ || end_ == UINT64_MAX) return;
        failed_ = true; // nothing more happens to it
        transfer::Outcome outcome = transfer::Outcome::Success(moved_);
        // Cut back what an earlier, longer file left past the end; a device or a pipe
        // (/dev/null) has no length to cut.
        struct stat info {};
        const bool regular = ::fstat(file_.fd, &info) == 0 && S_ISREG(info.st_mode);
        if (regular && ::ftruncate(file_.fd, static_cast<off_t>(end_)) != 0) {
            outcome = Failure("Cannot write file: " + SystemText(errno), ErrorReason::FileWrite);
        } else if (size_ && end_ < *size_) {
            outcome = Failure("The server ended " + remotePath_ + " after " + std::to_string(end_) +
                                  " of its " + std::to_string(*size_) + " bytes",
                              ErrorReason::TransferIncomplete);
        }
        client_.CloseHandleThenFinish(handle_, outcome);
    }

    uint64_t start_;
    uint64_t next_;                // the first byte not asked for yet
    uint64_t end_ = UINT64_MAX;    // the server's end of file, once a READ met it
    std::optional<uint64_t> size_; // what FSTAT said
    int64_t moved_ = 0;
};

class FileUpload : public FileTransfer, public std::enable_shared_from_this<FileUpload> {
public:
    FileUpload(SftpClient::Impl& client, std::string remotePath, uint64_t offset,
               transfer::ProgressHandler progress, bool append)
        : FileTransfer(client, std::move(remotePath), std::move(progress)),
          next_(append ? 0 : offset), append_(append)
    {
    }

    void Start(const std::string& localPath)
    {
        file_.fd = ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (file_.fd < 0 || ::fstat(file_.fd, &info) != 0) {
            client_.Finish(Failure("Cannot open file " + localPath + ": " + SystemText(errno),
                                   ErrorReason::FileOpen));
            return;
        }
        size_ = static_cast<uint64_t>(info.st_size);
        const uint32_t flags =
            append_ ? kOpenWrite | kOpenCreate | kOpenAppend
                    : kOpenWrite | kOpenCreate | (next_ == 0 ? uint32_t{kOpenTruncate} : 0u);
        client_.Request(
            PacketType::Open, [&](uint32_t id) { return EncodeOpen(id, remotePath_, flags); },
            [self = shared_from_this()](Reply& reply) { self->Opened(reply); });
    }

private:
    void Opened(const Reply& reply)
    {
        if (reply.type != PacketType::Handle) {
            client_.Finish(Refused("Cannot create " + remotePath_, reply));
            return;
        }
        handle_ = reply.handle;
        client_.cancel = [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->Fail(Failure("Canceled", ErrorReason::Canceled));
        };
        if (append_) return AskRemoteEnd();
        Fill();
        Settle();
    }

    // An append writes from the remote file's end, asked for once it is open. A server that
    // honours the append flag puts the writes there whatever their offsets; one that does not
    // puts them where the offsets say: both come to the same file.
    void AskRemoteEnd()
    {
        client_.Request(
            PacketType::Fstat, [&](uint32_t id) { return EncodeFstat(id, handle_); },
            [self = shared_from_this()](Reply& reply) {
                if (self->failed_) return;
                if (reply.type != PacketType::Attrs || !reply.attributes.size) {
                    self->Fail(reply.type == PacketType::Attrs
                                   ? Failure("The server does not say how long " +
                                                 self->remotePath_ + " is",
                                             ErrorReason::BadReply)
                                   : Refused("Cannot append to " + self->remotePath_, reply));
                    return;
                }
                self->base_ = *reply.attributes.size;
                self->Fill();
                self->Settle();
            });
    }

    void Fill()
    {
        while (!failed_ && inFlight_ < SftpClient::kRequestsInFlight && next_ < size_) {
            block_.resize(
                static_cast<size_t>(std::min<uint64_t>(SftpClient::kBlockSize, size_ - next_)));
            const ssize_t got =
                ::pread(file_.fd, block_.data(), block_.size(), static_cast<off_t>(next_));
            if (got <= 0) {
                // The file shrank under us, or cannot be read: what went is not the file.
                Fail(Failure("Cannot read file: " +
                                 (got == 0 ? std::string("it ended early") : SystemText(errno)),
                             ErrorReason::FileRead));
                return;
            }
            const uint64_t at = next_;
            const auto length = static_cast<size_t>(got);
            next_ += length;
            ++inFlight_;
            client_.Request(
                PacketType::Write,
                [&](uint32_t id) {
                    return EncodeWrite(id, handle_, base_ + at,
                                       std::string_view(block_.data(), length));
                },
                [self = shared_from_this(), length](Reply& reply) {
                    self->Written(reply, length);
                });
        }
    }

    void Written(const Reply& reply, size_t length)
    {
        --inFlight_;
        if (failed_) return;
        if (reply.status != StatusCode::Ok) {
            Fail(Refused("Cannot write " + remotePath_, reply));
            return;
        }
        acknowledged_ += static_cast<int64_t>(length);
        if (progress_) progress_({acknowledged_, static_cast<int64_t>(size_)});
        Fill();
        Settle();
    }

    void Settle()
    {
        if (failed_ || inFlight_ > 0 || next_ < size_) return;
        failed_ = true; // nothing more happens to it
        client_.CloseHandleThenFinish(handle_, transfer::Outcome::Success(acknowledged_));
    }

    uint64_t next_;
    uint64_t size_ = 0;
    int64_t acknowledged_ = 0;
    std::string block_;
    bool append_;
    uint64_t base_ = 0; // where the local file's first byte goes: an append's remote end
};

} // namespace

bool SftpClient::Impl::StartDownload(const std::string& remotePath, const std::string& localPath,
                                     uint64_t offset, transfer::ProgressHandler progress)
{
    std::make_shared<FileDownload>(*this, remotePath, offset, std::move(progress))
        ->Start(localPath);
    Flush();
    return true;
}

bool SftpClient::Impl::StartUpload(const std::string& localPath, const std::string& remotePath,
                                   uint64_t offset, transfer::ProgressHandler progress, bool append)
{
    std::make_shared<FileUpload>(*this, remotePath, offset, std::move(progress), append)
        ->Start(localPath);
    Flush();
    return true;
}

} // namespace sftp
