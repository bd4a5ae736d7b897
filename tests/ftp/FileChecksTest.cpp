// Times, checksums and keep-alive: the protocol choices as tables, and the exchanges that only a
// server shows (a hash that does not match, a hash command refused, a NOOP whose reply comes late).
#include "ScriptedSession.h"

#include "ftp/FileTimes.h"
#include "ftp/FileVerification.h"
#include "ftp/KeepAlive.h"
#include "net/Digest.h"
#include "support/EventLoop.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace {

using ftptest::ScriptedSession;
using testsupport::ReadFileBytes;
using Lines = std::vector<std::string>;

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// SHA-256 of "123456789", the file of the scripted transfers.
const std::string kDigitsSha256 =
    "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225";

// Logs "ana" in at a server whose FEAT lists `features`.
testsupport::ScriptedFtpServer& LoggedInWith(testsupport::ScriptedFtpServer& server,
                                             const Lines& features)
{
    server.Reply("220 pronto").Expect("USER ana").Reply("230 bem-vinda").Expect("FEAT");
    server.Reply("211-Features:");
    for (const std::string& feature : features) server.Reply(" " + feature);
    return server.Reply("211 End");
}

// The value of `bytes` computed apart from Digest: Qt's hashes, and CRC-32 a bit at a time.
std::string ReferenceValue(DigestAlgorithm algorithm, const std::string& bytes)
{
    if (algorithm == DigestAlgorithm::Crc32) {
        uint32_t crc = 0xFFFFFFFFu;
        for (const char c : bytes) {
            crc ^= static_cast<unsigned char>(c);
            for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", crc ^ 0xFFFFFFFFu);
        return hex;
    }
    const QCryptographicHash::Algorithm qt =
        algorithm == DigestAlgorithm::Sha256 ? QCryptographicHash::Sha256
        : algorithm == DigestAlgorithm::Sha1 ? QCryptographicHash::Sha1
                                             : QCryptographicHash::Md5;
    return QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())), qt)
        .toHex()
        .toStdString();
}

std::string PatternBytes(size_t length)
{
    std::string bytes(length, '\0');
    uint32_t x = 2463534242u;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

constexpr DigestAlgorithm kEveryAlgorithm[] = {DigestAlgorithm::Sha256, DigestAlgorithm::Sha1,
                                               DigestAlgorithm::Md5, DigestAlgorithm::Crc32};

// The ids of the process's threads. A thread that has been joined may still be listed for a
// while (longer on a busy machine), so what counts is an id that was not there before, not how
// many there are.
std::set<std::string> ThreadsOfThisProcess()
{
    std::error_code error;
    std::set<std::string> ids;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ids.insert(it->path().filename().string());
    return ids;
}

bool AThreadStartedSince(const std::set<std::string>& before)
{
    const std::set<std::string> now = ThreadsOfThisProcess();
    return std::any_of(now.begin(), now.end(),
                       [&](const std::string& id) { return before.count(id) == 0; });
}

// However a stream is cut into Update() calls, whether it is hashed where it is fed or on the
// digest's own thread, and whether its bytes are copied in or received into the digest's Room(),
// the value is the whole stream's. Only a stream past the bytes hashed in place starts a thread.
TEST(Digest, EveryWayOfFeedingGivesTheStreamsValue)
{
    constexpr size_t kInline = Digest::kInlineBytes;
    constexpr size_t kBlock = Digest::kRingBlockSize;
    constexpr size_t kRing = Digest::kRingBlocks * kBlock;
    struct Row {
        const char* what;
        size_t length;
        size_t piece;      // 0: the whole stream in one call
        bool room = false; // each piece put into Room() first, as a receive loop does
    };
    const auto thread = [&](const Row& row) { return row.length > kInline; };
    const Row rows[] = {
        {"nothing at all", 0, 0},
        {"a small file in one call", 5000, 0},
        {"a small file a byte at a time", 5000, 1},
        {"exactly what is hashed in place", kInline, 4096},
        {"one byte past it, fed in one call", kInline + 1, 0},
        {"one byte past it, the last call alone", kInline + 1, kInline},
        {"a call that crosses into the ring", kInline + kBlock + 7, 3 * kBlock / 2},
        {"the ring's blocks exactly", kInline + kRing, kBlock},
        {"more than the ring holds in one call", kInline + kRing + kBlock + 3, 0},
        {"blocks of a receive loop, odd sizes", kInline + kRing + 12345, 65536 - 3},
        {"pieces larger than a block", kInline + kRing + kBlock, kBlock + 1},
        {"small pieces across many blocks", kInline + kRing + 99, 1000},
        {"a small file, its room empty", 5000, 1000, true},
        {"received into its room, odd sizes", kInline + kRing + 12345, 65536 - 3, true},
        {"received into its room, a block at a time", kInline + kRing, kBlock, true},
        {"received into its room, more than it holds", kInline + kRing + kBlock, kBlock + 1, true},
    };
    for (const DigestAlgorithm algorithm : kEveryAlgorithm) {
        for (const Row& row : rows) {
            const std::string bytes = PatternBytes(row.length);
            const std::set<std::string> threadsBefore = ThreadsOfThisProcess();
            Digest digest(algorithm);
            const size_t piece = row.piece == 0 ? std::max<size_t>(row.length, 1) : row.piece;
            for (size_t at = 0; at < bytes.size();) {
                size_t length = std::min(piece, bytes.size() - at);
                const std::span<char> room = row.room ? digest.Room() : std::span<char>();
                if (room.empty()) {
                    digest.Update(bytes.data() + at, length);
                } else {
                    length = std::min(length, room.size());
                    std::memcpy(room.data(), bytes.data() + at, length);
                    digest.Update(room.data(), length);
                }
                at += length;
            }
            EXPECT_EQ(AThreadStartedSince(threadsBefore), thread(row)) << row.what;
            EXPECT_EQ(digest.Final(), ReferenceValue(algorithm, bytes))
                << DigestName(algorithm) << ": " << row.what;
        }
    }
}

// A transfer that fails or is cancelled drops its digest without Final(): wherever the stream
// stopped, the digest goes without a hang, and another one still gives true values afterwards.
TEST(Digest, DroppedWithoutFinalWhereverTheStreamStopped)
{
    const size_t rows[] = {
        0,                                             // nothing fed
        100,                                           // hashed in place only
        Digest::kInlineBytes + 1,                      // the thread just started
        Digest::kInlineBytes + Digest::kRingBlockSize, // a block handed over
        Digest::kInlineBytes + 2 * Digest::kRingBlocks * Digest::kRingBlockSize + 5, // ring busy
    };
    const std::string bytes = PatternBytes(rows[std::size(rows) - 1]);
    for (const DigestAlgorithm algorithm : kEveryAlgorithm) {
        for (const size_t length : rows) {
            auto digest = std::make_unique<Digest>(algorithm);
            digest->Update(bytes.data(), length);
            digest.reset();
        }
        Digest after(algorithm);
        after.Update(bytes.data(), bytes.size());
        EXPECT_EQ(after.Final(), ReferenceValue(algorithm, bytes)) << DigestName(algorithm);
    }
}

TEST(FileVerification, HashCommandChosenFromTheFeatures)
{
    struct Row {
        Lines features;
        std::string select, command;
        DigestAlgorithm algorithm;
    };
    const Row rows[] = {
        {{"HASH SHA-256*;SHA-1;MD5"}, "", "HASH", DigestAlgorithm::Sha256},
        {{"HASH SHA-1*;SHA-256;MD5"}, "OPTS HASH SHA-256", "HASH", DigestAlgorithm::Sha256},
        {{"HASH MD5*;SHA-1;CRC32"}, "OPTS HASH SHA-1", "HASH", DigestAlgorithm::Sha1},
        {{"HASH CRC32*"}, "", "HASH", DigestAlgorithm::Crc32},
        // HASH goes before the older commands, whatever their order in FEAT.
        {{"XSHA256", "hash md5*"}, "", "HASH", DigestAlgorithm::Md5},
        {{"XCRC", "XMD5", "XSHA1"}, "", "XSHA1", DigestAlgorithm::Sha1},
        {{"XMD5", "XSHA256"}, "", "XSHA256", DigestAlgorithm::Sha256},
        {{"XCRC"}, "", "XCRC", DigestAlgorithm::Crc32},
    };
    for (const Row& row : rows) {
        const auto choice = verify::ChooseHash(row.features);
        ASSERT_TRUE(choice) << row.features[0];
        EXPECT_EQ(choice->select, row.select) << row.features[0];
        EXPECT_EQ(choice->command, row.command) << row.features[0];
        EXPECT_EQ(choice->algorithm, row.algorithm) << row.features[0];
    }
    // Nothing offered that can be computed.
    EXPECT_FALSE(verify::ChooseHash({"MDTM", "HASH SHA-512*", "XSHA512"}));
    EXPECT_FALSE(verify::ChooseHash({"HASH"}));
}

TEST(FileVerification, ChecksumReadFromEachFormOfAnswer)
{
    const std::string md5 = "25f9e794323b453885f5181f1b624d0b";
    const std::string sha1 = "f7c3bc1d808e04732adf679965ccc34ca7ae3441";
    struct Row {
        std::string reply;
        DigestAlgorithm algorithm;
        std::string value; // "" for no value
    };
    const Row rows[] = {
        {"213 SHA-1 0-9 " + sha1 + " f.bin\r\n", DigestAlgorithm::Sha1, sha1},
        {"213 MD5 0-9 25F9E794323B453885F5181F1B624D0B nome com espaço\r\n", DigestAlgorithm::Md5,
         md5},
        {"250 " + md5 + "\r\n", DigestAlgorithm::Md5, md5},
        {"213 " + md5, DigestAlgorithm::Md5, md5},
        {"250 CBF43926\r\n", DigestAlgorithm::Crc32, "cbf43926"},
        // Another algorithm than asked for, a refusal, a value of the wrong length.
        {"213 MD5 0-9 " + md5 + " f.bin\r\n", DigestAlgorithm::Sha1, ""},
        {"500 Unknown command.\r\n", DigestAlgorithm::Md5, ""},
        {"550 " + md5 + "\r\n", DigestAlgorithm::Md5, ""},
        {"250 " + md5.substr(1) + "\r\n", DigestAlgorithm::Md5, ""},
        {"", DigestAlgorithm::Md5, ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(verify::HashOfReply(row.reply, row.algorithm).value_or(""), row.value)
            << row.reply;
}

TEST(FileTimes, TimeValsReadAndWritten)
{
    struct Row {
        std::string text;
        int64_t seconds; // -1: not a time
    };
    const Row rows[] = {
        {"19700101000000", 0},
        {"20200102030405", 1577934245},
        {"20200102030405.123", 1577934245},
        {"20240229235959", 1709251199},
        {"20230229000000", -1},
        {"2020010203040", -1},
        {"20200102030405.", -1},
        {"20201302030405", -1},
        {"2020010203040x", -1},
        {"", -1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(filetimes::ParseTimeVal(row.text).value_or(-1), row.seconds) << row.text;
        if (row.seconds >= 0) {
            EXPECT_EQ(filetimes::FormatTimeVal(row.seconds), row.text.substr(0, 14));
        }
    }
    EXPECT_EQ(filetimes::TimeOfMdtmReply("213 20200102030405\r\n").value_or(-1), 1577934245);
    EXPECT_FALSE(filetimes::TimeOfMdtmReply("550 No such file.\r\n"));
}

TEST(FileTimes, CommandsThatSetTheServersTime)
{
    const int64_t t = 1577934245;
    filetimes::ServerTimeSetting unknown, secondForm, mdtmForm, refused;
    secondForm.form = 1;
    mdtmForm.form = 2;
    refused.refused = true;
    struct Row {
        bool mfmt;
        filetimes::ServerTimeSetting known;
        Lines commands;
    };
    const Row rows[] = {
        {true, unknown, {"MFMT 20200102030405 a b"}},
        {true, refused, {"MFMT 20200102030405 a b"}},
        {false,
         unknown,
         {"SITE UTIME 20200102030405 a b",
          "SITE UTIME a b 20200102030405 20200102030405 20200102030405 UTC",
          "MDTM 20200102030405 a b"}},
        {false, secondForm, {"SITE UTIME a b 20200102030405 20200102030405 20200102030405 UTC"}},
        {false, mdtmForm, {"MDTM 20200102030405 a b"}},
        {false, refused, {}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(filetimes::TimeSettingCommands(row.mfmt, row.known, "a b", t), row.commands);
    // The form that worked is the one used from then on; none working, none is tried again.
    filetimes::ServerTimeSetting learnt;
    filetimes::NoteTimeSetting(learnt, false, 2);
    EXPECT_EQ(learnt.form, 2);
    filetimes::ServerTimeSetting none;
    filetimes::NoteTimeSetting(none, false, std::nullopt);
    EXPECT_TRUE(none.refused);
}

TEST(KeepAlive, NoopDueAfterTheIntervalUntilTheLimit)
{
    using std::chrono::seconds;
    const KeepAliveSchedule::TimePoint t0{};
    KeepAliveSchedule schedule;
    schedule.Configure(seconds(60), seconds(180));
    EXPECT_FALSE(schedule.NextDue()); // nothing sent yet: no session to keep
    schedule.NoteCommand(t0, false);
    // One row per moment: what happened then, and whether a NOOP is due.
    struct Row {
        int at;       // seconds after the user's last command at t0
        bool noopOut; // the keep-alive's NOOP went out at that moment
        bool due;
    };
    const Row rows[] = {
        {59, false, false},
        {60, false, true},
        {60, true, false},
        {119, false, false},
        {120, false, true},
        {120, true, false},
        {179, false, false},
        // 180 s without a command of the user's: no more NOOPs.
        {180, false, false},
        {600, false, false},
    };
    for (const Row& row : rows) {
        const auto now = t0 + seconds(row.at);
        if (row.noopOut) schedule.NoteCommand(now, true);
        EXPECT_EQ(schedule.Due(now), row.due) << row.at;
    }
    EXPECT_FALSE(schedule.NextDue());
    // A command of the user's starts it again.
    schedule.NoteCommand(t0 + seconds(700), false);
    EXPECT_EQ(schedule.NextDue(), t0 + seconds(760));
    // Off: never due.
    KeepAliveSchedule off;
    off.NoteCommand(t0, false);
    EXPECT_FALSE(off.Due(t0 + seconds(3600)));
}

// A server that offers HASH with SHA-1 in use; `hashReply` answers "HASH f" after the download.
struct HashSession : ScriptedSession {
    testsupport::TempDir dir;
    std::string payload;
    HashSession(TVerifyMode mode, const std::string& hashReply, std::string bytes = "123456789")
        : payload(std::move(bytes))
    {
        ftp.Passive = true;
        ftp.Verify = mode;
        ftp.OnFailure = [this](bool&, TCmdType type) {
            events.push_back(std::string("OnFailure ") + CmdTypeName(type));
        };
        LoggedInWith(server, {"HASH SHA-256;SHA-1*;MD5"})
            .Expect("TYPE I")
            .Reply("200 binary")
            .Expect("OPTS HASH SHA-256")
            .Reply("200 SHA-256")
            .PassiveListen()
            .Expect("PASV")
            .ReplyPasv()
            .Expect("RETR f")
            .Reply("150 go (" + std::to_string(payload.size()) + " bytes)")
            .AcceptData()
            .SendData(payload)
            .CloseData()
            .Reply("226 done")
            .Expect("HASH f")
            .Reply(hashReply);
        StartLoggedIn();
    }
};

// The verdict on a download at a server whose answer to "HASH f" is given: the file is verified
// and stays; or it fails with both values and is set aside as f.unverified (a long file too, hashed
// beside the transfer and received straight into the digest's blocks); or, with no value in the
// answer, it is good but unverified where that is allowed and a failure where it is required.
TEST(Verify, DownloadVerdicts)
{
    const std::string other(64, 'a');
    const std::string digits = "123456789";
    const std::string longFile =
        PatternBytes(Digest::kInlineBytes + Digest::kRingBlocks * Digest::kRingBlockSize + 777);
    const std::string refused = "500 HASH not understood.";
    struct Row {
        const char* what;
        TVerifyMode mode;
        const std::string& bytes;
        std::string hashReply;
        ErrorReason failure; // Unknown: no failure
        std::string keptAs;  // where the bytes are afterwards
        bool saysNotVerified;
        Lines events; // when checked
    };
    const auto answer = [](const std::string& value) { return "213 SHA-256 0-9 " + value + " f"; };
    const Row rows[] = {
        {"matching",
         TVerifyMode::Auto,
         digits,
         answer(kDigitsSha256),
         ErrorReason::Unknown,
         "f.part",
         false,
         {"OnSuccess ctDownload"}},
        {"mismatch",
         TVerifyMode::Auto,
         digits,
         answer(other),
         ErrorReason::VerificationFailed,
         "f.unverified",
         false,
         {"OnFailure ctDownload"}},
        {"long, matching",
         TVerifyMode::Auto,
         longFile,
         answer(testsupport::Sha256OfBytes(longFile)),
         ErrorReason::Unknown,
         "f.part",
         false,
         {}},
        {"long, mismatch",
         TVerifyMode::Auto,
         longFile,
         answer(other),
         ErrorReason::VerificationFailed,
         "f.unverified",
         false,
         {}},
        {"refused, auto",
         TVerifyMode::Auto,
         digits,
         refused,
         ErrorReason::Unknown,
         "f.part",
         true,
         {}},
        {"refused, required",
         TVerifyMode::Require,
         digits,
         refused,
         ErrorReason::VerificationUnavailable,
         "f.part",
         false,
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HashSession s(row.mode, row.hashReply, row.bytes);
        ErrorReason failure = ErrorReason::Unknown;
        try {
            s.ftp.Download("f", s.dir.File("f.part"));
        } catch (const FTPException& error) {
            failure = error.Reason();
            if (failure == ErrorReason::VerificationFailed) {
                EXPECT_NE(error.Message().find(testsupport::Sha256OfBytes(row.bytes)),
                          std::string::npos)
                    << error.Message();
                EXPECT_NE(error.Message().find(other), std::string::npos) << error.Message();
            }
        }
        EXPECT_EQ(failure, row.failure);
        EXPECT_EQ(s.ftp.LastTransferVerified(),
                  row.failure == ErrorReason::Unknown && !row.saysNotVerified);
        EXPECT_EQ(ReadFileBytes(s.dir.File(row.keptAs)), row.bytes);
        if (row.keptAs != "f.part") {
            EXPECT_FALSE(Exists(s.dir.File("f.part")));
        }
        EXPECT_EQ(std::any_of(s.status.begin(), s.status.end(),
                              [](const std::string& text) {
                                  return text.find("not verified") != std::string::npos;
                              }),
                  row.saysNotVerified);
        if (!row.events.empty()) {
            EXPECT_EQ(s.events, row.events);
        }
        EXPECT_TRUE(s.server.Verify());
    }
}

// An upload is hashed as it is sent (through the working buffer, not the kernel's file-to-socket
// path), and compared with the older commands' answer.
TEST(Verify, UploadComparedThroughTheOlderCommand)
{
    ScriptedSession s;
    testsupport::TempDir dir;
    s.ftp.Passive = true;
    s.ftp.Verify = TVerifyMode::Require;
    testsupport::WriteFileBytes(dir.File("up.bin"), "123456789");
    LoggedInWith(s.server, {"XCRC", "XMD5"})
        .Expect("TYPE I")
        .Reply("200 binary")
        .PassiveListen()
        .Expect("PASV")
        .ReplyPasv()
        .Expect("STOR up.bin")
        .Reply("150 go")
        .AcceptData()
        .ReceiveData()
        .Reply("226 done")
        .Expect("XMD5 up.bin")
        .Reply("250 25F9E794323B453885F5181F1B624D0B");
    s.StartLoggedIn();
    s.ftp.Upload(dir.File("up.bin"), "up.bin");
    EXPECT_TRUE(s.ftp.LastTransferVerified());
    EXPECT_EQ(s.server.ReceivedData(), Lines{"123456789"});
    EXPECT_TRUE(s.server.Verify());
}

// The NOOP of an idle session is answered late, after the user has started the next command:
// that command waits for the NOOP's reply before it goes out, and gets its own.
TEST(KeepAlive, LateNoopReplyIsNotTakenForTheNextCommands)
{
    ScriptedSession s;
    s.ftp.KeepAliveSeconds = 1;
    s.LoggedIn()
        .Expect("NOOP")
        .Pause(testsupport::ScriptedFtpServer::Ms(300))
        .Reply("200 NOOP ok")
        .Expect("PWD")
        .Reply("257 \"/pub\" is current");
    s.StartLoggedIn();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return s.ftp.Replies().Owed() > 0; }, 5000));
    EXPECT_EQ(s.ftp.CurrentDirectory(), "/pub");
    EXPECT_EQ(s.ftp.Replies().Owed(), 0);
    EXPECT_TRUE(s.server.Verify());
}

// A NOOP answered while nothing runs is paid by the idle reader, not reported as the server's own.
TEST(KeepAlive, IdleReaderPaysTheNoopReply)
{
    ScriptedSession s;
    s.ftp.KeepAliveSeconds = 1;
    s.ftp.KeepAliveLimitSeconds = 3;
    s.LoggedIn().Expect("NOOP").Reply("200 NOOP ok").Expect("NOOP").Reply("200 NOOP ok");
    s.StartLoggedIn();
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] { return s.Lines().size() >= 4 && s.ftp.Replies().Owed() == 0; }, 5000));
    // Past the limit nothing more goes out.
    testsupport::PumpFor(1500);
    EXPECT_EQ(s.Lines(), (Lines{"USER ana", "FEAT", "NOOP", "NOOP"}));
    EXPECT_TRUE(s.ftp.Connected);
    EXPECT_EQ(s.ftp.Replies().Owed(), 0);
}

} // namespace
