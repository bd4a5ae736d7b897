// Recursive transfers before any byte moves: which names from a listing may become a path, what
// the overwrite policy does with a file that is there already, and what a plan makes of a tree
// whose listing holds hostile names.
#include "FakeSessions.h"

#include "queue/Overwrite.h"
#include "queue/RemoteTreeWalk.h"
#include "queue/SafeName.h"
#include "queue/TreePlan.h"
#include "queue/TreeTransfer.h"

#include "platform/LocalFile.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

using transfer::DecideTarget;
using transfer::FileFacts;
using transfer::OverwritePolicy;
using transfer::RemoteEntry;
using transfer::TargetAction;

TEST(SafeName, RefusesEveryNameThatIsNotOneStep)
{
    struct Row {
        std::string name;
        bool safe;
    };
    const std::vector<Row> rows{
        {"plain.txt", true},
        {"with space .txt", true},
        {"ação ünïcode 名前", true},
        {"...", true},
        {".hidden", true},
        {"back\\slash", true},
        {"", false},
        {".", false},
        {"..", false},
        {"../escape", false},
        {"a/b", false},
        {"/etc/passwd", false},
        {"trailing/", false},
        {std::string("nul\0byte", 8), false},
        {"line\r\nDELE x", false},
        {"line\nend", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(!transfer::UnsafeNameReason(row.name).has_value(), row.safe) << row.name;
}

TEST(Overwrite, EachPolicyDecidesOnceForAFileThatExists)
{
    using P = OverwritePolicy;
    using A = TargetAction;
    const FileFacts source{100, 5000};
    struct Row {
        const char* what;
        P policy;
        std::optional<FileFacts> target;
        A action;
    };
    const std::vector<Row> rows{
        {"nothing there", P::Skip, std::nullopt, A::Transfer},
        {"overwrite", P::Overwrite, FileFacts{100, 5000}, A::Transfer},
        {"skip", P::Skip, FileFacts{1, 1}, A::Skip},
        {"resume a shorter one", P::Resume, FileFacts{40, 1}, A::Resume},
        {"resume: same size is done", P::Resume, FileFacts{100, 1}, A::Skip},
        {"resume: a longer one is no start of it", P::Resume, FileFacts{150, 1}, A::Transfer},
        {"resume: size unknown", P::Resume, FileFacts{std::nullopt, 1}, A::Transfer},
        {"if different: same size and time", P::IfDifferent, FileFacts{100, 5000}, A::Skip},
        {"if different: target newer", P::IfDifferent, FileFacts{100, 9000}, A::Skip},
        {"if different: target older", P::IfDifferent, FileFacts{100, 4000}, A::Transfer},
        {"if different: a second apart", P::IfDifferent, FileFacts{100, 4999}, A::Skip},
        {"if different: size differs", P::IfDifferent, FileFacts{99, 5000}, A::Transfer},
        {"if different: time unknown", P::IfDifferent, FileFacts{100, std::nullopt}, A::Transfer},
    };
    for (const Row& row : rows)
        EXPECT_EQ(DecideTarget(row.policy, source, row.target), row.action) << row.what;
}

namespace {

RemoteEntry Entry(std::string name, RemoteEntry::Kind kind, uint64_t size = 0)
{
    return RemoteEntry{std::move(name), kind, size, 1700000000, {}};
}

RemoteEntry WithUnique(RemoteEntry entry, std::string unique)
{
    entry.unique = std::move(unique);
    return entry;
}

struct Walked {
    bool rootListed = false;
    transfer::Tree tree;
};

// Opens a session on the fake server and walks "/srv"; nothing when the walk never ends.
std::optional<Walked> WalkSrv(fakes::FakeServer& server, fakes::FakeClock& clock,
                              transfer::WalkLimits limits = {})
{
    fakes::FakeSession session(server);
    bool opened = false;
    session.Open([&](const transfer::Outcome& outcome) { opened = outcome.ok; });
    clock.RunAll();
    EXPECT_TRUE(opened);
    transfer::RemoteTreeWalk walk(session, "/srv", limits);
    std::optional<Walked> walked;
    walk.Start([&](const transfer::Outcome& outcome, const transfer::Tree& tree) {
        walked = Walked{outcome.ok, tree};
    });
    clock.RunAll(1000);
    return walked;
}

// Each line holds its part, in order, and there are no more lines than parts.
void ExpectLinesHold(const std::vector<std::string>& lines, const std::vector<std::string>& parts)
{
    ASSERT_EQ(lines.size(), parts.size());
    for (size_t i = 0; i < parts.size(); ++i)
        EXPECT_NE(lines[i].find(parts[i]), std::string::npos) << lines[i];
}

transfer::TreeJob Job(std::string remoteRoot, std::string localRoot,
                      OverwritePolicy policy = OverwritePolicy::Overwrite)
{
    transfer::TreeJob job;
    job.remoteRoot = std::move(remoteRoot);
    job.localRoot = std::move(localRoot);
    job.policy = policy;
    return job;
}

// Runs a tree transfer on sessions of the fake server to its end; `prepare` sets its hooks.
std::optional<transfer::TreeSummary>
RunTree(const transfer::TreeJob& job, fakes::FakeServer& server, fakes::FakeClock& clock,
        const std::function<void(transfer::TreeTransfer&)>& prepare = {})
{
    transfer::TreeTransfer tree(
        job, [&] { return std::make_unique<fakes::FakeSession>(server); }, clock);
    if (prepare) prepare(tree);
    std::optional<transfer::TreeSummary> summary;
    tree.onFinished = [&](const transfer::TreeSummary& result) { summary = result; };
    tree.Start();
    clock.RunAll();
    return summary;
}

} // namespace

// A listing that names files outside the tree: every such name is refused and reported, the
// others arrive with their names whole, and no planned path leaves the target.
TEST(RemoteTree, HostileNamesAreRefusedAndNothingIsPlannedOutsideTheTarget)
{
    using K = RemoteEntry::Kind;
    fakes::FakeClock clock;
    fakes::FakeServer server(clock);
    // ".." and "." as directories are the listing's own parent and self entries: passed over. The
    // second file named "empty" would write the same file as the first.
    server.listings["/srv"] = {Entry("good file.txt", K::File, 3),
                               Entry("pasta ação", K::Directory),
                               Entry("..", K::Directory),
                               Entry(".", K::Directory),
                               Entry(".", K::File),
                               Entry("..", K::Link),
                               Entry("../../etc/cron.d/x", K::File),
                               Entry("/etc/passwd", K::File),
                               Entry("", K::File),
                               Entry(std::string("cut\0.txt", 8), K::File),
                               Entry("link", K::Link)};
    server.listings["/srv/pasta ação"] = {
        Entry("vazio", K::Directory), Entry("empty", K::File, 0), Entry("..", K::File),
        Entry("sub/../../../x", K::Directory), Entry("empty", K::File, 9)};
    server.listings["/srv/pasta ação/vazio"] = {};

    const std::optional<Walked> walked = WalkSrv(server, clock);
    ASSERT_TRUE(walked && walked->rootListed);
    const transfer::Tree& tree = walked->tree;

    EXPECT_EQ(tree.refused.size(), 9u);
    for (const std::string& refused : tree.refused)
        EXPECT_NE(refused.find("refused"), std::string::npos) << refused;
    EXPECT_EQ(tree.leftOut.size(), 1u);
    EXPECT_EQ(tree.directories, (std::vector<std::string>{"pasta ação", "pasta ação/vazio"}));

    testsupport::TempDir local;
    const std::filesystem::path root = local.Path();
    const transfer::TreePlan plan =
        transfer::PlanDownload(tree, "/srv", root, OverwritePolicy::Overwrite);
    std::vector<std::string> remotes;
    for (const auto& item : plan.items) {
        remotes.push_back(item.request.remotePath);
        const auto relative =
            std::filesystem::path(item.request.localPath).lexically_relative(root).string();
        EXPECT_FALSE(relative.empty() || relative.rfind("..", 0) == 0) << item.request.localPath;
    }
    EXPECT_EQ(remotes, (std::vector<std::string>{"/srv/good file.txt", "/srv/pasta ação/empty"}));
    // The empty directory is made too.
    EXPECT_NE(std::find(plan.localDirectories.begin(), plan.localDirectories.end(),
                        root / "pasta ação/vazio"),
              plan.localDirectories.end());
}

// A server decides what its listings say: a folder that lists itself, a link to a parent shown
// as a folder, folders by the hundred thousand. The walk ends all the same, each time with what
// it left and why; a folder seen again is walked once and nothing of it is made twice.
TEST(RemoteTree, TheWalkIsBoundedWhateverTheListingsSay)
{
    using K = RemoteEntry::Kind;
    using Lister = std::function<std::vector<RemoteEntry>(const std::string&)>;
    const std::vector<RemoteEntry> hundredThousand = [] {
        std::vector<RemoteEntry> entries;
        for (int i = 0; i < 100000; ++i)
            entries.push_back(Entry("pasta" + std::to_string(i), K::Directory));
        return entries;
    }();
    struct Row {
        const char* what;
        Lister lister;
        transfer::WalkLimits limits;
        bool rootListed;
        size_t directories;
        size_t files;
        int listings;
        std::vector<std::string> refused; // a part of each line, in order
        std::vector<std::string> leftOut;
    };
    using Lines = std::vector<std::string>;
    const transfer::WalkLimits any{}, fiveAListing{64, 1000, 5};
    const std::vector<Row> rows{
        {"a folder that lists itself (LIST): 64 levels",
         [](const std::string&) { return std::vector<RemoteEntry>{Entry("x", K::Directory)}; }, any,
         true, 64, 0, 65, Lines{": not walked: more than 64 levels deep"}, Lines{}},
        {"a folder that lists itself (MLSD): the same entries, walked once",
         [](const std::string&) {
             return std::vector<RemoteEntry>{WithUnique(Entry("x", K::Directory), "803g1")};
         },
         any, true, 0, 0, 2, Lines{}, Lines{"x: the same folder as the top folder"}},
        {"loop -> . beside real entries (MLSD)",
         [](const std::string& path) {
             if (path == "/srv/sub")
                 return std::vector<RemoteEntry>{WithUnique(Entry("b.txt", K::File, 2), "u4")};
             return std::vector<RemoteEntry>{WithUnique(Entry("a.txt", K::File, 1), "u2"),
                                             WithUnique(Entry("sub", K::Directory), "u3"),
                                             WithUnique(Entry("loop", K::Directory), "u0")};
         },
         any, true, 1, 2, 3, Lines{}, Lines{"loop: the same folder as the top folder"}},
        {"two names for one folder (MLSD): the second is not listed",
         [](const std::string& path) {
             if (path == "/srv")
                 return std::vector<RemoteEntry>{WithUnique(Entry("a", K::Directory), "u1"),
                                                 WithUnique(Entry("b", K::Directory), "u1")};
             return std::vector<RemoteEntry>{WithUnique(Entry("f", K::File, 1), "u9")};
         },
         any, true, 1, 1, 2, Lines{}, Lines{"b: the same folder as a, not walked again"}},
        {"100,000 folders in every folder: a million entries a run",
         [&](const std::string&) { return hundredThousand; }, any, true, 9, 0, 11,
         Lines{"pasta9: not walked, nor 999990 folders more: the run's limit of 1000000 entries"},
         Lines{}},
        {"a listing longer than its limit",
         [](const std::string& path) {
             std::vector<RemoteEntry> entries{Entry("sub", K::Directory)};
             for (int i = 0; i < (path == "/srv" ? 3 : 5); ++i)
                 entries.push_back(Entry("f" + std::to_string(i), K::File, 1));
             return entries;
         },
         fiveAListing, true, 1, 3, 2,
         Lines{"sub: cannot be listed: Listing of more than 5 entries"}, Lines{}},
        {"the top listing longer than its limit",
         [](const std::string&) { return std::vector<RemoteEntry>(6, Entry("f", K::File, 1)); },
         fiveAListing, false, 0, 0, 1, Lines{}, Lines{}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fakes::FakeClock clock;
        fakes::FakeServer server(clock);
        server.lister = row.lister;
        const std::optional<Walked> walked = WalkSrv(server, clock, row.limits);
        ASSERT_TRUE(walked.has_value());
        const transfer::Tree& tree = walked->tree;
        EXPECT_EQ(walked->rootListed, row.rootListed);
        EXPECT_EQ(tree.directories.size(), row.directories);
        EXPECT_EQ(tree.files.size(), row.files);
        EXPECT_EQ(server.listed, row.listings);
        ExpectLinesHold(tree.refused, row.refused);
        ExpectLinesHold(tree.leftOut, row.leftOut);
        // No folder is made that was not listed, and none twice.
        std::set<std::string> unique(tree.directories.begin(), tree.directories.end());
        EXPECT_EQ(unique.size(), tree.directories.size());
    }
}

// Followed links on upload: one to a folder outside the tree is sent as a folder; one to a folder
// of the tree, or to the tree itself, is left out and that folder goes once, whole, under its
// own name, whichever comes first in the scan.
TEST(LocalTree, AFollowedLinkBackIntoTheTreeIsLeftOut)
{
    testsupport::TempDir local;
    const std::filesystem::path root = local.Path() + "/tree";
    const std::filesystem::path outside = local.Path() + "/outside";
    std::filesystem::create_directories(root / "realdir/inner");
    std::filesystem::create_directories(outside);
    testsupport::WriteFileBytes((root / "realdir/f.txt").string(), "f");
    testsupport::WriteFileBytes((root / "realdir/inner/g.txt").string(), "g");
    testsupport::WriteFileBytes((outside / "o.txt").string(), "o");
    std::filesystem::create_directory_symlink(root / "realdir", root / "alink"); // before realdir
    std::filesystem::create_directory_symlink("realdir/inner", root / "zlink");  // after it
    std::filesystem::create_directory_symlink("..", root / "realdir/up");        // the tree itself
    std::filesystem::create_directory_symlink(outside, root / "out");

    const transfer::Tree tree = transfer::ScanLocalTree(root, true);
    EXPECT_EQ(tree.directories, (std::vector<std::string>{"out", "realdir", "realdir/inner"}));
    std::vector<std::string> files;
    for (const auto& file : tree.files) files.push_back(file.path);
    EXPECT_EQ(files,
              (std::vector<std::string>{"out/o.txt", "realdir/f.txt", "realdir/inner/g.txt"}));
    EXPECT_EQ(tree.leftOut,
              (std::vector<std::string>{
                  "alink: a link back into the tree (to realdir), not followed",
                  "realdir/up: a link back into the tree (to .), not followed",
                  "zlink: a link back into the tree (to realdir/inner), not followed"}));
    EXPECT_TRUE(tree.refused.empty());
}

// An upload makes each directory that is missing before the files that go into it, and leaves
// links out unless asked to follow them.
TEST(LocalTree, UploadPlanMakesDirectoriesFirstAndLeavesLinksOut)
{
    testsupport::TempDir local;
    const std::filesystem::path root = local.Path();
    std::filesystem::create_directories(root / "a b/vazio");
    testsupport::WriteFileBytes((root / "a b/f ç.txt").string(), "abc");
    testsupport::WriteFileBytes((root / "empty").string(), "");
    std::filesystem::create_symlink("/etc/passwd", root / "link");

    for (const bool follow : {false, true}) {
        SCOPED_TRACE(follow ? "following links" : "not following links");
        const transfer::Tree tree = transfer::ScanLocalTree(root, follow);
        EXPECT_EQ(tree.leftOut.size(), follow ? 0u : 1u);
        const transfer::TreePlan plan =
            transfer::PlanUpload(tree, root, transfer::Tree{}, transfer::RootState::Missing, "/up",
                                 OverwritePolicy::Overwrite);
        std::vector<std::string> made;
        for (size_t i = 0; i < plan.items.size(); ++i) {
            const auto& item = plan.items[i];
            if (item.request.operation == transfer::Operation::MakeDirectory) {
                made.push_back(item.request.remotePath);
                continue;
            }
            if (item.request.remotePath == "/up/a b/f ç.txt") {
                ASSERT_TRUE(item.after.has_value());
                EXPECT_EQ(plan.items[*item.after].request.remotePath, "/up/a b");
            }
        }
        EXPECT_EQ(made, (std::vector<std::string>{"/up", "/up/a b", "/up/a b/vazio"}));
        EXPECT_EQ(plan.items.size(), follow ? 6u : 5u);
    }
}

// A server may list a directory that is not there as an empty one: the download of a mistyped
// name must fail, not end as an empty tree fetched whole.
TEST(TreeTransfer, EmptyRootIsCheckedInItsParent)
{
    using K = RemoteEntry::Kind;
    struct Row {
        const char* what;
        std::vector<RemoteEntry> parent;
        bool exact;
    };
    const std::vector<Row> rows{
        {"there, and empty", {Entry("dir", K::Directory)}, true},
        {"a link to a directory", {Entry("dir", K::Link)}, true},
        {"not there", {Entry("other", K::Directory)}, false},
        {"a file of that name", {Entry("dir", K::File)}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fakes::FakeClock clock;
        fakes::FakeServer server(clock);
        server.listings["/srv/dir"] = {};
        server.listings["/srv"] = row.parent;
        testsupport::TempDir local;
        const transfer::TreeJob job = Job("/srv/dir", local.File("copy"));
        const auto summary = RunTree(job, server, clock);
        ASSERT_TRUE(summary.has_value());
        EXPECT_EQ(summary->Exact(), row.exact);
        EXPECT_EQ(std::filesystem::exists(job.localRoot), row.exact);
    }
}

// The time a run spends on the question about files already there is the user's, not the run's.
TEST(TreeTransfer, TheTimeTheQuestionIsOpenIsNotTheRunsTime)
{
    using K = RemoteEntry::Kind;
    for (const int64_t questionMs : {int64_t{0}, int64_t{10000}}) {
        SCOPED_TRACE(questionMs);
        fakes::FakeClock clock;
        fakes::FakeServer server(clock);
        server.listings["/srv/dir"] = {Entry("a.txt", K::File, 100)};
        server.listings["/srv"] = {Entry("dir", K::Directory)};
        testsupport::TempDir local;
        std::filesystem::create_directory(local.File("copy"));
        testsupport::WriteFileBytes(local.File("copy/a.txt"), "old");
        const auto summary =
            RunTree(Job("/srv/dir", local.File("copy")), server, clock, [&](auto& tree) {
                tree.choosePolicy = [&](size_t) {
                    clock.Advance(questionMs);
                    return std::optional(transfer::OverwritePolicy::Overwrite);
                };
            });
        ASSERT_TRUE(summary.has_value());
        EXPECT_EQ(summary->files, 1u);
        EXPECT_GT(summary->elapsedMs, 0);
        EXPECT_LT(summary->elapsedMs, 1000) << "the question's time counted";
    }
}

// A listing without times to the second (LIST): with "only if different", the server's time of
// each file whose size matches its counterpart is asked before the run decides, both ways; a
// download carries the time it learnt; a server that does not know the command is asked once.
TEST(TreeTransfer, TimesTheListingLacksAreAskedBeforeDeciding)
{
    using K = RemoteEntry::Kind;
    using transfer::Operation;
    constexpr int64_t T = 1'700'000'000;
    const auto undated = [](std::string name, uint64_t size) {
        return RemoteEntry{std::move(name), K::File, size, std::nullopt, {}};
    };
    struct Row {
        const char* what;
        transfer::TreeDirection direction;
        bool knowsTimes;
        std::vector<std::string> asked;       // remote paths whose time was asked
        std::vector<std::string> transferred; // names moved
    };
    using D = transfer::TreeDirection;
    const std::vector<Row> rows{
        {"download", D::Download, true, {"/srv/dir/a", "/srv/dir/b"}, {"b", "c", "d"}},
        {"download, no MDTM", D::Download, false, {"/srv/dir/a"}, {"a", "b", "c", "d"}},
        {"upload", D::Upload, true, {"/srv/dir/a", "/srv/dir/b"}, {"b", "c", "d"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fakes::FakeClock clock;
        fakes::FakeServer server(clock);
        server.knowsTimes = row.knowsTimes;
        // a: the same on both sides; b: the target older; c: the sizes differ; d: only a source.
        testsupport::TempDir local;
        const std::filesystem::path copy = local.File("copy");
        std::filesystem::create_directory(copy);
        const bool down = row.direction == D::Download;
        std::vector<RemoteEntry> listed{undated("a", 3), undated("b", 3), undated("c", 3)};
        if (down) listed.push_back(undated("d", 3));
        server.listings["/srv/dir"] = listed;
        server.listings["/srv"] = {Entry("dir", K::Directory)};
        for (const char* name : {"a", "b", "c", "d"}) {
            if (down && std::string(name) == "d") continue;
            const std::string path = (copy / name).string();
            testsupport::WriteFileBytes(path, std::string(name) == "c" ? "cc" : "xyz");
            platform::LocalFile::SetModified(path, down && std::string(name) == "b" ? T - 100 : T);
        }
        server.times = {{"/srv/dir/a", T}, {"/srv/dir/b", down ? T : T - 100}, {"/srv/dir/c", T}};
        transfer::TreeJob job = Job("/srv/dir", copy.string(), OverwritePolicy::IfDifferent);
        job.direction = row.direction;
        const auto summary = RunTree(job, server, clock);
        ASSERT_TRUE(summary.has_value());
        EXPECT_TRUE(summary->Exact());
        std::vector<std::string> asked, transferred;
        for (const auto& started : server.started) {
            const transfer::Request& request = started.request;
            if (request.operation == Operation::ModifiedTime) {
                asked.push_back(request.remotePath);
                continue;
            }
            if (request.operation == Operation::SetModifiedTime) continue;
            transferred.push_back(request.remotePath.substr(request.remotePath.rfind('/') + 1));
            // A download carries the time it was compared by, and the session asks none again.
            if (request.operation == Operation::Get && request.remotePath == "/srv/dir/b") {
                EXPECT_EQ(request.modifiedUtc,
                          row.knowsTimes ? std::optional<int64_t>(T) : std::nullopt);
            }
        }
        std::sort(transferred.begin(), transferred.end());
        EXPECT_EQ(asked, row.asked);
        EXPECT_EQ(transferred, row.transferred);
    }
}

// "Retomar": a shorter target is resumed, and the run's whole is what is left to move, so that
// the progress ends at its total.
TEST(TreeTransfer, AResumedFileCountsOnlyItsRestInTheWhole)
{
    using K = RemoteEntry::Kind;
    fakes::FakeClock clock;
    fakes::FakeServer server(clock);
    server.listings["/srv/dir"] = {Entry("a.txt", K::File, 100), Entry("b.txt", K::File, 100)};
    testsupport::TempDir local;
    std::filesystem::create_directory(local.File("copy"));
    testsupport::WriteFileBytes(local.File("copy/a.txt"), std::string(40, 'a'));
    std::optional<transfer::TreeProgress> first;
    RunTree(Job("/srv/dir", local.File("copy"), OverwritePolicy::Resume), server, clock,
            [&](auto& tree) {
                tree.onProgress = [&](const transfer::TreeProgress& progress) {
                    if (!first) first = progress;
                };
            });
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->bytesTotal, 60 + 100);
    ASSERT_EQ(server.started.size(), 2u);
    for (const auto& started : server.started)
        EXPECT_EQ(started.request.resume, started.request.remotePath == "/srv/dir/a.txt");
}

// A download's directories take the times their listing gave exactly (MLSD), once everything
// inside them has arrived; one listed without a time keeps its own.
TEST(TreeTransfer, DirectoriesTakeTheirListedTimesAfterTheirContents)
{
    using K = RemoteEntry::Kind;
    fakes::FakeClock clock;
    fakes::FakeServer server(clock);
    server.listings["/srv/dir"] = {
        Entry("sub", K::Directory), Entry("a.txt", K::File, 10),
        RemoteEntry{"undated", K::Directory, std::nullopt, std::nullopt, {}}};
    server.listings["/srv/dir/sub"] = {Entry("deeper", K::Directory), Entry("b.txt", K::File, 10)};
    server.listings["/srv/dir/sub/deeper"] = {};
    server.listings["/srv/dir/undated"] = {};
    testsupport::TempDir local;
    const auto summary = RunTree(Job("/srv/dir", local.File("copy")), server, clock);
    ASSERT_TRUE(summary.has_value());
    EXPECT_TRUE(summary->Exact());
    for (const char* path : {"copy/sub", "copy/sub/deeper"})
        EXPECT_EQ(platform::LocalFile::ModifiedOf(local.File(path)), 1700000000) << path;
    EXPECT_GT(platform::LocalFile::ModifiedOf(local.File("copy/undated")).value_or(0), 1700000000);
}

// An upload's directories take their local times once the files are there, deepest first, on a
// session of the run: only those the run made or wrote into, only when times are kept, and a
// server that refuses one is asked no more and fails nothing.
TEST(TreeTransfer, UploadedDirectoriesTakeTheirLocalTimesAfterTheirContents)
{
    using K = RemoteEntry::Kind;
    using transfer::Operation;
    constexpr int64_t T = 1'600'000'000;
    struct Row {
        const char* what;
        bool rootThere; // holding "old/same.txt", which the run leaves
        bool keepTimes;
        std::optional<transfer::FailureKind> refusal; // of the first directory's time
        std::vector<std::string> set;                 // remote directories, in order
    };
    const std::vector<Row> rows{
        {"made anew", false, true, {}, {"/srv/up/a/b", "/srv/up/a", "/srv/up/old", "/srv/up"}},
        {"into a tree that is there", true, true, {}, {"/srv/up/a/b", "/srv/up/a", "/srv/up"}},
        {"times not kept", false, false, {}, {}},
        {"the server sets none", false, true, transfer::FailureKind::Unsupported, {"/srv/up/a/b"}},
        {"refused", false, true, transfer::FailureKind::RefusedForGood, {"/srv/up/a/b"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fakes::FakeClock clock;
        fakes::FakeServer server(clock);
        if (row.rootThere) {
            server.listings["/srv/up"] = {Entry("old", K::Directory)};
            server.listings["/srv/up/old"] = {Entry("same.txt", K::File, 3)};
        }
        // The directory is made; only its time is refused.
        if (row.refusal)
            server.failures["/srv/up/a/b"] = {transfer::Outcome::Success(),
                                              fakes::Failed(*row.refusal)};
        testsupport::TempDir local;
        const std::filesystem::path root = local.File("source");
        std::filesystem::create_directories(root / "a/b");
        std::filesystem::create_directories(root / "old");
        testsupport::WriteFileBytes((root / "a/f.txt").string(), "f");
        testsupport::WriteFileBytes((root / "old/same.txt").string(), "abc");
        testsupport::WriteFileBytes((root / "top.txt").string(), "t");
        const std::map<std::string, int64_t> times{
            {"/srv/up", T}, {"/srv/up/a", T + 1}, {"/srv/up/a/b", T + 2}, {"/srv/up/old", T + 3}};
        for (const auto& [remote, time] : times)
            platform::LocalFile::SetModified(root.string() + remote.substr(7), time);
        transfer::TreeJob job = Job("/srv/up", root.string(), OverwritePolicy::Skip);
        job.direction = transfer::TreeDirection::Upload;
        job.keepTimes = row.keepTimes;
        const auto summary = RunTree(job, server, clock);
        ASSERT_TRUE(summary.has_value());
        EXPECT_TRUE(summary->Exact());
        EXPECT_EQ(summary->files, row.rootThere ? 2u : 3u);
        std::vector<std::string> set;
        size_t lastPut = 0;
        for (size_t i = 0; i < server.started.size(); ++i) {
            const transfer::Request& request = server.started[i].request;
            if (request.operation == Operation::Put) lastPut = i;
            if (request.operation != Operation::SetModifiedTime) continue;
            EXPECT_GT(i, lastPut) << "a directory's time before a file went into it";
            set.push_back(request.remotePath);
            EXPECT_EQ(request.modifiedUtc, times.at(request.remotePath)) << request.remotePath;
        }
        EXPECT_EQ(set, row.set);
        EXPECT_EQ(server.open, 0) << "a session left open";
    }
}
