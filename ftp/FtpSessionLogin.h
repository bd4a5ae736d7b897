#pragma once
// Internal to FtpSession: the state of a login under way (FtpSessionLogin.cpp).
#include "ftp/FtpSession.h"
#include "net/ThreadTimer.h"
#include "platform/HostLookup.h"

#include <chrono>
#include <optional>
#include <vector>

struct FtpSession::Login {
    using Clock = std::chrono::steady_clock;

    enum class Phase { Resolving, Connecting, Securing, Asked, Replies, Setup, Quitting };

    ~Login()
    {
        if (lookupRequest != 0) platform::CancelAsyncRequest(lookupRequest);
        if (window) platform::ForgetLookupsOf(window.get());
    }

    Phase phase = Phase::Resolving;
    transfer::DoneHandler done;
    // The handshake has begun: the connection's notifications step it.
    bool tlsBegun = false;
    // The lookup's answers come here.
    std::unique_ptr<platform::NotificationWindow> window;
    std::unique_ptr<TThreadTimer> timer;
    Clock::time_point lastProgress = Clock::now();
    int lookupRequest = 0;
    platform::HostEntry entry;
    bool invalidHostAsked = false;
    std::vector<platform::SocketAddress> addresses;
    size_t attempt = 0;
    // From the connection on: the control connection is the login's, and no read of the event
    // loop takes its bytes.
    std::optional<TVaskFTP::ControlUse> use;
    // The status handler before the login masked it.
    std::optional<TOnStatus> shown;
    std::optional<LoginOperation> machine;
    std::optional<SetupOperation> setup;
    // The certificate the user was asked about.
    TCertificateInfo questioned;
    // The question the owner has still to answer (Asked).
    FtpSession::Question::Kind asked = FtpSession::Question::Kind::Certificate;
    // While QUIT is out after a failure: that failure.
    transfer::Outcome failure;
};
