#include "tools/ftpdrive/LocalFiles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace ftpdrive {

namespace {

[[noreturn]] void CannotSend(const std::string& path, int error)
{
    throw LocalFileProblem(FileOpenError(path, error), std::strerror(error));
}

[[noreturn]] void CannotReceive(const std::string& path, int error)
{
    throw LocalFileProblem(FileCreateError(path, error), std::strerror(error));
}

// The directory a new file would be created in.
std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The same file however the run spells it ("a", "./a", "d/../a").
std::string Normalized(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::absolute(path, ignored).lexically_normal().string();
}

} // namespace

std::string LocalPathOf(const Command& command)
{
    const auto& a = command.args;
    if (command.name == "put" || command.name == "append") return a[0];
    if (command.name == "get" || command.name == "resume") return a[1].empty() ? a[0] : a[1];
    return {};
}

bool ReadsLocalFile(const Command& command)
{
    return command.name == "put" || command.name == "append";
}

bool WritesLocalFile(const Command& command)
{
    return command.name == "get" || command.name == "resume";
}

void CheckFileToSend(const std::string& path)
{
    // Without waiting for a pipe's writer: a FIFO is refused below, not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) CannotSend(path, errno);
    struct stat info {};
    const int statError = ::fstat(fd, &info) == 0 ? 0 : errno;
    ::close(fd);
    if (statError != 0) CannotSend(path, statError);
    // A directory opens for reading here but has no bytes to send; a device or a pipe has no
    // end, or no size to announce.
    if (S_ISDIR(info.st_mode)) CannotSend(path, EISDIR);
    if (!S_ISREG(info.st_mode))
        throw LocalFileProblem(FileOpenError(path, 0), "not a regular file");
}

void CheckFileToReceive(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) CannotReceive(path, EISDIR);
        // Opened for writing without truncating, and without waiting for a pipe's reader.
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) CannotReceive(path, errno);
        ::close(fd);
        return;
    }
    if (errno != ENOENT) CannotReceive(path, errno);
    // A name that ends in a slash can only be a directory.
    if (!path.empty() && path.back() == '/') CannotReceive(path, EISDIR);
    if (path.empty()) CannotReceive(path, ENOENT);
    const std::string directory = DirectoryOf(path);
    if (::stat(directory.c_str(), &info) != 0) CannotReceive(path, errno);
    if (!S_ISDIR(info.st_mode)) CannotReceive(path, ENOTDIR);
    if (::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        CannotReceive(path, errno);
}

bool LocalFileExists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

void CheckLocalFiles(const std::vector<Command>& commands)
{
    std::set<std::string> downloaded;
    for (const Command& command : commands) {
        const std::string path = LocalPathOf(command);
        if (ReadsLocalFile(command) && !downloaded.count(Normalized(path))) CheckFileToSend(path);
        if (WritesLocalFile(command)) {
            CheckFileToReceive(path);
            downloaded.insert(Normalized(path));
        }
    }
}

} // namespace ftpdrive
