#pragma once
// Modification times on the wire (RFC 3659): the "time-val" YYYYMMDDHHMMSS[.sss] in UTC that MDTM
// answers with, MLST's "modify" fact carries and MFMT takes, and the commands that set a file's
// time on a server. Kept to the second: fractions are read and dropped.
#include "ftp/ListEntry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace filetimes {

// Seconds since 1970 (UTC) of a time-val; nothing for anything else, a date that does not exist
// included.
std::optional<int64_t> ParseTimeVal(std::string_view text);
// The time-val of `seconds`: 1765125000 gives "20251207163000".
std::string FormatTimeVal(int64_t seconds);
// The time of an MDTM reply, "213 20261207163000"; nothing for a refusal or an unreadable answer.
std::optional<int64_t> TimeOfMdtmReply(const std::string& reply);
// The time of a listing entry, when a machine listing gave it with its time of day.
std::optional<int64_t> TimeOfEntry(const TEntryTime& time);

// How the server's time of a file is asked: MLST when the server offers it (its "modify" is
// UTC by definition), MDTM otherwise -- many servers know MDTM without listing it in FEAT.
enum class TimeQuery { Mlst, Mdtm };
TimeQuery TimeQueryFor(bool serverHasMlst);

// What the session has learnt of setting times on the server without MFMT: which of the other
// forms it takes, once one has worked, or that it takes none.
struct ServerTimeSetting {
    int form = -1; // -1 unknown, else an index into the forms tried without MFMT
    bool refused = false;
};

// The commands that may set `path`'s time on the server, to be tried in order until one is
// answered with 2xx: MFMT when FEAT lists it; else the two SITE UTIME forms servers answer
// ("SITE UTIME 20261207163000 path", "SITE UTIME path atime mtime ctime UTC") and, last, MDTM
// with a time before the path ("MDTM 20261207163000 path", which some servers take as setting
// the time where others would read it as a name); or only the one known to work; none when every
// form was refused before.
std::vector<std::string> TimeSettingCommands(bool serverHasMfmt, const ServerTimeSetting& known,
                                             const std::string& path, int64_t seconds);
// Records which command of TimeSettingCommands worked (`worked`, an index into them), or that
// none did (nothing).
void NoteTimeSetting(ServerTimeSetting& known, bool serverHasMfmt, std::optional<size_t> worked);

} // namespace filetimes
