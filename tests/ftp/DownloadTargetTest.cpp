// Where a download writes: NAME.part beside a regular file or a new name, straight into anything
// else, and the rename that puts a whole file in place.
#include "ftp/DownloadTarget.h"
#include "platform/Exception.h"
#include "platform/LocalFile.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
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

// A tree's target below its root: whatever another user planted on the way or under the file's
// name is refused, named, and left as it was; nothing is written outside the root.
TEST(DownloadTarget, TreeTargetRefusesEveryPlantedLinkAndSpecialFile)
{
    testsupport::TempDir dir;
    const std::string root = dir.File("tree");
    const std::string outside = dir.File("outside");
    fs::create_directories(root + "/sub");
    fs::create_directories(outside);
    testsupport::WriteFileBytes(outside + "/secret", "secret");
    struct Row {
        const char* why;
        std::string plant; // below the root
        std::function<void(const std::string&)> make;
        std::string target; // below the root
        std::string said;
    };
    const auto link = [](std::string to) {
        return [to](const std::string& at) { fs::create_symlink(to, at); };
    };
    const Row rows[] = {
        {"a link to a folder on the way", "in", link(outside), "in/f", "a symbolic link"},
        {"a link deeper down", "sub/in", link(outside), "sub/in/f", "a symbolic link"},
        {"a link to a file", "f", link(outside + "/secret"), "f", "a symbolic link"},
        {"a dangling link", "f", link(outside + "/made"), "f", "a symbolic link"},
        {"a link to a device", "f", link("/dev/null"), "f", "a symbolic link"},
        {"a FIFO", "f", [](const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); },
         "f", "a FIFO"},
        {"a folder under the file's name", "f",
         [](const std::string& at) { fs::create_directory(at); }, "f", "a directory"},
    };
    for (const Row& row : rows) {
        row.make(root + "/" + row.plant);
        try {
            DownloadTarget target(root + "/" + row.target, false, ftpfiles::Staging::Hidden, root);
            ADD_FAILURE() << row.why << ": written to " << target.WritePath();
        } catch (const FileError& error) {
            EXPECT_NE(std::string(error.what()).find(row.said + " stands there, left alone"),
                      std::string::npos)
                << row.why << ": " << error.what();
        }
        std::set<std::string> there;
        for (const auto& entry : fs::directory_iterator(outside))
            there.insert(entry.path().filename().string());
        EXPECT_EQ(there, std::set<std::string>{"secret"}) << row.why;
        EXPECT_EQ(testsupport::ReadFileBytes(outside + "/secret"), "secret") << row.why;
        fs::remove_all(root + "/" + row.plant);
    }
}

// The staged file swapped for a link while the download ran: the commit refuses it, and neither
// the permissions nor the time of the file it leads to change, nor does the link take the
// target's name.
TEST(DownloadTarget, SwappedStagedFileIsNotCommitted)
{
    for (const ftpfiles::Staging staging : {ftpfiles::Staging::Beside, ftpfiles::Staging::Hidden}) {
        testsupport::TempDir dir;
        const std::string secret = dir.File("secret");
        testsupport::WriteFileBytes(secret, "secret");
        ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
        testsupport::WriteFileBytes(dir.File("big.bin"), "old");
        ASSERT_EQ(::chmod(dir.File("big.bin").c_str(), 0644), 0);
        struct stat before {};
        ASSERT_EQ(::stat(secret.c_str(), &before), 0);

        DownloadTarget target(dir.File("big.bin"), false, staging);
        {
            platform::LocalFile file = target.OpenForWriting(false);
            file.Write("new", 3);
        }
        fs::remove(target.WritePath());
        fs::create_symlink(secret, target.WritePath());
        EXPECT_THROW(target.Commit(1'000'000'000), FileError);

        struct stat after {};
        ASSERT_EQ(::stat(secret.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & 07777, 0600u);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(testsupport::ReadFileBytes(secret), "secret");
        EXPECT_FALSE(fs::is_symlink(dir.File("big.bin")));
        EXPECT_EQ(testsupport::ReadFileBytes(dir.File("big.bin")), "old");
    }
}

// The whole file takes the old one's permissions and the time asked for, through its handle
// (in a folder whose name only begins like "..").
TEST(DownloadTarget, CommitSetsModeAndTimeOfTheFileWritten)
{
    testsupport::TempDir dir;
    fs::create_directories(dir.File("tree/..a"));
    testsupport::WriteFileBytes(dir.File("tree/..a/f"), "old");
    ASSERT_EQ(::chmod(dir.File("tree/..a/f").c_str(), 0640), 0);
    DownloadTarget target(dir.File("tree/..a/f"), false, ftpfiles::Staging::Hidden,
                          dir.File("tree"));
    target.OpenForWriting(false).Write("new", 3);
    target.Commit(1'500'000'000);
    struct stat info {};
    ASSERT_EQ(::stat(dir.File("tree/..a/f").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_mtim.tv_sec, 1'500'000'000);
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("tree/..a/f")), "new");
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
