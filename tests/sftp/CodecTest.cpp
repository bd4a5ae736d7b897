// The SFTP codec without sockets: requests as the bytes they must be, replies and malformed
// packets as the bytes a server might send.
#include "sftp/Codec.h"
#include "sftp/Listing.h"
#include "sftp/SftpSession.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>

namespace {

using namespace sftp;

// "00000005 01 00000003": hex digits, spaces ignored; 'text' in quotes goes in as it is.
std::string Hex(std::string_view text)
{
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ') continue;
        if (text[i] == '\'') {
            const size_t end = text.find('\'', i + 1);
            bytes.append(text.substr(i + 1, end - i - 1));
            i = end;
            continue;
        }
        bytes.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        ++i;
    }
    return bytes;
}

struct EncodeCase {
    const char* name;
    std::function<std::string()> encode;
    const char* expected;
};

TEST(SftpCodec, RequestsAreTheBytesTheProtocolNames)
{
    Attributes times;
    times.atime = 0x01020304;
    times.mtime = 0x05060708;
    Attributes mode;
    mode.permissions = 0755;
    Attributes everything;
    everything.size = 0x100000000ull;
    everything.uid = 1;
    everything.gid = 2;
    everything.permissions = 0100644;
    everything.atime = 3;
    everything.mtime = 4;
    const EncodeCase cases[] = {
        {"init", [] { return EncodeInit(); }, "00000005 01 00000003"},
        {"open", [] { return EncodeOpen(7, "a", kOpenWrite | kOpenCreate | kOpenTruncate); },
         "00000012 03 00000007 00000001'a' 0000001a 00000000"},
        {"open with mode", [&] { return EncodeOpen(1, "f", kOpenRead, mode); },
         "00000016 03 00000001 00000001'f' 00000001 00000004 000001ed"},
        {"close", [] { return EncodeClose(2, "h1"); }, "0000000b 04 00000002 00000002'h1'"},
        {"read", [] { return EncodeRead(3, "h", 0x123456789ull, 32768); },
         "00000016 05 00000003 00000001'h' 0000000123456789 00008000"},
        {"write", [] { return EncodeWrite(4, "h", 5, std::string("x\0y", 3)); },
         "00000019 06 00000004 00000001'h' 0000000000000005 00000003 780079"},
        {"opendir", [] { return EncodeOpendir(5, "/d"); }, "0000000b 0b 00000005 00000002'/d'"},
        {"readdir", [] { return EncodeReaddir(6, "h"); }, "0000000a 0c 00000006 00000001'h'"},
        {"lstat", [] { return EncodeLstat(7, "l"); }, "0000000a 07 00000007 00000001'l'"},
        {"stat", [] { return EncodeStat(8, "s"); }, "0000000a 11 00000008 00000001's'"},
        {"fstat", [] { return EncodeFstat(9, "h"); }, "0000000a 08 00000009 00000001'h'"},
        {"setstat times", [&] { return EncodeSetstat(10, "p", times); },
         "00000016 09 0000000a 00000001'p' 00000008 01020304 05060708"},
        {"fsetstat everything", [&] { return EncodeFsetstat(11, "h", everything); },
         "0000002a 0a 0000000b 00000001'h' 0000000f 0000000100000000 00000001 00000002"
         " 000081a4 00000003 00000004"},
        {"remove", [] { return EncodeRemove(12, "r"); }, "0000000a 0d 0000000c 00000001'r'"},
        {"mkdir", [] { return EncodeMkdir(13, "m"); }, "0000000e 0e 0000000d 00000001'm' 00000000"},
        {"rmdir", [] { return EncodeRmdir(14, "m"); }, "0000000a 0f 0000000e 00000001'm'"},
        {"realpath", [] { return EncodeRealpath(15, "."); }, "0000000a 10 0000000f 00000001'.'"},
        {"readlink", [] { return EncodeReadlink(16, "k"); }, "0000000a 13 00000010 00000001'k'"},
        {"rename", [] { return EncodeRename(17, "a", "bc"); },
         "00000010 12 00000011 00000001'a' 00000002'bc'"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.encode(), Hex(c.expected)) << c.name;
}

struct DecodeCase {
    const char* name;
    const char* packet; // without its length
    std::function<void(const Reply&)> check;
};

TEST(SftpCodec, RepliesDecodeEveryField)
{
    const DecodeCase cases[] = {
        {"version with an extension", "02 00000003 00000001'x' 00000001'1'",
         [](const Reply& r) {
             EXPECT_EQ(r.id, 3u);
             ASSERT_EQ(r.extensions.size(), 1u);
             EXPECT_EQ(r.extensions[0].first, "x");
         }},
        {"status", "65 00000009 00000002 00000004'gone' 00000002'en'",
         [](const Reply& r) {
             EXPECT_EQ(r.id, 9u);
             EXPECT_EQ(r.status, StatusCode::NoSuchFile);
             EXPECT_EQ(r.message, "gone");
         }},
        {"status of an old server, code alone", "65 00000009 00000001",
         [](const Reply& r) { EXPECT_EQ(r.status, StatusCode::Eof); }},
        {"handle", "66 00000001 00000003'abc'", [](const Reply& r) { EXPECT_EQ(r.handle, "abc"); }},
        {"data with a NUL", "67 00000002 00000003 610062",
         [](const Reply& r) { EXPECT_EQ(r.data, std::string("a\0b", 3)); }},
        {"name with attributes",
         "68 00000004 00000002 00000001'f' 00000003'l f' 0000000d 0000000000000010 000081a4"
         " 00000000 5f5e1000 00000001'd' 00000000 00000004 000041ed",
         [](const Reply& r) {
             ASSERT_EQ(r.names.size(), 2u);
             EXPECT_EQ(r.names[0].name, "f");
             EXPECT_EQ(r.names[0].longName, "l f");
             EXPECT_EQ(r.names[0].attributes.size, 16u);
             EXPECT_EQ(r.names[0].attributes.mtime, 0x5f5e1000u);
             EXPECT_EQ(r.names[1].attributes.permissions, 040755u);
         }},
        {"attrs with uid, gid and an extended pair",
         "69 00000005 80000002 00000003 00000004 00000001 00000001'k' 00000001'v'",
         [](const Reply& r) {
             EXPECT_EQ(r.attributes.uid, 3u);
             EXPECT_EQ(r.attributes.gid, 4u);
             ASSERT_EQ(r.attributes.extended.size(), 1u);
             EXPECT_EQ(r.attributes.extended[0].second, "v");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(DecodeReply(Hex(c.packet)));
    }
}

struct MalformedCase {
    const char* name;
    std::string packet;
    Fault fault;
};

TEST(SftpCodec, MalformedRepliesAreTypedErrors)
{
    const MalformedCase cases[] = {
        {"nothing", "", Fault::Empty},
        {"type alone", "65", Fault::Truncated},
        {"id cut short", "65 0000", Fault::Truncated},
        {"string longer than the packet", "66 00000001 00000010'abc'", Fault::Truncated},
        {"string length near 4 GiB", "67 00000001 ffffffff 00", Fault::Truncated},
        {"bytes after the last field", "66 00000001 00000001'a' 00", Fault::TrailingBytes},
        {"status with a message but no language", "65 00000001 00000000 00000001'm'",
         Fault::Truncated},
        {"a request type", "03 00000001", Fault::UnknownType},
        {"an unknown type", "c8 00000001", Fault::UnknownType},
        {"name counting 4 billion entries", "68 00000001 ffffffff 00000001'f'", Fault::Truncated},
        {"name entry without attributes", "68 00000001 00000001 00000001'f' 00000000",
         Fault::Truncated},
        {"attrs flags promise a size", "69 00000001 00000001 0000", Fault::Truncated},
        {"attrs counting 4 billion extended pairs", "69 00000001 80000000 ffffffff",
         Fault::Truncated},
        {"handle past 256 bytes", "66 00000001 00000101 '" + std::string(257, 'h') + "'",
         Fault::TooLong},
    };
    for (const auto& c : cases) {
        try {
            DecodeReply(Hex(c.packet));
            ADD_FAILURE() << c.name << ": decoded";
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error.Which(), c.fault) << c.name << ": " << error.what();
            EXPECT_EQ(error.Reason(), ErrorReason::BadReply) << c.name;
        }
    }
}

TEST(SftpCodec, FramerJoinsPacketsSplitAnywhere)
{
    const std::string stream =
        Hex("00000005 65 00000001 00000006 66 00000002 00") + Hex("00000001 02");
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Framer framer;
        std::vector<std::string> packets;
        framer.Feed(std::string_view(stream).substr(0, cut));
        while (auto packet = framer.Next()) packets.push_back(*packet);
        framer.Feed(std::string_view(stream).substr(cut));
        while (auto packet = framer.Next()) packets.push_back(*packet);
        ASSERT_EQ(packets.size(), 3u) << "cut at " << cut;
        EXPECT_EQ(packets[1], Hex("66 00000002 00"));
        EXPECT_EQ(packets[2], Hex("02"));
        EXPECT_EQ(framer.Buffered(), 0u);
    }
}

TEST(SftpCodec, FramerRefusesLengthsPastTheLimitBeforeTheyArrive)
{
    const struct {
        const char* header;
        Fault fault;
    } cases[] = {{"00000000", Fault::Empty},
                 {"00000401", Fault::TooLong}, // one past the 1 KiB limit below
                 {"ffffffff", Fault::TooLong}};
    for (const auto& c : cases) {
        Framer framer(1024);
        framer.Feed(Hex(c.header));
        try {
            framer.Next();
            ADD_FAILURE() << c.header << ": accepted";
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error.Which(), c.fault) << c.header;
        }
    }
    Framer framer(1024);
    framer.Feed(Hex("00000400") + std::string(1024, 'x'));
    EXPECT_TRUE(framer.Next().has_value()) << "a packet of exactly the limit";
}

// A started codec that has read the server's VERSION.
Codec Versioned()
{
    Codec codec;
    codec.Start();
    codec.Feed(Hex("00000005 02 00000003"));
    EXPECT_TRUE(codec.Next().has_value());
    return codec;
}

struct MatchCase {
    const char* name;
    PacketType request; // sent as id 1, a READ of 4 bytes
    const char* reply;  // with its length
    std::optional<Fault> fault;
};

TEST(SftpCodec, RepliesAreMatchedToTheirRequests)
{
    const MatchCase cases[] = {
        {"handle for open", PacketType::Open, "00000009 66 00000001 00000000", std::nullopt},
        {"status for open", PacketType::Open, "00000011 65 00000001 00000003 00000000 00000000",
         std::nullopt},
        {"data for read", PacketType::Read, "0000000d 67 00000001 00000004 61626364", std::nullopt},
        {"attrs for fstat", PacketType::Fstat, "00000009 69 00000001 00000000", std::nullopt},
        {"status for mkdir", PacketType::Mkdir, "00000009 65 00000001 00000000", std::nullopt},
        {"reply to a request never sent", PacketType::Open, "00000009 66 00000002 00000000",
         Fault::UnknownRequest},
        {"handle for a read", PacketType::Read, "00000009 66 00000001 00000000",
         Fault::UnexpectedReply},
        {"data for a remove", PacketType::Remove, "00000009 67 00000001 00000000",
         Fault::UnexpectedReply},
        {"more data than the read asked for", PacketType::Read,
         "0000000e 67 00000001 00000005 6162636465", Fault::TooMuchData},
        {"realpath answered with two names", PacketType::Realpath,
         "00000023 68 00000001 00000002 00000001'a' 00000000 00000000 00000001'b' 00000000"
         " 00000000",
         Fault::UnexpectedReply},
        {"a second version", PacketType::Open, "00000005 02 00000003", Fault::BadVersion},
    };
    for (const auto& c : cases) {
        Codec codec = Versioned();
        const uint32_t id = codec.Send(
            c.request, [](uint32_t id) { return EncodeRead(id, "h", 0, 4); }, 4);
        ASSERT_EQ(id, 1u);
        codec.Feed(Hex(c.reply));
        try {
            auto reply = codec.Next();
            ASSERT_TRUE(reply.has_value()) << c.name;
            EXPECT_FALSE(c.fault) << c.name << ": accepted";
            EXPECT_EQ(reply->request, c.request) << c.name;
            EXPECT_EQ(codec.InFlight(), 0u) << c.name;
        } catch (const ProtocolError& error) {
            ASSERT_TRUE(c.fault) << c.name << ": " << error.what();
            EXPECT_EQ(error.Which(), *c.fault) << c.name << ": " << error.what();
        }
    }
}

TEST(SftpCodec, VersionMustComeFirstAndBeThree)
{
    const struct {
        const char* reply;
        std::optional<Fault> fault;
    } cases[] = {{"00000005 02 00000003", std::nullopt},
                 {"00000005 02 00000006", Fault::BadVersion},
                 {"00000009 65 00000001 00000000", Fault::BadVersion}};
    for (const auto& c : cases) {
        Codec codec;
        codec.Start();
        EXPECT_EQ(codec.Outgoing(), Hex("00000005 01 00000003"));
        codec.Feed(Hex(c.reply));
        try {
            codec.Next();
            EXPECT_FALSE(c.fault) << c.reply;
            EXPECT_TRUE(codec.Started());
        } catch (const ProtocolError& error) {
            ASSERT_TRUE(c.fault) << c.reply;
            EXPECT_EQ(error.Which(), *c.fault) << c.reply;
        }
    }
}

TEST(SftpCodec, RequestsInFlightGetDistinctIdsAndRepliesInAnyOrder)
{
    Codec codec = Versioned();
    const auto read = [](uint32_t id) { return EncodeRead(id, "h", 0, 1); };
    const uint32_t first = codec.Send(PacketType::Read, read, 1);
    const uint32_t second = codec.Send(PacketType::Read, read, 1);
    EXPECT_NE(first, second);
    EXPECT_EQ(codec.InFlight(), 2u);
    codec.Feed(Hex("0000000a 67 00000002 00000001'b' 0000000a 67 00000001 00000001'a'"));
    EXPECT_EQ(codec.Next()->data, "b");
    EXPECT_EQ(codec.Next()->data, "a");
    EXPECT_FALSE(codec.Next().has_value());
    EXPECT_EQ(codec.InFlight(), 0u);
    codec.Feed(Hex("0000000a 67 00000001 00000001'a'"));
    EXPECT_THROW(codec.Next(), ProtocolError) << "a second reply to the same request";
}

TEST(SftpCodec, DirectoryEntriesTakeTheirKindFromThePermissions)
{
    const auto named = [](const char* name, std::optional<uint32_t> permissions) {
        NameEntry entry;
        entry.name = name;
        entry.attributes.permissions = permissions;
        entry.attributes.size = 5;
        entry.attributes.mtime = 1700000000;
        return entry;
    };
    using Kind = transfer::RemoteEntry::Kind;
    std::vector<transfer::RemoteEntry> entries;
    AppendEntries({named(".", 040755), named("..", 040755), named("f", 0100644), named("d", 040700),
                   named("l", 0120777), named("p", 010644), named("none", std::nullopt)},
                  entries);
    ASSERT_EQ(entries.size(), 5u);
    const Kind expected[] = {Kind::File, Kind::Directory, Kind::Link, Kind::Other, Kind::Other};
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].kind, expected[i]) << i;
    EXPECT_EQ(entries[0].size, 5u);
    EXPECT_EQ(entries[0].modifiedUtc, 1700000000);

    for (const char* bad : {"a/b", "../x", "/", ""}) {
        std::vector<transfer::RemoteEntry> none;
        EXPECT_THROW(AppendEntries({named(bad, 0100644)}, none), ProtocolError) << bad;
    }
    std::vector<transfer::RemoteEntry> none;
    NameEntry withNul = named("x", 0100644);
    withNul.name = std::string("a\0b", 3);
    EXPECT_THROW(AppendEntries({withNul}, none), ProtocolError);
}

} // namespace

// What the queue learns of an SFTP failure: a status code, or how the connection ended, as the
// session interface's kinds, which decide whether a file is tried again.
TEST(SftpSession, FailuresAreToldAsTheInterfaceKinds)
{
    using transfer::FailureKind;
    const struct {
        const char* what;
        ErrorReason reason;
        StatusCode status;
        bool opening;
        FailureKind kind;
    } cases[] = {
        {"no such file", ErrorReason::ServerRefused, StatusCode::NoSuchFile, false,
         FailureKind::RefusedForGood},
        {"permission denied", ErrorReason::ServerRefused, StatusCode::PermissionDenied, false,
         FailureKind::RefusedForGood},
        {"unsupported", ErrorReason::ServerRefused, StatusCode::OpUnsupported, false,
         FailureKind::RefusedForGood},
        {"a failure that says nothing", ErrorReason::ServerRefused, StatusCode::Failure, false,
         FailureKind::RefusedForNow},
        {"connection lost status", ErrorReason::ServerRefused, StatusCode::ConnectionLost, false,
         FailureKind::ConnectionLost},
        {"server closed", ErrorReason::ServerClosed, StatusCode::Ok, false,
         FailureKind::ConnectionLost},
        {"timed out", ErrorReason::TimedOut, StatusCode::Ok, false, FailureKind::TimedOut},
        {"local file", ErrorReason::FileWrite, StatusCode::Ok, false, FailureKind::LocalFailure},
        {"canceled", ErrorReason::Canceled, StatusCode::Ok, false, FailureKind::Canceled},
        {"login refused", ErrorReason::ServerRefused, StatusCode::Ok, true,
         FailureKind::LoginRefused},
        {"host key refused", ErrorReason::CertificateRejected, StatusCode::Ok, true,
         FailureKind::RefusedForGood},
        {"connect failed", ErrorReason::ConnectFailed, StatusCode::Ok, true,
         FailureKind::ConnectionLost},
    };
    for (const auto& c : cases) {
        transfer::Outcome outcome;
        outcome.message = c.what;
        outcome.reason = c.reason;
        outcome.replyCode = static_cast<int>(c.status);
        EXPECT_EQ(transfer::KindOf(SftpSession::Classified(outcome, c.opening)), c.kind) << c.what;
    }
    EXPECT_EQ(transfer::KindOf(SftpSession::Classified(transfer::Outcome::Success(), false)),
              FailureKind::None);
}
