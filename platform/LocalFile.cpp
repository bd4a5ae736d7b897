#include "platform/LocalFile.h"

#include "platform/Exception.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {

namespace {

// open() that never waits for a FIFO's other end: O_NONBLOCK for the open, cleared once it is
// done so that reads and writes block as for any file. -1 with errno set on failure.
int OpenWithoutWaiting(int directory, const char* name, int flags, mode_t mode = 0)
{
    const int fd = ::openat(directory, name, flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The message of a refusal that is no system failure: "Cannot create file PATH: WHY".
template <class Error>
[[noreturn]] void Refuse(const std::string& path, const std::string& why, int error)
{
    const Error prefix(path, error);
    throw FileError(prefix.Message() + ": " + why, prefix.Reason(), error);
}

} // namespace

std::string NotARegularFile(const struct stat& info)
{
    if (S_ISREG(info.st_mode)) return {};
    if (S_ISLNK(info.st_mode)) return "a symbolic link stands there, left alone";
    if (S_ISDIR(info.st_mode)) return "a directory stands there, left alone";
    if (S_ISFIFO(info.st_mode)) return "a FIFO stands there, left alone";
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return "a device stands there, left alone";
    return "no regular file stands there, left alone";
}

LocalFile LocalFile::OpenForReading(const std::string& path)
{
    int fd = OpenWithoutWaiting(AT_FDCWD, path.c_str(), O_RDONLY);
    if (fd < 0) throw FileOpenError(path);
    return LocalFile(fd, path);
}

LocalFile LocalFile::OpenForAppending(const std::string& path)
{
    int fd = OpenWithoutWaiting(AT_FDCWD, path.c_str(), O_WRONLY);
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
    int fd = OpenWithoutWaiting(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) throw FileCreateError(path);
    return LocalFile(fd, path);
}

LocalFile LocalFile::OpenIn(const LocalDirectory& directory, const std::string& name)
{
    const std::string path = directory.PathOf(name);
    const int fd = OpenWithoutWaiting(directory.Descriptor(), name.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) {
        struct stat info {};
        const int error = errno;
        if (directory.Look(name, info) && !S_ISREG(info.st_mode))
            Refuse<FileOpenError>(path, NotARegularFile(info), error);
        throw FileOpenError(path, error);
    }
    LocalFile file(fd, path);
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw FileOpenError(path);
    if (!S_ISREG(info.st_mode)) Refuse<FileOpenError>(path, NotARegularFile(info), EINVAL);
    return file;
}

LocalFile LocalFile::WriteIn(const LocalDirectory& directory, const std::string& name, bool append,
                             bool mustExist)
{
    const std::string path = directory.PathOf(name);
    // Emptied only once it is known to be a regular file: O_TRUNC would cut a file before the
    // look at what it is.
    const int flags = O_WRONLY | O_NOFOLLOW | (mustExist ? 0 : O_CREAT);
    const int fd = OpenWithoutWaiting(directory.Descriptor(), name.c_str(), flags, 0666);
    if (fd < 0) {
        struct stat info {};
        const int error = errno;
        if (directory.Look(name, info) && !S_ISREG(info.st_mode))
            Refuse<FileCreateError>(path, NotARegularFile(info), error);
        throw FileCreateError(path, error);
    }
    LocalFile file(fd, path);
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw FileCreateError(path);
    if (!S_ISREG(info.st_mode)) Refuse<FileCreateError>(path, NotARegularFile(info), EINVAL);
    if (!append && ::ftruncate(fd, 0) != 0) throw FileCreateError(path);
    if (append && ::lseek(fd, 0, SEEK_END) < 0) throw FileOpenError(path);
    return file;
}

int64_t LocalFile::SizeOf(const std::string& path)
{
    int fd = OpenWithoutWaiting(AT_FDCWD, path.c_str(), O_RDONLY);
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

FileIdentity LocalFile::Identity() const
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return {};
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::optional<int64_t> LocalFile::Modified() const
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return std::nullopt;
    return static_cast<int64_t>(st.st_mtim.tv_sec);
}

std::optional<int64_t> LocalFile::ModifiedOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<int64_t>(info.st_mtim.tv_sec);
}

bool LocalFile::SetModified(const std::string& path, int64_t seconds)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

LocalDirectory LocalDirectory::Open(const std::string& path)
{
    const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw FileOpenError(path);
    return LocalDirectory(fd, path);
}

LocalDirectory LocalDirectory::Child(const std::string& name, bool make) const
{
    const std::string path = PathOf(name);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        Refuse<FileOpenError>(path, "not a single name", EINVAL);
    if (make && ::mkdirat(fd_, name.c_str(), 0777) != 0 && errno != EEXIST)
        throw FileCreateError(path);
    const int fd =
        ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        if (Look(name, info) && !S_ISDIR(info.st_mode)) {
            const std::string why = S_ISLNK(info.st_mode)
                                        ? "a symbolic link stands there, left alone"
                                        : "no directory stands there, left alone";
            Refuse<FileOpenError>(path, why, error);
        }
        throw FileOpenError(path, error);
    }
    return LocalDirectory(fd, path);
}

LocalDirectory LocalDirectory::Below(const std::string& below, bool make) const
{
    LocalDirectory here(::fcntl(fd_, F_DUPFD_CLOEXEC, 0), path_);
    if (here.fd_ < 0) throw FileOpenError(path_);
    size_t start = 0;
    while (start < below.size()) {
        size_t end = below.find('/', start);
        if (end == std::string::npos) end = below.size();
        if (end > start) {
            LocalDirectory next = here.Child(below.substr(start, end - start), make);
            std::swap(here.fd_, next.fd_);
            std::swap(here.path_, next.path_);
        }
        start = end + 1;
    }
    return here;
}

LocalDirectory::LocalDirectory(LocalDirectory&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_))
{
    other.fd_ = -1;
}

LocalDirectory::~LocalDirectory()
{
    if (fd_ >= 0) ::close(fd_);
}

bool LocalDirectory::Look(const std::string& name, struct stat& info) const
{
    return ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool LocalDirectory::Rename(const std::string& from, const std::string& to) const
{
    return ::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0;
}

bool LocalDirectory::Remove(const std::string& name) const
{
    return ::unlinkat(fd_, name.c_str(), 0) == 0;
}

std::string LocalDirectory::PathOf(const std::string& name) const
{
    if (path_.empty()) return name;
    return path_.back() == '/' ? path_ + name : path_ + "/" + name;
}

} // namespace platform
