#pragma once
// Where ftpdrive's password comes from. On the command line every local user can read it in
// the process list for the whole run, so it is looked for, in this order, in
//   --password-file FILE      the file's first line
//   TAVOLEN_PASSWORD          the environment, for the user --user names
//   ~/.netrc, --netrc-file    the entry of the host (or "default"); refused when others may
//                             read or change the file, as the classic clients refuse it
//   a prompt                  without echo, when standard input is a terminal
// and --password, still taken, warns on standard error.
#include "tools/ftpdrive/Options.h"

#include <string>

namespace ftpdrive {

// A source that was named but cannot be used: the run ends before anything is sent.
struct PasswordProblem {
    std::string message;
};

// Settles options.user and options.password. With no source, an anonymous login keeps the
// placeholder and any other user logs in without a password, as before.
void SettlePassword(Options& options);

} // namespace ftpdrive
