// ftpdrive against real servers that listen on ::1 only: listings and transfers in both modes,
// through the extended commands (PASV and PORT cannot carry an IPv6 address), byte for byte.
#include "FtpdriveRun.h"

#include "support/RealServers.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using ftpdrivetest::Drive;
using ftpdrivetest::Dump;
using ftpdrivetest::RunFtpdrive;
using testsupport::IpFamily;
using testsupport::Sha256OfBytes;
using testsupport::Sha256OfFile;

enum class Server { Pyftpdlib, Vsftpd };
enum class Command { Ls, Get, Put };

struct Row {
    Server server;
    bool passive;
    Command command;
};

std::string RowName(const ::testing::TestParamInfo<Row>& info)
{
    const char* const commands[] = {"Ls", "Get", "Put"};
    return std::string(info.param.server == Server::Pyftpdlib ? "Pyftpdlib" : "Vsftpd") +
           (info.param.passive ? "Passive" : "Active") +
           commands[static_cast<int>(info.param.command)];
}

void PrintTo(const Row& row, std::ostream* out) { *out << RowName({row, 0}); }

// A command as the server logged receiving it: pyftpdlib writes "<- EPSV", vsftpd
// `FTP command: Client "::1", "EPSV"`.
bool Received(const std::string& log, const std::string& command)
{
    return log.find("<- " + command) != std::string::npos ||
           log.find("\"" + command) != std::string::npos;
}

class Ipv6Transfer : public ::testing::TestWithParam<Row> {};

TEST_P(Ipv6Transfer, GoesThroughTheExtendedCommandsByteForByte)
{
    const Row& row = GetParam();
    std::unique_ptr<testsupport::RealServer> server;
    std::vector<std::string> login;
    std::string ftpDir, diskDir;
    if (row.server == Server::Pyftpdlib) {
        TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
        auto py = std::make_unique<testsupport::PyftpdlibServer>();
        ASSERT_TRUE(py->Start(IpFamily::V6));
        login = {"--user", py->User(), "--password", py->Password()};
        ftpDir = "/";
        diskDir = py->Root();
        server = std::move(py);
    } else {
        TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd (as root)");
        auto vs = std::make_unique<testsupport::VsftpdServer>();
        ASSERT_TRUE(vs->Start(IpFamily::V6));
        ftpDir = testsupport::VsftpdServer::WritableFtpPath() + "/";
        diskDir = vs->WritableDir();
        server = std::move(vs);
    }
    std::string payload;
    while (payload.size() < 150000) payload += testsupport::AllByteValuesWithCrLf();
    testsupport::TempDir local;
    testsupport::WriteFileBytes(diskDir + "/on-server.bin", payload);
    testsupport::WriteFileBytes(local.File("to-send.bin"), payload);

    std::vector<std::string> args{"--host", "::1", "--port", std::to_string(server->Port())};
    args.insert(args.end(), login.begin(), login.end());
    if (row.passive) args.push_back("--passive");
    switch (row.command) {
    case Command::Ls: args.insert(args.end(), {"cd", ftpDir, "ls"}); break;
    case Command::Get:
        args.insert(args.end(), {"get", ftpDir + "on-server.bin", local.File("fetched.bin")});
        break;
    case Command::Put:
        args.insert(args.end(), {"put", local.File("to-send.bin"), ftpDir + "sent.bin"});
        break;
    }
    const Drive d = RunFtpdrive(args);
    ASSERT_EQ(d.exitCode, 0) << Dump(d) << server->Log();

    switch (row.command) {
    case Command::Ls: EXPECT_EQ(d.CountContaining(" on-server.bin"), 1u) << Dump(d); break;
    case Command::Get:
        EXPECT_EQ(Sha256OfFile(local.File("fetched.bin")), Sha256OfBytes(payload));
        break;
    case Command::Put:
        EXPECT_EQ(Sha256OfFile(diskDir + "/sent.bin"), Sha256OfBytes(payload));
        break;
    }
    const std::string log = server->Log();
    EXPECT_TRUE(Received(log, row.passive ? "EPSV" : "EPRT |2|::1|")) << log;
    EXPECT_FALSE(Received(log, "PASV") || Received(log, "PORT ")) << log;
}

std::vector<Row> AllRows()
{
    std::vector<Row> rows;
    for (Server server : {Server::Pyftpdlib, Server::Vsftpd})
        for (bool passive : {true, false})
            for (Command command : {Command::Ls, Command::Get, Command::Put})
                rows.push_back({server, passive, command});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Servers, Ipv6Transfer, ::testing::ValuesIn(AllRows()), RowName);

} // namespace
