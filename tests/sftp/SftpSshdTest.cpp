// The SFTP client against a real sshd: host keys, logins, and files byte-exact both ways, all
// through the non-blocking machinery pumped by the event loop.
#include "sftp/SftpClient.h"
#include "sftp/SftpSession.h"
#include "sftp/SftpSessionFactory.h"
#include "sftp/TestSshd.h"

#include "platform/LocalFile.h"
#include "support/EventLoop.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>

namespace {

using sftptest::TestSshd;
using testsupport::PumpUntil;
using Keys = std::vector<std::string>;

constexpr int kWaitMs = 30000;

// Runs `start` (which hands the client a callback and says whether it began) until that
// callback came.
template <typename Start> transfer::Outcome Await(Start&& start)
{
    std::optional<transfer::Outcome> outcome;
    EXPECT_TRUE(start([&](const transfer::Outcome& o) { outcome = o; }));
    EXPECT_TRUE(PumpUntil([&] { return outcome.has_value(); }, kWaitMs));
    return outcome.value_or(transfer::Outcome{});
}

struct Listing {
    transfer::Outcome outcome;
    std::vector<transfer::RemoteEntry> entries;
};

// The same for a listing, with its entries sorted by name.
template <typename Start> Listing AwaitList(Start&& start)
{
    std::optional<Listing> listing;
    EXPECT_TRUE(start([&](const transfer::Outcome& o, const auto& e) { listing = Listing{o, e}; }));
    EXPECT_TRUE(PumpUntil([&] { return listing.has_value(); }, kWaitMs));
    auto result = listing.value_or(Listing{});
    std::sort(result.entries.begin(), result.entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    return result;
}

transfer::Outcome Connect(sftp::SftpClient& client, const sftp::ConnectOptions& options)
{
    return Await([&](auto done) {
        client.Connect(*platform::ParseAddressLiteral("127.0.0.1"), options, done);
        return true;
    });
}

transfer::Outcome OpenSession(transfer::Session& session)
{
    return Await([&](auto done) {
        session.Open(done);
        return true;
    });
}

transfer::Outcome StartAndWait(transfer::Session& session, const transfer::Request& request)
{
    return Await([&](auto done) { return session.Start(request, nullptr, done); });
}

class SftpSshd : public ::testing::Test {
protected:
    void SetUp() override
    {
        TAVOLEN_REQUIRE(TestSshd::Available(), "sshd and ssh-keygen (openssh-server)");
        ASSERT_TRUE(sshd_.Start());
        testsupport::WriteFileBytes(local_.File("known_hosts"), sshd_.KnownHostsLine());
    }

    // Options that log in with the plain key and know the host key from the user's file.
    sftp::ConnectOptions Options() const
    {
        sftp::ConnectOptions options;
        options.host = "127.0.0.1";
        options.port = sshd_.Port();
        options.user = sshd_.User();
        options.identityFiles = {sshd_.ClientKey()};
        options.useAgent = false;
        options.userKnownHosts = local_.File("known_hosts");
        options.trustFile = local_.File("trusted/known_hosts");
        options.timeoutMs = kWaitMs;
        return options;
    }

    // The same, answering the question about an unknown host key with `decision`; each question
    // is counted in `asked` and must show the server's own key.
    sftp::ConnectOptions Asking(sftp::HostKeyDecision decision, int& asked) const
    {
        auto options = Options();
        options.askUnknownHostKey = [decision, &asked, fingerprint = sshd_.HostKeyFingerprint()](
                                        const sftp::HostKey& key, auto answer) {
            ++asked;
            EXPECT_EQ(key.fingerprint, fingerprint);
            EXPECT_EQ(key.type, "ssh-ed25519");
            answer(decision);
        };
        return options;
    }

    std::string Remote(const std::string& name) const { return sshd_.Root() + "/" + name; }

    TestSshd sshd_;
    testsupport::TempDir local_{"tavolen-sftp"};
};

size_t OpenDescriptors()
{
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}

std::string RandomBytes(size_t size)
{
    std::mt19937 generator(33);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

TEST_F(SftpSshd, ListsDownloadsAndUploadsByteExact)
{
    // Larger than the requests in flight at once, and not a whole number of blocks.
    const std::string large = RandomBytes(64 * 32768 * 2 + 12345);
    const std::string small = testsupport::AllByteValuesWithCrLf();
    testsupport::WriteFileBytes(Remote("large.bin"), large);
    testsupport::WriteFileBytes(Remote("small.bin"), small);
    testsupport::WriteFileBytes(Remote("empty"), "");
    // Links: to a file (listed as that file), to a folder and to nothing (left links).
    platform::LocalFile::SetModified(Remote("large.bin"), 1'300'000'000);
    std::filesystem::create_symlink("large.bin", Remote("to-large"));
    std::filesystem::create_symlink("sub", Remote("to-sub"));
    std::filesystem::create_symlink("nowhere", Remote("dangling"));

    sftp::SftpClient client;
    const auto connected = Connect(client, Options());
    ASSERT_TRUE(connected.ok) << connected.message;
    EXPECT_FALSE(client.Transport().Cipher().empty());
    EXPECT_EQ(client.Transport().ServerKey().fingerprint, sshd_.HostKeyFingerprint());

    ASSERT_TRUE(Await([&](auto done) { return client.MakeDirectory(Remote("sub"), done); }).ok);
    const auto [listed, entries] =
        AwaitList([&](auto done) { return client.List(sshd_.Root(), done); });
    ASSERT_TRUE(listed.ok) << listed.message;
    ASSERT_EQ(entries.size(), 7u);
    using Kind = transfer::RemoteEntry::Kind;
    const struct {
        const char* name;
        Kind kind;
        std::optional<uint64_t> size;
    } expected[] = {
        {"dangling", Kind::Link, std::nullopt},  {"empty", Kind::File, 0},
        {"large.bin", Kind::File, large.size()}, {"small.bin", Kind::File, small.size()},
        {"sub", Kind::Directory, std::nullopt},  {"to-large", Kind::File, large.size()},
        {"to-sub", Kind::Link, std::nullopt}};
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].name, expected[i].name);
        EXPECT_EQ(entries[i].kind, expected[i].kind) << entries[i].name;
        if (expected[i].size) {
            EXPECT_EQ(entries[i].size, expected[i].size) << entries[i].name;
        }
        EXPECT_TRUE(entries[i].modifiedUtc.has_value()) << entries[i].name;
    }
    EXPECT_EQ(entries[5].modifiedUtc, 1'300'000'000) << "the time of the file linked to";

    for (const std::string name : {"large.bin", "small.bin", "empty"}) {
        const auto got = Await([&](auto done) {
            return client.Download(Remote(name), local_.File(name), 0, {}, done);
        });
        ASSERT_TRUE(got.ok) << name << ": " << got.message;
        const auto put = Await([&](auto done) {
            return client.Upload(local_.File(name), Remote("sub/" + name), 0, {}, done);
        });
        ASSERT_TRUE(put.ok) << name << ": " << put.message;
        const auto original = testsupport::ReadFileBytes(Remote(name));
        EXPECT_EQ(testsupport::ReadFileBytes(local_.File(name)), original) << name;
        EXPECT_EQ(testsupport::ReadFileBytes(Remote("sub/" + name)), original) << name;
    }
}

TEST_F(SftpSshd, ResumesBothWaysAndRunsTheCommands)
{
    const std::string content = RandomBytes(300000);
    testsupport::WriteFileBytes(Remote("whole.bin"), content);
    testsupport::WriteFileBytes(local_.File("part.bin"), content.substr(0, 100000));
    testsupport::WriteFileBytes(Remote("up.bin"), content.substr(0, 77777));
    testsupport::WriteFileBytes(local_.File("up.bin"), content);

    sftp::SftpClient client;
    ASSERT_TRUE(Connect(client, Options()).ok);
    const auto down = Await([&](auto done) {
        return client.Download(Remote("whole.bin"), local_.File("part.bin"), 100000, {}, done);
    });
    ASSERT_TRUE(down.ok) << down.message;
    EXPECT_EQ(down.bytes, 200000);
    EXPECT_EQ(testsupport::ReadFileBytes(local_.File("part.bin")), content);
    const auto up = Await([&](auto done) {
        return client.Upload(local_.File("up.bin"), Remote("up.bin"), 77777, {}, done);
    });
    ASSERT_TRUE(up.ok) << up.message;
    EXPECT_EQ(testsupport::ReadFileBytes(Remote("up.bin")), content);

    // The time kept is listed, and the path it is under resolves to its plain form.
    const auto timeKept = [&] {
        std::optional<std::string> path;
        ASSERT_TRUE(
            client.RealPath(Remote("d/../d/u"), [&](const auto&, const auto& p) { path = p; }));
        ASSERT_TRUE(PumpUntil([&] { return path.has_value(); }, kWaitMs));
        EXPECT_EQ(path, Remote("d/u"));
        const auto listed = AwaitList([&](auto done) { return client.List(Remote("d"), done); });
        ASSERT_EQ(listed.entries.size(), 1u);
        EXPECT_EQ(listed.entries[0].modifiedUtc, 1500000000);
    };
    // One row per command: what it does, and whether the server agrees.
    const struct {
        const char* what;
        std::function<bool(sftp::SftpClient::Done)> start;
        bool ok;
        std::function<void()> check = {};
    } steps[] = {
        {"mkdir", [&](auto done) { return client.MakeDirectory(Remote("d"), done); }, true},
        {"mkdir again", [&](auto done) { return client.MakeDirectory(Remote("d"), done); }, false},
        {"rename", [&](auto done) { return client.Rename(Remote("up.bin"), Remote("d/u"), done); },
         true},
        {"keep a time",
         [&](auto done) { return client.SetModified(Remote("d/u"), 1500000000, done); }, true,
         timeKept},
        {"rmdir of a full directory",
         [&](auto done) { return client.RemoveDirectory(Remote("d"), done); }, false},
        {"remove", [&](auto done) { return client.Remove(Remote("d/u"), done); }, true},
        {"remove what is gone", [&](auto done) { return client.Remove(Remote("d/u"), done); },
         false},
        {"rmdir", [&](auto done) { return client.RemoveDirectory(Remote("d"), done); }, true},
        {"download of what is gone",
         [&](auto done) {
             return client.Download(Remote("nothing"), local_.File("n"), 0, {}, done);
         },
         false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const auto outcome = Await(step.start);
        EXPECT_EQ(outcome.ok, step.ok) << outcome.message;
        if (!outcome.ok) {
            EXPECT_FALSE(outcome.message.empty());
        }
        EXPECT_TRUE(client.Idle()) << "the session goes on";
        if (step.check) step.check();
    }
}

TEST_F(SftpSshd, ACanceledTransferLeavesTheSessionUsable)
{
    const std::string content = RandomBytes(8 * 1024 * 1024);
    testsupport::WriteFileBytes(Remote("big.bin"), content);
    testsupport::WriteFileBytes(local_.File("big.bin"), content);
    sftp::SftpClient client;
    ASSERT_TRUE(Connect(client, Options()).ok);
    for (const bool download : {true, false}) {
        SCOPED_TRACE(download ? "download" : "upload");
        bool canceled = false;
        const auto progress = [&](const transfer::Progress&) {
            if (!canceled) client.Cancel();
            canceled = true;
        };
        const auto outcome = Await([&](auto done) {
            return download
                       ? client.Download(Remote("big.bin"), local_.File("part"), 0, progress, done)
                       : client.Upload(local_.File("big.bin"), Remote("part"), 0, progress, done);
        });
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.reason, ErrorReason::Canceled) << outcome.message;
        // The same connection runs the next operation, whatever answers were still owed.
        const auto again = Await([&](auto next) {
            return client.Download(Remote("big.bin"), local_.File("again"), 0, {}, next);
        });
        ASSERT_TRUE(again.ok) << again.message;
        EXPECT_EQ(testsupport::ReadFileBytes(local_.File("again")), content);
    }
}

// One row per way a connection is let in or turned away: the host key against the user's file,
// the trust file and a pin, then the login keys. A refused host key is CertificateRejected, a
// refused login ServerRefused; both name what was wrong.
TEST_F(SftpSshd, HostKeysAndLoginsAreCheckedWithClearRefusals)
{
    const std::string fp = sshd_.HostKeyFingerprint();
    ASSERT_EQ(fp.rfind("SHA256:", 0), 0u) << fp;
    const std::string other = sshd_.OtherKeyKnownHostsLine();
    const std::string locked = sshd_.LockedClientKey();
    const auto rejected = ErrorReason::CertificateRejected;
    const auto refused = ErrorReason::ServerRefused;
    using enum sftp::HostKeyDecision;
    const struct {
        const char* what;
        std::optional<std::string> hosts = {}; // the user's file; none: the server's line
        std::string pin = "";
        std::optional<sftp::HostKeyDecision> answer = {}; // none: nobody is asked
        int asked = 0;
        std::optional<Keys> keys = {}; // none: the plain key
        std::string passphrase = "";
        std::optional<ErrorReason> reason = {}; // none: logged in
        Keys says = {};                         // in the message
    } cases[] = {
        {.what = "known host, plain key"},
        {.what = "unknown, nobody to ask",
         .hosts = "",
         .reason = rejected,
         .says = {fp, "not known"}},
        // A changed key is not asked about.
        {.what = "changed",
         .hosts = other,
         .answer = TrustOnce,
         .reason = rejected,
         .says = {fp, "changed"}},
        {.what = "unknown, trusted once", .hosts = "", .answer = TrustOnce, .asked = 1},
        {.what = "unknown, canceled",
         .hosts = "",
         .answer = Cancel,
         .asked = 1,
         .reason = rejected,
         .says = {fp}},
        {.what = "pinned", .hosts = "", .pin = fp},
        // A pin does not override the record of another key for the host.
        {.what = "changed, pinned to it",
         .hosts = other,
         .pin = fp,
         .reason = rejected,
         .says = {fp, "changed"}},
        {.what = "pinned wrongly",
         .pin = "SHA256:" + std::string(43, 'A'),
         .reason = rejected,
         .says = {fp, "pinned"}},
        {.what = "a stranger's key, then ours",
         .keys = Keys{sshd_.StrangerKey(), sshd_.ClientKey()}},
        {.what = "a missing file, then ours", .keys = Keys{local_.File("none"), sshd_.ClientKey()}},
        {.what = "encrypted key, passphrase",
         .keys = Keys{locked},
         .passphrase = TestSshd::Passphrase()},
        {.what = "encrypted key, none",
         .keys = Keys{locked},
         .reason = refused,
         .says = {"publickey", locked, "passphrase"}},
        {.what = "a stranger's key",
         .keys = Keys{sshd_.StrangerKey()},
         .reason = refused,
         .says = {"publickey"}},
        {.what = "no key at all", .keys = Keys{}, .reason = refused, .says = {"publickey"}},
        // Last, as the key trusted always is known from then on, from a file and a directory that
        // did not exist before.
        {.what = "unknown, trusted always", .hosts = "", .answer = TrustAlways, .asked = 1},
        {.what = "trusted always before", .hosts = "", .answer = TrustAlways},
    };
    // Every client below is gone by the end, and its socket with it.
    const size_t descriptors = OpenDescriptors();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::WriteFileBytes(local_.File("known_hosts"),
                                    c.hosts.value_or(sshd_.KnownHostsLine()));
        int asked = 0;
        auto options = c.answer ? Asking(*c.answer, asked) : Options();
        options.pinnedFingerprint = c.pin;
        if (c.keys) options.identityFiles = *c.keys;
        options.passphrase = c.passphrase;
        sftp::SftpClient client;
        const auto outcome = Connect(client, options);
        EXPECT_EQ(outcome.ok, !c.reason) << outcome.message;
        if (c.reason) {
            EXPECT_EQ(outcome.reason, *c.reason);
        }
        for (const auto& part : c.says)
            EXPECT_NE(outcome.message.find(part), std::string::npos) << outcome.message;
        EXPECT_EQ(asked, c.asked);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(testsupport::ReadFileBytes(Options().trustFile), sshd_.KnownHostsLine());
}

TEST_F(SftpSshd, LogsInWithTheKeysOfTheAgent)
{
    TAVOLEN_REQUIRE_BINARY("/usr/bin/ssh-agent");
    TAVOLEN_REQUIRE_BINARY("/usr/bin/ssh-add");
    const std::string socket = local_.File("agent.sock");
    QProcess agent; // ended by its process id when the test ends
    agent.start("/usr/bin/ssh-agent", {"-D", "-a", QString::fromStdString(socket)});
    ASSERT_TRUE(agent.waitForStarted());
    // The socket's file appears a moment before the agent listens on it: adding the key is
    // tried again until it is taken (at most 100 times).
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("SSH_AUTH_SOCK", QString::fromStdString(socket));
    std::string refusal;
    bool added = false;
    for (int attempt = 0; attempt < 100 && !added; ++attempt) {
        if (attempt > 0) testsupport::PumpFor(50);
        QProcess add;
        add.setProcessEnvironment(environment);
        add.start("/usr/bin/ssh-add", {QString::fromStdString(sshd_.ClientKey())});
        added = add.waitForFinished(10000) && add.exitCode() == 0;
        refusal = add.readAllStandardError().toStdString();
    }
    ASSERT_TRUE(added) << refusal;

    const char* before = std::getenv("SSH_AUTH_SOCK");
    const std::optional<std::string> saved =
        before ? std::optional<std::string>(before) : std::nullopt;
    ::setenv("SSH_AUTH_SOCK", socket.c_str(), 1);
    for (const bool useAgent : {true, false}) {
        auto options = Options();
        options.identityFiles.clear();
        options.useAgent = useAgent;
        sftp::SftpClient client;
        const auto outcome = Connect(client, options);
        EXPECT_EQ(outcome.ok, useAgent) << outcome.message;
    }
    saved ? ::setenv("SSH_AUTH_SOCK", saved->c_str(), 1) : ::unsetenv("SSH_AUTH_SOCK");
    agent.kill();
    agent.waitForFinished(5000);
}

// The sessions of a run through the session interface, by a name that is looked up: the first
// is asked about the unknown key, the others take that key without asking.
TEST_F(SftpSshd, RunSessionsShareTheFirstOnesHostKey)
{
    testsupport::WriteFileBytes(local_.File("known_hosts"), "");
    int asked = 0;
    auto options = Asking(sftp::HostKeyDecision::TrustOnce, asked);
    options.host = "localhost";
    sftp::SftpSessionFactory factory(options, true);
    auto first = factory.Make();
    const auto opened = OpenSession(*first);
    ASSERT_TRUE(opened.ok) << opened.message;
    EXPECT_EQ(factory.BoundFingerprint(), sshd_.HostKeyFingerprint());
    for (int i = 0; i < 2; ++i) {
        auto other = factory.Make();
        const auto outcome = OpenSession(*other);
        EXPECT_TRUE(outcome.ok) << outcome.message;
    }
    EXPECT_EQ(asked, 1) << "only the first session is asked";
    first->Close();
}

// The operations that move no data, and the append, through the session interface: one row per
// behaviour, in order, each starting from where the rows before it left the session. Relative
// paths are taken from the directory ChangeDirectory named. A download replaces the local file
// only once whole and keeps the server's time, and a failed one leaves it be.
TEST_F(SftpSshd, SessionRunsEveryCommandFromItsCurrentDirectory)
{
    const std::string root = std::filesystem::canonical(sshd_.Root()).string();
    testsupport::WriteFileBytes(Remote("file.txt"), "file");
    testsupport::WriteFileBytes(Remote("a.txt"), "head");
    testsupport::WriteFileBytes(local_.File("tail"), "tail");
    const std::string bytes = RandomBytes(100000);
    testsupport::WriteFileBytes(Remote("file.bin"), bytes);
    platform::LocalFile::SetModified(Remote("file.bin"), 1'400'000'000);
    testsupport::WriteFileBytes(local_.File("file.bin"), "older");
    sftp::SftpSession session(Options(), true);
    const auto opened = OpenSession(session);
    ASSERT_TRUE(opened.ok) << opened.message;

    using enum transfer::FailureKind;
    using enum transfer::Operation;
    const auto remoteIs = [&](std::map<std::string, std::string> files) {
        return [this, files] {
            for (const auto& [name, bytes] : files)
                EXPECT_EQ(testsupport::ReadFileBytes(Remote(name)), bytes) << name;
        };
    };
    // A local file, and the time it was given when one is named.
    const auto localIs = [&](const char* name, const std::string& content,
                             std::optional<int64_t> time = {}) {
        return [this, name, content, time] {
            EXPECT_EQ(testsupport::ReadFileBytes(local_.File(name)), content) << name;
            if (time) {
                EXPECT_EQ(platform::LocalFile::ModifiedOf(local_.File(name)), *time);
            }
        };
    };
    const auto gone = [&](const char* name) {
        return [this, name] { EXPECT_FALSE(std::filesystem::exists(Remote(name))) << name; };
    };
    const struct {
        const char* what;
        transfer::Operation operation;
        std::string path = "";
        std::string other = "";            // Rename: the new name
        transfer::FailureKind kind = None; // None: ok
        std::string named = "";            // ChangeDirectory, CurrentDirectory
        std::function<void()> check = {};
        std::string local = "tail";           // Put and Get
        std::optional<int64_t> modified = {}; // Get: the server's time, kept
    } rows[] = {
        {"pwd at the login", CurrentDirectory},
        {"cd", ChangeDirectory, sshd_.Root(), "", None, root},
        {"cd to nothing", ChangeDirectory, "nothing", "", RefusedForGood},
        {"cd to a file", ChangeDirectory, "file.txt", "", RefusedForGood},
        {"pwd after refusals", CurrentDirectory, "", "", None, root},
        {"mkdir relative", MakeDirectory, "d", "", None, "",
         [&] { EXPECT_TRUE(std::filesystem::is_directory(Remote("d"))); }},
        {"cd relative", ChangeDirectory, "d", "", None, root + "/d"},
        {"cd up", ChangeDirectory, "..", "", None, root},
        {"append", Put, "a.txt", "", None, "", remoteIs({{"a.txt", "headtail"}})},
        {"append to nothing", Put, "new.txt", "", None, "", remoteIs({{"new.txt", "tail"}})},
        {"rename", Rename, "a.txt", "d/b.txt", None, "", remoteIs({{"d/b.txt", "headtail"}})},
        {"rename onto a file", Rename, "file.txt", "new.txt", RefusedForNow, "",
         remoteIs({{"file.txt", "file"}, {"new.txt", "tail"}})},
        {"rename of nothing", Rename, "a.txt", "c.txt", RefusedForGood},
        {"rmdir of a full one", RemoveDirectory, "d", "", RefusedForNow},
        {"delete", Delete, "d/b.txt", "", None, "", gone("d/b.txt")},
        {"delete of nothing", Delete, "d/b.txt", "", RefusedForGood},
        {"rmdir", RemoveDirectory, "d", "", None, "", gone("d")},
        {"typed command", SendCommand, "", "", Unsupported},
        {"get", Get, "file.bin", "", None, "", localIs("file.bin", bytes, 1'400'000'000),
         "file.bin", 1'400'000'000},
        {"get of nothing", Get, "missing.bin", "", RefusedForGood, "", localIs("file.bin", bytes),
         "file.bin"},
        {"get relative", Get, "file.txt", "", None, "", localIs("got", "file"), "got"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        transfer::Request request;
        request.operation = row.operation;
        request.remotePath = row.path;
        request.newRemotePath = row.other;
        request.command = "NOOP";
        request.append = row.operation == Put;
        request.localPath = local_.File(row.local);
        request.modifiedUtc = row.modified;
        const auto outcome = StartAndWait(session, request);
        EXPECT_EQ(outcome.ok, row.kind == None) << outcome.message;
        EXPECT_EQ(transfer::KindOf(outcome), row.kind) << outcome.message;
        if (!row.named.empty()) {
            EXPECT_EQ(outcome.path, row.named);
        }
        if (row.operation == CurrentDirectory) {
            EXPECT_EQ(outcome.path.rfind('/', 0), 0u);
        }
        if (row.check) row.check();
        EXPECT_TRUE(session.Idle()) << "the session goes on";
    }

    // A listing of the current directory too.
    transfer::Request list;
    list.operation = List;
    const auto listed = AwaitList([&](auto done) { return session.StartList(list, done); });
    ASSERT_TRUE(listed.outcome.ok) << listed.outcome.message;
    ASSERT_EQ(listed.entries.size(), 3u);
    EXPECT_EQ(listed.entries[0].name, "file.bin");
    EXPECT_EQ(listed.entries[1].name, "file.txt");
    EXPECT_EQ(listed.entries[2].name, "new.txt");
    session.Close();
}

} // namespace
