#pragma once
// Where a download writes, so that a cut-off transfer never costs the user a file. The bytes go
// to NAME.part beside the file asked for, and only a whole file is renamed over NAME; until then
// an older NAME stays as it was, and a failed or cancelled download leaves its bytes in NAME.part,
// where a resumed download continues them.
//
// A tree's downloads stage under a hidden name of the run's own instead (Staging::Hidden): a
// folder on the server may hold both "c" and "c.part", and the second must not land where the
// first is being written, nor be taken for its remains.
//
// A tree's target is stricter: every step below the tree's root is opened without following a
// link, and a link, a FIFO or a device where a file of the tree belongs is refused and left as
// it is -- nothing of the tree is ever written outside it.
//
// Anywhere else, a target that is not a regular file -- /dev/null, a FIFO, a terminal -- is
// written straight: renaming a file over it would replace the device or pipe itself. So is any
// target when the caller asks for it (in place).
//
// The staged file is written, its permissions and time set, and renamed, all through the one
// open handle of the folder it is in, and never through a link put under the temporary name.
#include "platform/LocalFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ftpfiles {

// The temporary name beside `target`: "dir/name" gives "dir/name.part".
std::string PartialPathOf(const std::string& target);
// Where a download whose checksum did not match is kept, so that it never passes for the good
// file: "dir/name.part" and "dir/name" give "dir/name.unverified".
std::string UnverifiedPathOf(const std::string& written);
// The hidden temporary name of a tree's download beside `target`: ".NAME.KEY.part", KEY drawn
// from NAME and a secret of this process, so that it stays the same for every try within the
// run (a retry goes on from it) but no server can make a listing hold it. A NAME too long to
// leave room for the rest is cut short; KEY still tells such names apart. `suffix` is ".part",
// or ".unverified" for a file set aside.
std::string HiddenPathOf(const std::string& target, const std::string& suffix = ".part");
// Moves a regular file whose checksum did not match to UnverifiedPathOf(written) (or removes it
// when it cannot be moved) and says so in a few words for the failure's message ("; the file
// received is kept as ..."); nothing for a device, a pipe or a file that is not there.
std::string SetAsideUnverified(const std::string& written);

enum class Staging {
    Beside, // NAME.part, which a later resume finds
    Hidden, // HiddenPathOf(NAME), created here unless an earlier try of the run left it
};

class DownloadTarget {
public:
    // Decides at once, from what `target` is now. A symbolic link to a regular file stands for
    // that file: the file is replaced, the link stays.
    //
    // A hidden staging is a tree's: with `root` given, `target` lies below it and the folders
    // between are opened one step at a time, none through a link; a link or anything else but
    // a regular file under the target's name is refused (FileError naming why), not written.
    // Without a root, a device or a FIFO is written straight, as above.
    explicit DownloadTarget(const std::string& target, bool inPlace = false,
                            Staging staging = Staging::Beside, const std::string& root = {});
    ~DownloadTarget();
    DownloadTarget(const DownloadTarget&) = delete;
    DownloadTarget& operator=(const DownloadTarget&) = delete;

    // Opens what WritePath() names for the download's bytes: emptied, or positioned at its end
    // for `append`. A staged file is opened inside its folder's handle, never through a link.
    platform::LocalFile OpenForWriting(bool append);
    // A staged download that goes on from what the target already holds ("Retomar"): when
    // `file` (from OpenForWriting) is empty, the target's bytes are copied into it, read inside
    // the folder's handle and never through a link, so that the target stays as it was until
    // the whole file takes its place. Returns the bytes `file` then holds; nothing is copied
    // when the target is no regular file or cannot be read (said at `report`'s level 1).
    int64_t CarryOnFromTarget(platform::LocalFile& file,
                              const std::function<void(const std::string&)>& report) const;

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
    // something other than a regular file; the temporary file is then left where it is. So it
    // is when the temporary name no longer holds the file OpenForWriting wrote (swapped for
    // a link, say). `modified` (seconds since 1970, UTC) is set on the file before it moves.
    void Commit(std::optional<int64_t> modified = std::nullopt);

    // SetAsideUnverified for what was written: beside the target as NAME.unverified, or for a
    // hidden staging under HiddenPathOf(NAME, ".unverified"), where no file of the tree can be.
    std::string SetAsideUnverified() const;

private:
    void OpenTreeFolder(const std::string& target, const std::string& root);

    std::unique_ptr<platform::LocalDirectory> directory_; // of a staged file
    std::string finalName_;                               // in directory_
    std::string writeName_;
    std::optional<platform::FileIdentity> written_;
    std::string finalPath_;
    std::string writePath_;
    bool staged_ = false;
    Staging staging_ = Staging::Beside;
};

} // namespace ftpfiles
