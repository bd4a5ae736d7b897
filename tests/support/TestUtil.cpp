#include "support/TestUtil.h"

#include "support/Loopback.h"

#include <QCryptographicHash>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace testsupport {
namespace {

[[noreturn]] void Throw(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

TempDir::TempDir(const std::string& prefix)
{
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) Throw("mkdtemp " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

uint16_t FreeLoopbackPort(IpFamily family)
{
    // Bound, listening and closed again when `probe` goes: nobody listens there afterwards.
    LoopbackListener probe(8, false, family);
    if (!probe.Valid()) Throw(std::string("listen on ") + LoopbackText(family) + " port 0");
    return probe.Port();
}

std::string ReadFileBytes(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Throw("open " + path);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            bytes.append(buffer, size_t(n));
        else if (n == 0)
            break;
        else if (errno != EINTR) {
            int saved = errno;
            ::close(fd);
            errno = saved;
            Throw("read " + path);
        }
    }
    ::close(fd);
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Throw("create " + path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            ::close(fd);
            errno = saved;
            Throw("write " + path);
        }
        done += size_t(n);
    }
    if (::close(fd) != 0) Throw("close " + path);
}

void CreateSparseFile(const std::string& path, uint64_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Throw("create " + path);
    int result = ::ftruncate(fd, static_cast<off_t>(size));
    int saved = errno;
    ::close(fd);
    errno = saved;
    if (result != 0) Throw("ftruncate " + path);
}

std::string Sha256OfFile(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("open " + path + ": " + file.errorString().toStdString());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        throw std::runtime_error("read " + path + ": " + file.errorString().toStdString());
    return hash.result().toHex().toStdString();
}

std::string Sha256OfBytes(const std::string& bytes)
{
    QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(bytes.data(), qsizetype(bytes.size())), QCryptographicHash::Sha256);
    return digest.toHex().toStdString();
}

std::string AllByteValuesWithCrLf()
{
    std::string bytes;
    for (int round = 0; round < 4; ++round) {
        for (int value = 0; value < 256; ++value)
            bytes += static_cast<char>(round % 2 == 0 ? value : 255 - value);
        bytes += "line\r\nlone CR\rlone LF\nCR CR LF\r\r\nLF CR\n\r";
    }
    bytes += "\r\n\r\n\n\n\r\r";
    bytes += std::string(1, '\0') + "after NUL\r";
    return bytes;
}

bool InCi()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

} // namespace testsupport
