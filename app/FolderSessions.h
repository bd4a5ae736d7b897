#pragma once
// The extra sessions of a folder transfer: each logs in as the window's own session did, to the
// same server with the same user, password, time-out and encryption (in passive mode), and trusts
// no certificate that the window's session would not have.
#include "net/TransferSession.h"

#include <memory>

class TVaskFTP;

namespace app {

// A session set up like `window`, which is logged in. Over TLS the extra one requires TLS and
// accepts the certificate the window's session carries (the user may have accepted it for this
// session only); in clear it goes on in clear, as the user already agreed for this server.
std::unique_ptr<transfer::Session> SessionLike(TVaskFTP& window);

} // namespace app
