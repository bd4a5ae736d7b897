#pragma once
// A local file opened as a byte stream. Closed when the object goes away.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>

namespace platform {

class LocalDirectory;

// Which file a name stood for when it was opened: its device and inode.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

class LocalFile {
public:
    // The opens by path follow links (the user named the file) but never wait for a pipe's other
    // end: a FIFO with nobody at the other end fails at once rather than hanging the run.
    //
    // Read-only; FileOpenError ("Cannot open file %s") when it cannot be opened.
    static LocalFile OpenForReading(const std::string& path);
    // Write-only, positioned at the end of an existing file; FileOpenError otherwise.
    static LocalFile OpenForAppending(const std::string& path);
    // Created, or emptied when it exists; FileCreateError ("Cannot create file %s") otherwise.
    static LocalFile Create(const std::string& path);
    // The opens inside a directory handle never follow a link in place of `name` and take only
    // a regular file: anything else fails with FileError naming why, left as it is.
    //
    // Read-only.
    static LocalFile OpenIn(const LocalDirectory& directory, const std::string& name);
    // Write-only: emptied first unless `append` (then positioned at the end), made when missing
    // unless `mustExist`.
    static LocalFile WriteIn(const LocalDirectory& directory, const std::string& name, bool append,
                             bool mustExist = false);
    // Takes over a descriptor opened elsewhere.
    static LocalFile Adopt(int descriptor, std::string path)
    {
        return {descriptor, std::move(path)};
    }
    // Size of a file, or -1 when it cannot be opened.
    static int64_t SizeOf(const std::string& path);
    // Cuts an existing file back to `size` bytes; FileWriteError when that fails.
    static void CutTo(const std::string& path, int64_t size);
    // The modification time of a file in seconds since 1970 (UTC); nothing when it cannot be
    // read.
    static std::optional<int64_t> ModifiedOf(const std::string& path);
    // Sets the modification time of a file, leaving its access time alone; of a link itself, not
    // of what it leads to. False when the system refuses (errno tells why).
    static bool SetModified(const std::string& path, int64_t seconds);

    LocalFile(LocalFile&& other) noexcept;
    LocalFile& operator=(LocalFile&&) = delete;
    LocalFile(const LocalFile&) = delete;
    ~LocalFile();

    // Up to `length` bytes; 0 at the end. FileError on a read failure.
    size_t Read(void* buffer, size_t length);
    // All `length` bytes, or FileWriteError.
    void Write(const void* data, size_t length);
    int64_t Size() const;
    FileIdentity Identity() const;
    // The modification time of the open file, in seconds since 1970 (UTC).
    std::optional<int64_t> Modified() const;
    int64_t Position() const;
    int Descriptor() const { return fd_; }
    const std::string& Path() const { return path_; }

private:
    friend class LocalDirectory;
    LocalFile(int descriptor, std::string path) : fd_(descriptor), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

// A directory held open: names are looked up in it and nowhere else, so that a link put in place
// of a directory on the way cannot lead a write elsewhere. Closed when the object goes away.
class LocalDirectory {
public:
    // The directory at `path` as the user named it (links on the way followed), the current one
    // for an empty path; FileOpenError otherwise.
    static LocalDirectory Open(const std::string& path);
    // The directory `name` inside this one, never through a link; made first when `make` and
    // it is missing. FileError naming why ("a symbolic link", "not a directory") otherwise.
    LocalDirectory Child(const std::string& name, bool make) const;
    // The steps of `below` ("a/b") one by one from here, each as Child.
    LocalDirectory Below(const std::string& below, bool make) const;

    LocalDirectory(LocalDirectory&& other) noexcept;
    LocalDirectory& operator=(LocalDirectory&&) = delete;
    LocalDirectory(const LocalDirectory&) = delete;
    ~LocalDirectory();

    // What stands under `name`, the link itself for a link; false when nothing does.
    bool Look(const std::string& name, struct stat& info) const;
    // renameat within this directory; false with errno set when it fails.
    bool Rename(const std::string& from, const std::string& to) const;
    bool Remove(const std::string& name) const;
    int Descriptor() const { return fd_; }
    const std::string& Path() const { return path_; }
    // `path_ + "/" + name`, for messages.
    std::string PathOf(const std::string& name) const;

private:
    LocalDirectory(int descriptor, std::string path) : fd_(descriptor), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

// Why `info` (of an lstat) is no regular file to write or read, in a few words; empty for one.
std::string NotARegularFile(const struct stat& info);

} // namespace platform
