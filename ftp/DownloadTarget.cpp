#include "ftp/DownloadTarget.h"

#include "platform/Exception.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace ftpfiles {

namespace {

enum class Kind { Missing, Regular, Link, Other };

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

} // namespace

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
    if (::stat(written.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    const std::string kept = UnverifiedPathOf(written);
    if (std::rename(written.c_str(), kept.c_str()) == 0)
        return "; the file received is kept as " + kept;
    std::remove(written.c_str());
    return {};
}

DownloadTarget::DownloadTarget(const std::string& target, bool inPlace)
    : finalPath_(target), writePath_(target)
{
    if (inPlace || target.empty()) return;
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
    const std::string partial = PartialPathOf(finalPath_);
    // Something that is no plain file under the temporary name would be written into, and then
    // renamed over the target in its place.
    const Kind partialKind = KindOf(partial);
    if (partialKind != Kind::Missing && partialKind != Kind::Regular)
        throw FileCreateError(partial, EEXIST);
    writePath_ = partial;
    staged_ = true;
}

bool DownloadTarget::HasPartial() const { return staged_ && KindOf(writePath_) == Kind::Regular; }

void DownloadTarget::Commit()
{
    if (!staged_) return;
    struct stat old {};
    if (::lstat(finalPath_.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) throw FileCreateError(finalPath_, EEXIST);
        // A private file stays private.
        ::chmod(writePath_.c_str(), old.st_mode & 07777);
    }
    if (std::rename(writePath_.c_str(), finalPath_.c_str()) != 0)
        throw FileCreateError(finalPath_, errno);
}

} // namespace ftpfiles
