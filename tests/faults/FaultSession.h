#pragma once
// A scripted session for misbehaving servers: the FTP component, every status text and event it
// reports, a temporary directory for local files, and the checks every fault test ends with --
// the component is usable again, or says cleanly that it is not connected.
#include "ftp/FtpSession.h"
#include "ftp/ScriptedSession.h"
#include "support/EventLoop.h"
#include "support/Outcome.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace faults {

using Lines = std::vector<std::string>;

inline bool Contains(const Lines& texts, const std::string& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

inline bool AnyContains(const Lines& texts, const std::string& part)
{
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
        return text.find(part) != std::string::npos;
    });
}

using testsupport::MessageOf;
using testsupport::ReasonRaisedBy;

// Runs the event loop until `done` holds, as the application's own loop would between commands.
// Bounded, so a client that never gets there fails the test instead of hanging it.
inline bool RunEventLoopUntil(const std::function<bool()>& done)
{
    return testsupport::PumpUntil(done, 20000);
}

struct FaultSession : ftptest::ScriptedSession {
    testsupport::TempDir dir{"tavolen-faults"};
    bool handleFailures = false;
    int failures = 0;

    FaultSession()
    {
        ftp.Passive = true;
        ftp.OnFailure = [this](bool& handled, TCmdType type) {
            ++failures;
            events.push_back(std::string("OnFailure ") + CmdTypeName(type));
            handled = handleFailures;
        };
        ftp.OnTransactionStart = [this](TComponent*) { events.push_back("OnTransactionStart"); };
    }

    // Logged in, binary type chosen and a passive data channel announced: what every passive
    // transfer begins with.
    testsupport::ScriptedFtpServer& PreparedTransfer()
    {
        return LoggedIn()
            .Expect("TYPE I")
            .Reply("200 binary")
            .PassiveListen()
            .Expect("PASV")
            .ReplyPasv();
    }

    size_t Count(const std::string& event) const
    {
        return static_cast<size_t>(std::count(events.begin(), events.end(), event));
    }
};

// The session goes on: one more command, answered by the script's last two steps
// (Expect("NOOP").Reply("200 ...")), gets exactly its own reply.
inline void ExpectNextCommandWorks(FaultSession& s)
{
    s.failures = 0;
    EXPECT_NO_THROW(s.ftp.SendCommand("NOOP"));
    EXPECT_EQ(s.ftp.ReplyCode, 200) << s.ftp.LastReply;
    EXPECT_EQ(s.failures, 0);
    EXPECT_EQ(s.ftp.DataSocket, nullptr);
}

// The session is over and the component says so, without sending anything.
inline void ExpectNotConnected(FaultSession& s)
{
    EXPECT_FALSE(s.ftp.Connected);
    EXPECT_EQ(MessageOf([&] { s.ftp.ChangeDirectory("pub"); }), "Not Connected");
    EXPECT_EQ(MessageOf([&] { s.ftp.ListDirectory(); }), "Not Connected");
}

// A non-blocking session logged in to the scripted server as "ana", passive; `configure` sets
// what a test needs besides. Nothing when the login failed.
inline std::unique_ptr<FtpSession>
OpenedSession(testsupport::ScriptedFtpServer& server, int32_t timeOutMs,
              const std::function<void(TVaskFTP&)>& configure = {})
{
    auto ftp = std::make_unique<TVaskFTP>(nullptr);
    ftp->Host = "127.0.0.1";
    ftp->Port = server.Port();
    ftp->UserID = "ana";
    ftp->Password = "x";
    ftp->Passive = true;
    ftp->TimeOut = timeOutMs;
    if (configure) configure(*ftp);
    auto session = std::make_unique<FtpSession>(std::move(ftp));
    std::optional<transfer::Outcome> opened;
    session->Open([&](const transfer::Outcome& o) { opened = o; });
    if (!testsupport::PumpUntil([&] { return opened.has_value(); }) || !opened->ok) return nullptr;
    return session;
}

// Starts `request` (a file, a directory or a listing) and runs the event loop until it has
// ended; nothing when it did not start, or did not end within 5 s.
inline std::optional<transfer::Outcome> RunToEnd(FtpSession& session,
                                                 const transfer::Request& request)
{
    std::optional<transfer::Outcome> ended;
    auto done = [&](const transfer::Outcome& o) { ended = o; };
    const bool started =
        request.operation == transfer::Operation::List
            ? session.StartList(request, [&](const auto& o, const auto&) { done(o); })
            : session.Start(request, nullptr, done);
    if (!started || !testsupport::PumpUntil([&] { return ended.has_value(); }, 5000)) return {};
    return ended;
}

} // namespace faults
