// Inputs the fuzz targets turned up, kept as scripted sessions.
#include "FaultSession.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using faults::FaultSession;

// The proxy hung up in the middle of a multi-line answer to SITE, with half a line still on its
// way. The login went on as if it were connected and failed on the next write with a socket
// error; it is the server's hang-up, and is reported as such.
TEST(FuzzFindings, AProxyThatHangsUpInTheMiddleOfAReplyFailsTheLoginAsAHangUp)
{
    FaultSession s;
    s.ftp.Host = std::string(64, 'h') + ".exemplo"; // travels inside SITE, never looked up
    s.ftp.Proxy = "127.0.0.1";
    s.ftp.ProxyPort = s.server.Port();
    s.ftp.FirewallType = FtSite;
    s.server.Reply("220 proxy")
        .ExpectPrefix("SITE ")
        .Send(std::string("211-status\r\n line\r\n211-mais\r\n") + '\0' + "220  ")
        .Close();
    s.server.Start();

    EXPECT_EQ(faults::ReasonRaisedBy([&] { s.ftp.Connect(); }), ErrorReason::ServerClosed);
    EXPECT_TRUE(faults::Contains(s.events, "OnConnectionFailed"));
    faults::ExpectNotConnected(s);
}

} // namespace
