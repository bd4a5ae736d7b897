#pragma once
// A local file opened as a byte stream. Closed when the object goes away.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

class LocalFile {
public:
    // Read-only; FileOpenError ("Cannot open file %s") when it cannot be opened.
    static LocalFile OpenForReading(const std::string& path);
    // Write-only, positioned at the end of an existing file; FileOpenError otherwise.
    static LocalFile OpenForAppending(const std::string& path);
    // Created, or emptied when it exists; FileCreateError ("Cannot create file %s") otherwise.
    static LocalFile Create(const std::string& path);
    // Size of a file, or -1 when it cannot be opened.
    static int64_t SizeOf(const std::string& path);
    // Cuts an existing file back to `size` bytes; FileWriteError when that fails.
    static void CutTo(const std::string& path, int64_t size);
    // The modification time of a file in seconds since 1970 (UTC); nothing when it cannot be
    // read.
    static std::optional<int64_t> ModifiedOf(const std::string& path);
    // Sets the modification time of a file, leaving its access time alone. False when the system
    // refuses (errno tells why).
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
    int64_t Position() const;
    int Descriptor() const { return fd_; }
    const std::string& Path() const { return path_; }

private:
    LocalFile(int descriptor, std::string path) : fd_(descriptor), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

} // namespace platform
