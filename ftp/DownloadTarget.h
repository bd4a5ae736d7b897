#pragma once
// Where a download writes, so that a cut-off transfer never costs the user a file. The bytes go
// to NAME.part beside the file asked for, and only a whole file is renamed over NAME; until then
// an older NAME stays as it was, and a failed or cancelled download leaves its bytes in NAME.part,
// where a resumed download continues them.
//
// A target that is not a regular file -- /dev/null, a FIFO, a terminal -- is written straight:
// renaming a file over it would replace the device or pipe itself. So is any target when the
// caller asks for it (in place).
#include <string>

namespace ftpfiles {

// The temporary name beside `target`: "dir/name" gives "dir/name.part".
std::string PartialPathOf(const std::string& target);
// Where a download whose checksum did not match is kept, so that it never passes for the good
// file: "dir/name.part" and "dir/name" give "dir/name.unverified".
std::string UnverifiedPathOf(const std::string& written);
// Moves a regular file whose checksum did not match to UnverifiedPathOf(written) (or removes it
// when it cannot be moved) and says so in a few words for the failure's message ("; the file
// received is kept as ..."); nothing for a device, a pipe or a file that is not there.
std::string SetAsideUnverified(const std::string& written);

class DownloadTarget {
public:
    // Decides at once, from what `target` is now. A symbolic link to a regular file stands for
    // that file: the file is replaced, the link stays.
    explicit DownloadTarget(const std::string& target, bool inPlace = false);

    // The path the download writes to: the temporary name, or the target itself.
    const std::string& WritePath() const { return writePath_; }
    // The file that is to hold the download in the end.
    const std::string& FinalPath() const { return finalPath_; }
    // True when the bytes go to the temporary name and Commit() puts them in place.
    bool Staged() const { return staged_; }
    // A partial file of an earlier attempt is waiting under the temporary name.
    bool HasPartial() const;

    // Puts the whole file in place: the temporary file takes the old file's permissions and is
    // renamed over it, in one step, so nobody ever sees half a file under the final name.
    // Nothing to do when the download was written straight. Raises FileCreateError with the
    // system's reason when the rename fails, or when the final name has meanwhile become
    // something other than a regular file; the temporary file is then left where it is.
    void Commit();

private:
    std::string finalPath_;
    std::string writePath_;
    bool staged_ = false;
};

} // namespace ftpfiles
