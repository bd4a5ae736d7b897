#pragma once
// ftpdrive over SFTP: the commands run through one sftp::SftpSession, the event loop turning
// until each one ends, and the settings of a session drawn from the options. mirror takes the
// same settings for each of its sessions (Mirror.cpp).
#include "tools/ftpdrive/Options.h"

#include "sftp/SshTransport.h"

#include <string>

namespace ftpdrive {

sftp::ConnectOptions SftpConnectOptions(const Options& options);

// Runs every command; the exit status.
int RunSftp(const Options& options);

// For a host key that was refused: how to accept it, or that the pin given is not it.
std::string HostKeyAdvice(const Options& options, const sftp::HostKey& key);

} // namespace ftpdrive
