#pragma once
// Lines of a machine listing (RFC 3659): MLSD's data lines and the fact line of an MLST reply.
//
//   type=file;size=1234;modify=20261207163000;perm=adfrw;unique=803g1;UNIX.mode=0644; my file.txt
//
// The facts, each "name=value;", then one blank, then the name: everything after that first
// blank, kept whole, blanks, semicolons and bytes of any character set included. Fact names and
// the values of "type" are compared without regard to case; facts this client has no use for, and
// values it cannot read, are passed over rather than taken as a broken line.
#include "ftp/ListEntry.h"

#include <string>
#include <string_view>

namespace mlsd {

enum class LineKind {
    Entry,     // an entry of the directory
    Directory, // the listed directory itself or its parent ("cdir", "pdir"): no entry of it
    Broken,    // not a machine listing line: the server does not speak it as it says
};

// Reads `line` (line end removed) into `entry`, which is complete for Entry and Directory (whose
// kind is then Directory: what MLST says of a directory named for itself).
LineKind ReadLine(std::string_view line, TFTPListEntry& entry);

// "rwxr-xr-x" for a UNIX.mode of "0755" (or "755", "0o755"); empty when it is no octal mode.
std::string PermissionsOf(std::string_view unixMode);

} // namespace mlsd
