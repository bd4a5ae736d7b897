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
#include <optional>
#include <random>

namespace {

using sftptest::TestSshd;
using testsupport::PumpUntil;

constexpr int kWaitMs = 30000;

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

    transfer::Outcome Connect(sftp::SftpClient& client, const sftp::ConnectOptions& options)
    {
        std::optional<transfer::Outcome> outcome;
        client.Connect(*platform::ParseAddressLiteral("127.0.0.1"), options,
                       [&](const transfer::Outcome& o) { outcome = o; });
        EXPECT_TRUE(PumpUntil([&] { return outcome.has_value(); }, kWaitMs));
        return outcome.value_or(transfer::Outcome{});
    }

    // Runs `start` (which hands the client a callback) until that callback came.
    template <typename Start> transfer::Outcome Run(Start&& start)
    {
        std::optional<transfer::Outcome> outcome;
        EXPECT_TRUE(start([&](const transfer::Outcome& o) { outcome = o; }));
        EXPECT_TRUE(PumpUntil([&] { return outcome.has_value(); }, kWaitMs));
        return outcome.value_or(transfer::Outcome{});
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

    sftp::SftpClient client;
    const auto connected = Connect(client, Options());
    ASSERT_TRUE(connected.ok) << connected.message;
    EXPECT_FALSE(client.Transport().Cipher().empty());
    EXPECT_EQ(client.Transport().ServerKey().fingerprint, sshd_.HostKeyFingerprint());

    ASSERT_TRUE(Run([&](auto done) { return client.MakeDirectory(Remote("sub"), done); }).ok);
    std::optional<transfer::Outcome> listed;
    std::vector<transfer::RemoteEntry> entries;
    ASSERT_TRUE(client.List(sshd_.Root(), [&](const transfer::Outcome& o, const auto& e) {
        listed = o;
        entries = e;
    }));
    ASSERT_TRUE(PumpUntil([&] { return listed.has_value(); }, kWaitMs));
    ASSERT_TRUE(listed->ok) << listed->message;
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 4u);
    using Kind = transfer::RemoteEntry::Kind;
    const struct {
        const char* name;
        Kind kind;
        std::optional<uint64_t> size;
    } expected[] = {{"empty", Kind::File, 0},
                    {"large.bin", Kind::File, large.size()},
                    {"small.bin", Kind::File, small.size()},
                    {"sub", Kind::Directory, std::nullopt}};
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].name, expected[i].name);
        EXPECT_EQ(entries[i].kind, expected[i].kind) << entries[i].name;
        if (expected[i].size) {
            EXPECT_EQ(entries[i].size, expected[i].size) << entries[i].name;
        }
        EXPECT_TRUE(entries[i].modifiedUtc.has_value()) << entries[i].name;
    }

    for (const char* name : {"large.bin", "small.bin", "empty"}) {
        const auto got = Run([&](auto done) {
            return client.Download(Remote(name), local_.File(name), 0, {}, done);
        });
        ASSERT_TRUE(got.ok) << name << ": " << got.message;
        EXPECT_EQ(testsupport::ReadFileBytes(local_.File(name)),
                  testsupport::ReadFileBytes(Remote(name)))
            << name;
        const auto put = Run([&](auto done) {
            return client.Upload(local_.File(name), Remote(std::string("sub/") + name), 0, {},
                                 done);
        });
        ASSERT_TRUE(put.ok) << name << ": " << put.message;
        EXPECT_EQ(testsupport::ReadFileBytes(Remote(std::string("sub/") + name)),
                  testsupport::ReadFileBytes(Remote(name)))
            << name;
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
    const auto down = Run([&](auto done) {
        return client.Download(Remote("whole.bin"), local_.File("part.bin"), 100000, {}, done);
    });
    ASSERT_TRUE(down.ok) << down.message;
    EXPECT_EQ(down.bytes, 200000);
    EXPECT_EQ(testsupport::ReadFileBytes(local_.File("part.bin")), content);
    const auto up = Run([&](auto done) {
        return client.Upload(local_.File("up.bin"), Remote("up.bin"), 77777, {}, done);
    });
    ASSERT_TRUE(up.ok) << up.message;
    EXPECT_EQ(testsupport::ReadFileBytes(Remote("up.bin")), content);

    // One row per command: what it does, and whether the server agrees.
    const struct {
        const char* what;
        std::function<bool(sftp::SftpClient::Done)> start;
        bool ok;
    } steps[] = {
        {"mkdir", [&](auto done) { return client.MakeDirectory(Remote("d"), done); }, true},
        {"mkdir again", [&](auto done) { return client.MakeDirectory(Remote("d"), done); }, false},
        {"rename", [&](auto done) { return client.Rename(Remote("up.bin"), Remote("d/u"), done); },
         true},
        {"keep a time",
         [&](auto done) { return client.SetModified(Remote("d/u"), 1500000000, done); }, true},
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
        const auto outcome = Run(step.start);
        EXPECT_EQ(outcome.ok, step.ok) << step.what << ": " << outcome.message;
        if (!outcome.ok) {
            EXPECT_FALSE(outcome.message.empty()) << step.what;
        }
        EXPECT_TRUE(client.Idle()) << step.what << ": the session goes on";
        if (std::string(step.what) == "keep a time") {
            std::string path;
            std::optional<transfer::Outcome> resolved;
            ASSERT_TRUE(client.RealPath(Remote("d/../d/u"), [&](const auto& o, const auto& p) {
                resolved = o;
                path = p;
            }));
            ASSERT_TRUE(PumpUntil([&] { return resolved.has_value(); }, kWaitMs));
            EXPECT_EQ(path, Remote("d/u"));
            std::optional<transfer::Outcome> listed;
            std::vector<transfer::RemoteEntry> entries;
            ASSERT_TRUE(client.List(Remote("d"), [&](const auto& o, const auto& e) {
                listed = o;
                entries = e;
            }));
            ASSERT_TRUE(PumpUntil([&] { return listed.has_value(); }, kWaitMs));
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].modifiedUtc, 1500000000);
        }
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
        std::optional<transfer::Outcome> outcome;
        bool canceled = false;
        const auto progress = [&](const transfer::Progress&) {
            if (!canceled) client.Cancel();
            canceled = true;
        };
        const auto done = [&](const transfer::Outcome& o) { outcome = o; };
        ASSERT_TRUE(download
                        ? client.Download(Remote("big.bin"), local_.File("part"), 0, progress, done)
                        : client.Upload(local_.File("big.bin"), Remote("part"), 0, progress, done));
        ASSERT_TRUE(PumpUntil([&] { return outcome.has_value(); }, kWaitMs));
        EXPECT_FALSE(outcome->ok) << download;
        EXPECT_EQ(outcome->reason, ErrorReason::Canceled) << download << outcome->message;
        // The same connection runs the next operation, whatever answers were still owed.
        const auto again = Run([&](auto next) {
            return client.Download(Remote("big.bin"), local_.File("again"), 0, {}, next);
        });
        ASSERT_TRUE(again.ok) << download << again.message;
        EXPECT_EQ(testsupport::ReadFileBytes(local_.File("again")), content) << download;
    }
}

TEST_F(SftpSshd, HostKeysAreCheckedAgainstBothFiles)
{
    const std::string fingerprint = sshd_.HostKeyFingerprint();
    ASSERT_EQ(fingerprint.rfind("SHA256:", 0), 0u) << fingerprint;
    const struct {
        const char* what;
        std::string knownHosts; // the user's file
        std::string pin;
        std::optional<sftp::HostKeyDecision> answer; // none: nobody is asked
        bool ok;
        std::vector<std::string> inMessage;
    } cases[] = {
        {"known", sshd_.KnownHostsLine(), "", std::nullopt, true, {}},
        {"unknown, nobody to ask", "", "", std::nullopt, false, {fingerprint, "not known"}},
        {"changed",
         sshd_.OtherKeyKnownHostsLine(),
         "",
         sftp::HostKeyDecision::TrustOnce,
         false,
         {fingerprint, "changed"}},
        {"unknown, trusted once", "", "", sftp::HostKeyDecision::TrustOnce, true, {}},
        {"unknown, canceled", "", "", sftp::HostKeyDecision::Cancel, false, {fingerprint}},
        {"pinned", "", fingerprint, std::nullopt, true, {}},
        // A pin does not override the record of another key for the host.
        {"changed, pinned to the key shown",
         sshd_.OtherKeyKnownHostsLine(),
         fingerprint,
         std::nullopt,
         false,
         {fingerprint, "changed"}},
        {"pinned wrongly",
         sshd_.KnownHostsLine(),
         "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
         std::nullopt,
         false,
         {fingerprint, "pinned"}},
    };
    for (const auto& c : cases) {
        testsupport::WriteFileBytes(local_.File("known_hosts"), c.knownHosts);
        auto options = Options();
        options.pinnedFingerprint = c.pin;
        int asked = 0;
        if (c.answer)
            options.askUnknownHostKey = [&](const sftp::HostKey& key, auto answer) {
                ++asked;
                EXPECT_EQ(key.fingerprint, fingerprint);
                EXPECT_EQ(key.type, "ssh-ed25519");
                answer(*c.answer);
            };
        sftp::SftpClient client;
        const auto outcome = Connect(client, options);
        EXPECT_EQ(outcome.ok, c.ok) << c.what << ": " << outcome.message;
        for (const auto& part : c.inMessage)
            EXPECT_NE(outcome.message.find(part), std::string::npos)
                << c.what << ": " << outcome.message;
        if (!c.ok) {
            EXPECT_EQ(outcome.reason, ErrorReason::CertificateRejected) << c.what;
        }
        if (std::string(c.what) == "changed") {
            EXPECT_EQ(asked, 0) << "a changed key is not asked";
        }
    }
}

TEST_F(SftpSshd, AKeyTrustedAlwaysIsKnownNextTime)
{
    testsupport::WriteFileBytes(local_.File("known_hosts"), "");
    auto options = Options(); // our trust file and its directory do not exist yet
    int asked = 0;
    options.askUnknownHostKey = [&](const sftp::HostKey&, auto answer) {
        ++asked;
        answer(sftp::HostKeyDecision::TrustAlways);
    };
    for (int round = 0; round < 2; ++round) {
        sftp::SftpClient client;
        const auto outcome = Connect(client, options);
        ASSERT_TRUE(outcome.ok) << round << ": " << outcome.message;
    }
    EXPECT_EQ(asked, 1) << "the second time the key is known";
    EXPECT_EQ(testsupport::ReadFileBytes(options.trustFile), sshd_.KnownHostsLine());
}

TEST_F(SftpSshd, LoginsWithKeysAndClearRefusals)
{
    const struct {
        const char* what;
        std::vector<std::string> keys;
        std::string passphrase;
        bool ok;
        std::vector<std::string> inMessage;
    } cases[] = {
        {"plain key", {sshd_.ClientKey()}, "", true, {}},
        {"a stranger's key, then ours", {sshd_.StrangerKey(), sshd_.ClientKey()}, "", true, {}},
        {"a missing file, then ours", {local_.File("none"), sshd_.ClientKey()}, "", true, {}},
        {"encrypted key with its passphrase",
         {sshd_.LockedClientKey()},
         TestSshd::Passphrase(),
         true,
         {}},
        {"encrypted key without one",
         {sshd_.LockedClientKey()},
         "",
         false,
         {"publickey", sshd_.LockedClientKey(), "passphrase"}},
        {"a stranger's key", {sshd_.StrangerKey()}, "", false, {"publickey"}},
        {"no key at all", {}, "", false, {"publickey"}},
    };
    // Every client below is gone by the end, and its socket with it.
    const size_t descriptors = OpenDescriptors();
    for (const auto& c : cases) {
        auto options = Options();
        options.identityFiles = c.keys;
        options.passphrase = c.passphrase;
        sftp::SftpClient client;
        const auto outcome = Connect(client, options);
        EXPECT_EQ(outcome.ok, c.ok) << c.what << ": " << outcome.message;
        for (const auto& part : c.inMessage)
            EXPECT_NE(outcome.message.find(part), std::string::npos)
                << c.what << ": " << outcome.message;
        if (!c.ok) {
            EXPECT_EQ(outcome.reason, ErrorReason::ServerRefused) << c.what;
        }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
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
    if (saved) {
        ::setenv("SSH_AUTH_SOCK", saved->c_str(), 1);
    } else {
        ::unsetenv("SSH_AUTH_SOCK");
    }
    agent.kill();
    agent.waitForFinished(5000);
}

} // namespace

namespace {

transfer::Outcome OpenSession(transfer::Session& session)
{
    std::optional<transfer::Outcome> outcome;
    session.Open([&](const transfer::Outcome& o) { outcome = o; });
    EXPECT_TRUE(PumpUntil([&] { return outcome.has_value(); }, kWaitMs));
    return outcome.value_or(transfer::Outcome{});
}

transfer::Outcome StartAndWait(transfer::Session& session, const transfer::Request& request)
{
    std::optional<transfer::Outcome> outcome;
    EXPECT_TRUE(session.Start(request, nullptr, [&](const transfer::Outcome& o) { outcome = o; }));
    EXPECT_TRUE(PumpUntil([&] { return outcome.has_value(); }, kWaitMs));
    return outcome.value_or(transfer::Outcome{});
}

} // namespace

// The sessions of a run through the session interface, by a name that is looked up: the first
// is asked about the unknown key, the others take that key without asking; a download replaces
// the local file only once whole and keeps the server's time, and a failed one leaves it be.
TEST_F(SftpSshd, RunSessionsShareTheFirstOnesHostKey)
{
    testsupport::WriteFileBytes(local_.File("known_hosts"), "");
    auto options = Options();
    options.host = "localhost";
    int asked = 0;
    options.askUnknownHostKey = [&](const sftp::HostKey&, auto answer) {
        ++asked;
        answer(sftp::HostKeyDecision::TrustOnce);
    };
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

    const std::string bytes = RandomBytes(100000);
    testsupport::WriteFileBytes(Remote("file.bin"), bytes);
    platform::LocalFile::SetModified(Remote("file.bin"), 1'400'000'000);
    testsupport::WriteFileBytes(local_.File("file.bin"), "older");
    transfer::Request get;
    get.operation = transfer::Operation::Get;
    get.remotePath = Remote("file.bin");
    get.localPath = local_.File("file.bin");
    get.modifiedUtc = 1'400'000'000;
    const auto got = StartAndWait(*first, get);
    ASSERT_TRUE(got.ok) << got.message;
    EXPECT_EQ(testsupport::ReadFileBytes(local_.File("file.bin")), bytes);
    EXPECT_EQ(platform::LocalFile::ModifiedOf(local_.File("file.bin")), 1'400'000'000);

    get.remotePath = Remote("missing.bin");
    const auto missing = StartAndWait(*first, get);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(transfer::KindOf(missing), transfer::FailureKind::RefusedForGood) << missing.message;
    EXPECT_EQ(testsupport::ReadFileBytes(local_.File("file.bin")), bytes);
    first->Close();
}

// The operations that move no data, and the append, through the session interface: one row per
// behaviour, in order, each starting from where the rows before it left the session. Relative
// paths are taken from the directory ChangeDirectory named.
TEST_F(SftpSshd, SessionRunsEveryCommandFromItsCurrentDirectory)
{
    const std::string root = std::filesystem::canonical(sshd_.Root()).string();
    testsupport::WriteFileBytes(Remote("file.txt"), "file");
    testsupport::WriteFileBytes(Remote("a.txt"), "head");
    testsupport::WriteFileBytes(local_.File("tail"), "tail");
    sftp::SftpSession session(Options(), true);
    const auto opened = OpenSession(session);
    ASSERT_TRUE(opened.ok) << opened.message;

    using transfer::FailureKind;
    using transfer::Operation;
    const auto remoteIs = [&](const char* name, const char* bytes) {
        return [this, name, bytes] {
            EXPECT_EQ(testsupport::ReadFileBytes(Remote(name)), bytes) << name;
        };
    };
    const struct {
        const char* what;
        Operation operation;
        std::string path;
        std::string other; // Rename: the new name
        FailureKind kind;  // None: ok
        std::string named; // ChangeDirectory, CurrentDirectory
        std::function<void()> check;
    } rows[] = {
        {"pwd at the login", Operation::CurrentDirectory, "", "", FailureKind::None, "", {}},
        {"cd", Operation::ChangeDirectory, sshd_.Root(), "", FailureKind::None, root, {}},
        {"cd to nothing",
         Operation::ChangeDirectory,
         "nothing",
         "",
         FailureKind::RefusedForGood,
         "",
         {}},
        {"cd to a file",
         Operation::ChangeDirectory,
         "file.txt",
         "",
         FailureKind::RefusedForGood,
         "",
         {}},
        {"pwd after refusals", Operation::CurrentDirectory, "", "", FailureKind::None, root, {}},
        {"mkdir relative", Operation::MakeDirectory, "d", "", FailureKind::None, "",
         [&] { EXPECT_TRUE(std::filesystem::is_directory(Remote("d"))); }},
        {"cd relative", Operation::ChangeDirectory, "d", "", FailureKind::None, root + "/d", {}},
        {"cd up", Operation::ChangeDirectory, "..", "", FailureKind::None, root, {}},
        {"append", Operation::Put, "a.txt", "", FailureKind::None, "",
         remoteIs("a.txt", "headtail")},
        {"append to nothing", Operation::Put, "new.txt", "", FailureKind::None, "",
         remoteIs("new.txt", "tail")},
        {"rename", Operation::Rename, "a.txt", "d/b.txt", FailureKind::None, "",
         remoteIs("d/b.txt", "headtail")},
        {"rename onto a file", Operation::Rename, "file.txt", "new.txt", FailureKind::RefusedForNow,
         "",
         [&] {
             remoteIs("file.txt", "file")();
             remoteIs("new.txt", "tail")();
         }},
        {"rename of nothing",
         Operation::Rename,
         "a.txt",
         "c.txt",
         FailureKind::RefusedForGood,
         "",
         {}},
        {"rmdir of a full one",
         Operation::RemoveDirectory,
         "d",
         "",
         FailureKind::RefusedForNow,
         "",
         {}},
        {"delete", Operation::Delete, "d/b.txt", "", FailureKind::None, "",
         [&] { EXPECT_FALSE(std::filesystem::exists(Remote("d/b.txt"))); }},
        {"delete of nothing",
         Operation::Delete,
         "d/b.txt",
         "",
         FailureKind::RefusedForGood,
         "",
         {}},
        {"rmdir", Operation::RemoveDirectory, "d", "", FailureKind::None, "",
         [&] { EXPECT_FALSE(std::filesystem::exists(Remote("d"))); }},
        {"typed command", Operation::SendCommand, "", "", FailureKind::Unsupported, "", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        transfer::Request request;
        request.operation = row.operation;
        request.remotePath = row.path;
        request.newRemotePath = row.other;
        request.command = "NOOP";
        request.append = true;
        request.localPath = local_.File("tail");
        const auto outcome = StartAndWait(session, request);
        EXPECT_EQ(outcome.ok, row.kind == FailureKind::None) << outcome.message;
        EXPECT_EQ(transfer::KindOf(outcome), row.kind) << outcome.message;
        if (!row.named.empty()) {
            EXPECT_EQ(outcome.path, row.named);
        }
        if (row.operation == Operation::CurrentDirectory) {
            EXPECT_EQ(outcome.path.rfind('/', 0), 0u) << outcome.path;
        }
        if (row.check) row.check();
        EXPECT_TRUE(session.Idle()) << "the session goes on";
    }

    // A listing and a download of relative names, from the current directory too.
    std::optional<transfer::Outcome> listed;
    std::vector<transfer::RemoteEntry> entries;
    transfer::Request list;
    list.operation = transfer::Operation::List;
    ASSERT_TRUE(session.StartList(list, [&](const transfer::Outcome& o, const auto& e) {
        listed = o;
        entries = e;
    }));
    ASSERT_TRUE(PumpUntil([&] { return listed.has_value(); }, kWaitMs));
    ASSERT_TRUE(listed->ok) << listed->message;
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"file.txt", "new.txt"}));
    transfer::Request get;
    get.operation = transfer::Operation::Get;
    get.remotePath = "file.txt";
    get.localPath = local_.File("got");
    const auto got = StartAndWait(session, get);
    ASSERT_TRUE(got.ok) << got.message;
    EXPECT_EQ(testsupport::ReadFileBytes(local_.File("got")), "file");
    session.Close();
}
