#include "platform/LocalFile.h"

#include "platform/Exception.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {

LocalFile LocalFile::OpenForReading(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileOpenError(path);
    return LocalFile(fd, path);
}

LocalFile LocalFile::OpenForAppending(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw FileOpenError(path);
    if (::lseek(fd, 0, SEEK_END) < 0) {
        const int error = errno;
        ::close(fd);
        throw FileOpenError(path, error);
    }
    return LocalFile(fd, path);
}

LocalFile LocalFile::Create(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw FileCreateError(path);
    return LocalFile(fd, path);
}

int64_t LocalFile::SizeOf(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    int64_t size = ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    ::close(fd);
    return size;
}

void LocalFile::CutTo(const std::string& path, int64_t size)
{
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) throw FileWriteError(path);
}

LocalFile::LocalFile(LocalFile&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_))
{
    other.fd_ = -1;
}

LocalFile::~LocalFile()
{
    if (fd_ >= 0) ::close(fd_);
}

size_t LocalFile::Read(void* buffer, size_t length)
{
    for (;;) {
        ssize_t n = ::read(fd_, buffer, length);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) throw FileReadError(path_);
    }
}

void LocalFile::Write(const void* data, size_t length)
{
    auto* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::write(fd_, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileWriteError(path_);
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
}

int64_t LocalFile::Size() const
{
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t LocalFile::Position() const { return ::lseek(fd_, 0, SEEK_CUR); }

std::optional<int64_t> LocalFile::ModifiedOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<int64_t>(info.st_mtim.tv_sec);
}

bool LocalFile::SetModified(const std::string& path, int64_t seconds)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

} // namespace platform
