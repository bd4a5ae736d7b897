#include "ftp/DownloadTarget.h"

#include "platform/Exception.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ftpfiles {

namespace {

namespace fs = std::filesystem;

enum class Kind { Missing, Regular, Link, Other };

// "dir/name" gives "dir" and "name"; "name" gives "" and "name".
std::pair<std::string, std::string> FolderAndName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

Kind KindOf(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return Kind::Missing;
    if (S_ISREG(info.st_mode)) return Kind::Regular;
    if (S_ISLNK(info.st_mode)) return Kind::Link;
    return Kind::Other;
}

// The file a symbolic link leads to, when it leads to a regular file; empty otherwise (a link
// that leads nowhere is written through, which creates the file it names).
std::string RegularFileBehind(const std::string& link)
{
    char resolved[PATH_MAX];
    if (::realpath(link.c_str(), resolved) == nullptr) return {};
    return KindOf(resolved) == Kind::Regular ? std::string(resolved) : std::string();
}

// Drawn once per process: the hidden names of one run are stable, those of the next differ.
uint64_t ProcessSecret()
{
    static const uint64_t secret = [] {
        std::random_device random;
        return (static_cast<uint64_t>(random()) << 32) ^ random();
    }();
    return secret;
}

// FNV-1a over the secret and then the name: a server that does not know the secret cannot
// choose a name whose key it knows.
uint64_t KeyOf(const std::string& name)
{
    uint64_t hash = 14695981039346656037ull;
    const auto add = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    const uint64_t secret = ProcessSecret();
    for (int shift = 0; shift < 64; shift += 8) add(static_cast<unsigned char>(secret >> shift));
    for (const char c : name) add(static_cast<unsigned char>(c));
    return hash;
}

// Room for a name in a directory, less the dot, the key and the longest suffix.
constexpr size_t kNameMax = 255;
constexpr size_t kKeptOfName = kNameMax - 1 - 17 - 11;

} // namespace

std::string HiddenPathOf(const std::string& target, const std::string& suffix)
{
    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    char key[20];
    std::snprintf(key, sizeof key, ".%016llx", static_cast<unsigned long long>(KeyOf(name)));
    return directory + "." + name.substr(0, kKeptOfName) + key + suffix;
}

std::string PartialPathOf(const std::string& target) { return target + ".part"; }

std::string UnverifiedPathOf(const std::string& written)
{
    const std::string partial = PartialPathOf("");
    std::string name = written;
    if (name.size() > partial.size() &&
        name.compare(name.size() - partial.size(), partial.size(), partial) == 0)
        name.resize(name.size() - partial.size());
    return name + ".unverified";
}

std::string SetAsideUnverified(const std::string& written)
{
    struct stat info {};
    if (::lstat(written.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    const std::string kept = UnverifiedPathOf(written);
    if (std::rename(written.c_str(), kept.c_str()) == 0)
        return "; the file received is kept as " + kept;
    std::remove(written.c_str());
    return {};
}

DownloadTarget::DownloadTarget(const std::string& target, bool inPlace, Staging staging,
                               const std::string& root)
    : finalPath_(target), writePath_(target), staging_(staging)
{
    if (inPlace || target.empty()) return;
    if (staging == Staging::Hidden) {
        // Outside a tree, a device or a FIFO is written straight, as by a single download.
        if (root.empty() && KindOf(target) == Kind::Other) return;
        OpenTreeFolder(target, root);
    } else {
        switch (KindOf(target)) {
        case Kind::Other: return; // a device, a FIFO, a socket, a directory: never renamed over
        case Kind::Link: {
            const std::string file = RegularFileBehind(target);
            if (file.empty()) return;
            finalPath_ = file;
            break;
        }
        case Kind::Missing:
        case Kind::Regular: break;
        }
        const auto [folder, name] = FolderAndName(finalPath_);
        try {
            directory_ =
                std::make_unique<platform::LocalDirectory>(platform::LocalDirectory::Open(folder));
        } catch (const FileError& error) {
            // The file asked for is what cannot be made: a folder that is not there, say.
            throw FileCreateError(finalPath_, error.ErrorNumber());
        }
        finalName_ = name;
    }
    writeName_ = staging == Staging::Hidden ? HiddenPathOf(finalName_) : PartialPathOf(finalName_);
    writePath_ = staging == Staging::Hidden ? HiddenPathOf(finalPath_) : PartialPathOf(finalPath_);
    // Something that is no plain file under the temporary name would be written into, and then
    // renamed over the target in its place.
    struct stat info {};
    const bool there = directory_->Look(writeName_, info);
    if (there && !S_ISREG(info.st_mode)) throw FileCreateError(writePath_, EEXIST);
    // A hidden name is made here, and only here: one that appeared between the look above and
    // now is not ours to write into.
    if (staging == Staging::Hidden && !there) {
        const int fd = ::openat(directory_->Descriptor(), writeName_.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) throw FileCreateError(writePath_, errno);
        ::close(fd);
    }
    staged_ = true;
}

DownloadTarget::~DownloadTarget() = default;

void DownloadTarget::OpenTreeFolder(const std::string& target, const std::string& root)
{
    const auto [folder, name] = FolderAndName(target);
    if (root.empty()) {
        directory_ =
            std::make_unique<platform::LocalDirectory>(platform::LocalDirectory::Open(folder));
    } else {
        const fs::path below = fs::path(folder.empty() ? "." : folder).lexically_relative(root);
        const std::string steps = below.generic_string();
        if (steps.empty() || *below.begin() == "..")
            throw FileCreateError(target + ": not below " + root, EINVAL);
        directory_ = std::make_unique<platform::LocalDirectory>(
            platform::LocalDirectory::Open(root).Below(steps == "." ? "" : steps, false));
    }
    finalName_ = name;
    struct stat info {};
    if (directory_->Look(name, info) && !S_ISREG(info.st_mode)) {
        const FileCreateError prefix(target, EEXIST);
        throw FileError(prefix.Message() + ": " + platform::NotARegularFile(info),
                        ErrorReason::FileCreate, EEXIST);
    }
}

platform::LocalFile DownloadTarget::OpenForWriting(bool append)
{
    if (!staged_)
        return append ? platform::LocalFile::OpenForAppending(writePath_)
                      : platform::LocalFile::Create(writePath_);
    platform::LocalFile file = platform::LocalFile::WriteIn(*directory_, writeName_, append);
    written_ = file.Identity();
    return file;
}

int64_t
DownloadTarget::CarryOnFromTarget(platform::LocalFile& file,
                                  const std::function<void(const std::string&)>& report) const
{
    const int64_t have = std::max<int64_t>(file.Size(), 0);
    struct stat info {};
    if (!staged_ || have > 0 || !directory_->Look(finalName_, info) || !S_ISREG(info.st_mode) ||
        info.st_size == 0)
        return have;
    try {
        platform::LocalFile from = platform::LocalFile::OpenIn(*directory_, finalName_);
        std::vector<char> buffer(64 * 1024);
        for (size_t got; (got = from.Read(buffer.data(), buffer.size())) > 0;)
            file.Write(buffer.data(), got);
        return file.Size();
    } catch (const Exception& error) {
        // What was copied is still the start of the file; the rest comes from the server.
        report("Cannot go on from all of " + finalPath_ + " (" + error.Message() + ")");
        return std::max<int64_t>(file.Size(), 0);
    }
}

std::string DownloadTarget::SetAsideUnverified() const
{
    if (!staged_ || staging_ == Staging::Beside) return ftpfiles::SetAsideUnverified(writePath_);
    struct stat info {};
    if (!directory_->Look(writeName_, info) || !S_ISREG(info.st_mode)) return {};
    const std::string keptName = HiddenPathOf(finalName_, ".unverified");
    if (directory_->Rename(writeName_, keptName))
        return "; the file received is kept as " + directory_->PathOf(keptName);
    directory_->Remove(writeName_);
    return {};
}

bool DownloadTarget::HasPartial() const
{
    struct stat info {};
    return staged_ && directory_->Look(writeName_, info) && S_ISREG(info.st_mode);
}

void DownloadTarget::Commit(std::optional<int64_t> modified)
{
    if (!staged_) return;
    const int fd = ::openat(directory_->Descriptor(), writeName_.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw FileCreateError(finalPath_, errno);
    const platform::LocalFile staged = platform::LocalFile::Adopt(fd, writePath_);
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw FileCreateError(finalPath_, errno);
    if (!S_ISREG(info.st_mode) || (written_ && staged.Identity() != *written_)) {
        const FileCreateError prefix(finalPath_, EEXIST);
        throw FileError(prefix.Message() + ": " + writePath_ + " is no longer the file received",
                        ErrorReason::FileCreate, EEXIST);
    }
    struct stat old {};
    if (directory_->Look(finalName_, old)) {
        if (!S_ISREG(old.st_mode)) throw FileCreateError(finalPath_, EEXIST);
        // A private file stays private.
        ::fchmod(fd, old.st_mode & 07777);
    }
    if (modified) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(*modified), 0}};
        ::futimens(fd, times);
    }
    if (!directory_->Rename(writeName_, finalName_)) throw FileCreateError(finalPath_, errno);
}

} // namespace ftpfiles
