#pragma once
// Small helpers shared by the tests: temporary directories, loopback ports, file contents and
// checksums, and a payload that breaks anything that treats binary data as text.
#include "support/Loopback.h"

#include <cstdint>
#include <string>

namespace testsupport {

// A fresh directory /tmp/<prefix>-XXXXXX, removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "tavolen-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// A loopback port that was free a moment ago and that nobody listens on: for programs that need
// the number up front (real servers), and as a port whose connections are refused. A socket of
// our own binds port 0 instead.
uint16_t FreeLoopbackPort(IpFamily family = IpFamily::V4);

// Whole-file access; both throw std::runtime_error when the file cannot be read or written.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// A file of the given size that occupies (almost) no disk: for multi-gigabyte transfers.
void CreateSparseFile(const std::string& path, uint64_t size);

// Lowercase hex SHA-256. The file is read in chunks, so any size works; throws when unreadable.
std::string Sha256OfFile(const std::string& path);
std::string Sha256OfBytes(const std::string& bytes);

// Every byte value 0..255 several times over, CR LF pairs, lone CRs and lone LFs (one at the very
// end too): any text-mode conversion or truncation at a NUL shows up as a changed payload.
std::string AllByteValuesWithCrLf();

// True when the environment variable CI is "true" (or "1"): then nothing may be skipped.
bool InCi();

} // namespace testsupport
