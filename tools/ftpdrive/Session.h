#pragma once
// One run of ftpdrive against a server: the component set up from the options, its events
// printed as they fire, and each command carried out.
#include "tools/ftpdrive/Options.h"

#include "ftp/VaskFtp.h"

#include <string>

namespace ftpdrive {

void Configure(TVaskFTP& ftp, const Options& options);
void AttachEvents(TVaskFTP& ftp, const Options& options);
void Run(TVaskFTP& ftp, const Options& options, const Command& command);

// The warning line for a data connection that is not protected as the login is; `server` is
// "HOST port N". get and mirror say the same.
std::string TlsWarningLine(const std::string& server, TTlsWarning warning);

// For a socket error that ended the connect: the host and port it tried and, where the error
// tells, why it failed ("127.0.0.1 port 21: Connection refused").
std::string ConnectFailureDetail(const TVaskFTP& ftp, const ESockError& error);

// For an error that ended a wait on the server: how long it stayed silent, and where
// ("no answer from 127.0.0.1:21 for 30 s"); empty for any other error.
std::string TimeOutDetail(const TVaskFTP& ftp, const std::exception& error);

// For a refusal of several lines, the whole reply as one line without its "ddd-" marks; empty
// when the error is no such refusal.
std::string RefusalText(TVaskFTP& ftp, const std::exception& error);

} // namespace ftpdrive
