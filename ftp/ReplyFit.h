#pragma once
// Internal to the FTP component: whether a reply can be the answer to the command it is taken
// for. Replies come in the order the commands went out, but only a server that keeps to it makes
// that true; one that answers a later command first ("150" for STOR ahead of PORT's "200") would
// otherwise have its replies taken for other commands' from then on: a 200 taken as the end of
// an upload that never sent a byte. Each command that the sessions send without a free-form
// answer has the codes it may get; a code outside them means the session is out of step.
//
// A refusal (4xx, 5xx) is a fitting answer to any command. Commands not in the table (SITE, the
// checksum commands, anything a user types) take whatever comes.
#include "ftp/FtpReply.h"

#include <string>

namespace ftpreply {

enum class Fit {
    Preliminary, // a 1xx the command may get before its last word
    Final,       // a last word the command may get, success or refusal
    OutOfStep,   // no answer to this command: it belongs to another one
};

// How `reply` fits `command` (the whole command line; its first word decides). A closed
// connection is a final answer to anything.
Fit FitOf(const std::string& command, const FtpReply& reply);

// The failure of a session whose reply did not fit the command it answered.
FtpFailure OutOfStepFailure(const std::string& command, const FtpReply& reply);

} // namespace ftpreply
