#pragma once
// The extra sessions of a folder transfer: each logs in as the window's own session did, to the
// same server with the same user, password, time-out and encryption (in passive mode). The
// factory they come from (ftp/FtpSessionFactory.h) is bound to the window's session: over TLS
// each requires TLS and the certificate the window's session carries (the user may have
// accepted it for this session only), and trusts no other; in clear each goes on in clear, as
// the user already agreed for this server.
class TVaskFTP;

namespace app {

// Sets up `ftp` with the window's server, login and settings.
void SetUpLike(TVaskFTP& ftp, const TVaskFTP& window);

} // namespace app
