// Login, logout and the single-command operations against a real pyftpdlib server; and a session
// left idle at a vsftpd that closes idle sessions.
#include "ftp/VaskFtp.h"
#include "support/EventLoop.h"
#include "support/RealServers.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using testsupport::PyftpdlibServer;

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

struct Client {
    TVaskFTP ftp{nullptr};
    std::vector<std::string> events;

    Client(const PyftpdlibServer& server, const std::string& password)
    {
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.UserID = server.User();
        ftp.Password = password;
        ftp.OnConnect = [this](TComponent*) { events.push_back("OnConnect"); };
        ftp.OnConnectionFailed = [this](TComponent*) { events.push_back("OnConnectionFailed"); };
        ftp.OnDisconnect = [this](TComponent*) { events.push_back("OnDisconnect"); };
    }
};

TEST(PyftpdlibSession, GoodPasswordLogsInAndDirectoryCommandsWork)
{
    TAVOLEN_REQUIRE(PyftpdlibServer::Available(), "pyftpdlib");
    PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    Client c(server, server.Password());

    c.ftp.Connect();
    ASSERT_TRUE(c.ftp.Connected);
    EXPECT_EQ(c.events, std::vector<std::string>{"OnConnect"});
    EXPECT_EQ(c.ftp.CurrentDirectory(), "/");

    c.ftp.MakeDirectory("novo");
    EXPECT_TRUE(IsDirectory(server.Root() + "/novo"));
    c.ftp.ChangeDirectory("novo");
    EXPECT_EQ(c.ftp.CurrentDirectory(), "/novo");

    testsupport::WriteFileBytes(server.Root() + "/novo/velho.txt", "apagar");
    c.ftp.DeleteFile("velho.txt");
    EXPECT_FALSE(Exists(server.Root() + "/novo/velho.txt"));

    // The server doubles a quote that is part of the directory's name.
    c.ftp.MakeDirectory("com\"aspas");
    c.ftp.ChangeDirectory("com\"aspas");
    EXPECT_EQ(c.ftp.CurrentDirectory(), "/novo/com\"aspas");

    EXPECT_THROW(c.ftp.ChangeDirectory("/nao-existe"), FTPException);
    EXPECT_TRUE(c.ftp.Connected); // a refused command leaves the session usable
    c.ftp.ChangeDirectory("/");

    c.ftp.Disconnect();
    EXPECT_FALSE(c.ftp.Connected);
    EXPECT_EQ(c.events.back(), "OnDisconnect");
}

// MLST tells what one path is, with its facts in UTC, names with blanks and semicolons too.
TEST(PyftpdlibSession, DescribePathTellsFilesFromDirectories)
{
    TAVOLEN_REQUIRE(PyftpdlibServer::Available(), "pyftpdlib");
    PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_EQ(::mkdir((server.Root() + "/a dir").c_str(), 0755), 0);
    testsupport::WriteFileBytes(server.Root() + "/a dir/b; c.txt", "12345");
    Client c(server, server.Password());
    c.ftp.Connect();

    const std::optional<TFTPListEntry> file = c.ftp.DescribePath("/a dir/b; c.txt");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->kind, TEntryKind::File);
    EXPECT_EQ(file->size, std::optional<uint64_t>(5));
    EXPECT_TRUE(file->modified.utc);
    const std::optional<TFTPListEntry> dir = c.ftp.DescribePath("/a dir");
    ASSERT_TRUE(dir.has_value());
    EXPECT_EQ(dir->kind, TEntryKind::Directory);
    EXPECT_FALSE(c.ftp.DescribePath("/nao-existe").has_value());
    EXPECT_TRUE(c.ftp.Connected);
    c.ftp.Disconnect();
}

TEST(PyftpdlibSession, BadPasswordFailsTheLoginAndDisconnects)
{
    TAVOLEN_REQUIRE(PyftpdlibServer::Available(), "pyftpdlib");
    PyftpdlibServer server;
    ASSERT_TRUE(server.Start());
    Client c(server, "errada");

    try {
        c.ftp.Connect();
        ADD_FAILURE() << "no exception";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message().rfind("530", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(c.ftp.Connected);
    EXPECT_EQ(c.events.front(), "OnConnectionFailed");

    // The component can log in again at once, with the right password.
    c.ftp.Password = server.Password();
    c.ftp.Connect();
    EXPECT_TRUE(c.ftp.Connected);
    c.ftp.Disconnect();
}

// vsftpd closes a session that sends no command for kServerIdleSeconds. Left idle three times
// that long with the event loop running, a session whose keep-alive is on is still there and
// answers; without it, the server's 421 and close are noticed while idle.
TEST(VsftpdSession, KeepAliveOutlastsTheServersIdleLimit)
{
    TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd (as root)");
    constexpr int kServerIdleSeconds = 2;
    constexpr int kIdleMs = 3 * kServerIdleSeconds * 1000;
    struct Row {
        const char* what;
        int32_t keepAliveSeconds;
        bool stays;
    };
    const Row rows[] = {
        {"NOOP after a second without a command", 1, true},
        {"no keep-alive", 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        testsupport::VsftpdServer server;
        server.CloseIdleSessionsAfter(kServerIdleSeconds);
        ASSERT_TRUE(server.Start());
        TVaskFTP ftp(nullptr);
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.UserID = server.User();
        ftp.Password = server.Password();
        ftp.KeepAliveSeconds = row.keepAliveSeconds;
        ftp.KeepAliveLimitSeconds = 60;
        int disconnects = 0;
        ftp.OnDisconnect = [&](TComponent*) { ++disconnects; };
        ftp.Connect();
        ASSERT_TRUE(ftp.Connected);

        testsupport::PumpUntil([&] { return !ftp.Connected; }, kIdleMs);
        EXPECT_EQ(ftp.Connected, row.stays);
        EXPECT_EQ(disconnects, row.stays ? 0 : 1);
        if (row.stays) {
            EXPECT_EQ(ftp.CurrentDirectory(), "/");
            EXPECT_NE(server.Log().find("NOOP"), std::string::npos) << server.Log();
            ftp.Disconnect();
        }
    }
}

} // namespace
