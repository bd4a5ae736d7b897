#pragma once
// ftpdrive over SFTP: the commands run through one sftp::SftpSession, the event loop turning
// until each one ends, and the settings of a session drawn from the options. mirror takes the
// same settings for each of its sessions (Mirror.cpp).
#include "tools/ftpdrive/Options.h"

#include "sftp/SshTransport.h"

#include <string>
#include <vector>

namespace sftp {
class SftpSessionFactory;
}

namespace ftpdrive {

sftp::ConnectOptions SftpConnectOptions(const Options& options);

// Runs every command; the exit status.
int RunSftp(const Options& options);

// For a host key that was refused: how to accept it, or that the pin given is not it.
std::string HostKeyAdvice(const Options& options, const sftp::HostKey& key);

// mirror: a failure that names the host key its sessions were refused for gets the advice a
// single command gives, unless the key has changed.
void AddHostKeyAdvice(const Options& options, const sftp::SftpSessionFactory& sessions,
                      std::vector<std::string>& failures);

} // namespace ftpdrive
