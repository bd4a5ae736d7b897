// Where a download writes: NAME.part beside a regular file or a new name, straight into anything
// else, and the rename that puts a whole file in place.
#include "ftp/DownloadTarget.h"
#include "platform/Exception.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ftpfiles::DownloadTarget;

TEST(DownloadTarget, StagesBesideFilesAndWritesStraightIntoAnythingElse)
{
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir.File("old.bin"), "old");
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    fs::create_symlink(dir.File("old.bin"), dir.File("link.bin"));
    struct Row {
        const char* why;
        std::string target;
        bool inPlace;
        std::string writes; // empty: the target itself
    };
    const Row rows[] = {
        {"a new name", dir.File("new.bin"), false, dir.File("new.bin.part")},
        {"an existing file", dir.File("old.bin"), false, dir.File("old.bin.part")},
        {"a link to a file stands for the file", dir.File("link.bin"), false,
         dir.File("old.bin.part")},
        {"in place", dir.File("old.bin"), true, ""},
        {"a device", "/dev/null", false, ""},
        {"a FIFO", dir.File("pipe"), false, ""},
        {"a directory", dir.Path(), false, ""},
    };
    for (const Row& row : rows) {
        const DownloadTarget target(row.target, row.inPlace);
        const std::string writes = row.writes.empty() ? row.target : row.writes;
        EXPECT_EQ(target.WritePath(), writes) << row.why;
        EXPECT_EQ(target.Staged(), !row.writes.empty()) << row.why;
    }
}

TEST(DownloadTarget, CommitReplacesTheFileKeepingItsPermissionsAndTheLink)
{
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir.File("old.bin"), "old");
    ASSERT_EQ(::chmod(dir.File("old.bin").c_str(), 0600), 0);
    fs::create_symlink(dir.File("old.bin"), dir.File("link.bin"));
    DownloadTarget target(dir.File("link.bin"));
    EXPECT_FALSE(target.HasPartial());
    testsupport::WriteFileBytes(target.WritePath(), "new and whole");
    EXPECT_TRUE(target.HasPartial());

    target.Commit();
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("link.bin")), "new and whole");
    EXPECT_TRUE(fs::is_symlink(dir.File("link.bin")));
    EXPECT_FALSE(fs::exists(dir.File("old.bin.part")));
    EXPECT_EQ(fs::status(dir.File("old.bin")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// A tree's folder may hold "c", "c.part" and "c.unverified" at once: each stages under a hidden
// name that is none of the others' names nor their temporary names, made here with O_EXCL, and
// the same on a retry within the run, which goes on from it.
TEST(DownloadTarget, HiddenStagingCollidesWithNoNameOfTheFolder)
{
    using ftpfiles::Staging;
    testsupport::TempDir dir;
    const std::vector<std::string> names{"c", "c.part", "c.unverified", std::string(250, 'n')};
    std::set<std::string> used(names.begin(), names.end());
    for (const std::string& name : names) {
        const DownloadTarget target(dir.File(name), false, Staging::Hidden);
        const std::string written = fs::path(target.WritePath()).filename().string();
        EXPECT_EQ(written.front(), '.') << name;
        EXPECT_LE(written.size(), 255u) << name;
        EXPECT_TRUE(used.insert(written).second) << name << " stages as " << written;
        EXPECT_TRUE(fs::is_regular_file(target.WritePath())) << name;
        const std::string aside =
            fs::path(ftpfiles::HiddenPathOf(dir.File(name), ".unverified")).filename().string();
        EXPECT_TRUE(used.insert(aside).second) << name << " is set aside as " << aside;
        EXPECT_EQ(DownloadTarget(dir.File(name), false, Staging::Hidden).WritePath(),
                  target.WritePath())
            << name;
    }
    // A link planted under the hidden name is refused, never written through.
    const std::string planted = ftpfiles::HiddenPathOf(dir.File("d"));
    fs::create_symlink(dir.File("c"), planted);
    EXPECT_THROW(DownloadTarget(dir.File("d"), false, Staging::Hidden), FileCreateError);
}

// A mismatched download of a tree is set aside under its hidden name, not as NAME.unverified,
// which may be a file of the same folder.
TEST(DownloadTarget, HiddenStagingSetsAsideWhereNoFileOfTheFolderIs)
{
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir.File("c.unverified"), "the server's own file");
    const DownloadTarget target(dir.File("c"), false, ftpfiles::Staging::Hidden);
    testsupport::WriteFileBytes(target.WritePath(), "bad bytes");
    const std::string said = target.SetAsideUnverified();
    const std::string aside = ftpfiles::HiddenPathOf(dir.File("c"), ".unverified");
    EXPECT_EQ(said, "; the file received is kept as " + aside);
    EXPECT_EQ(testsupport::ReadFileBytes(aside), "bad bytes");
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("c.unverified")), "the server's own file");
    EXPECT_FALSE(fs::exists(target.WritePath()));
}

// Something other than a file under the temporary name would be written into and then renamed
// over the target: refused before anything is written.
TEST(DownloadTarget, RefusesATemporaryNameThatIsNoFile)
{
    testsupport::TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("a.bin.part").c_str(), 0600), 0);
    EXPECT_THROW(DownloadTarget{dir.File("a.bin")}, FileCreateError);
}

} // namespace
