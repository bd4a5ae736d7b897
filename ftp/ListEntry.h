#pragma once
// One entry of a directory listing as the parsers understand it, whichever form the server wrote:
// a machine listing (MLSD, MLST) or one of the human forms of LIST. Callers that act on a listing
// (recursive transfers, the parsed listing of ftpdrive) read this rather than the text columns.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class TEntryKind : uint8_t { File, Directory, Link, Other };

// A modification time as the listing gave it. A machine listing gives it in UTC; LIST gives it in
// the server's own time zone, which it does not name, so `utc` tells the two apart. Older Unix
// lines give no time of day ("Mar  4  2019") and recent ones no year ("Jan  5 12:30"); the year
// is then inferred as the one that puts the date in the past.
struct TEntryTime {
    bool known = false;   // the line gave a date that could be read
    bool utc = false;     // from a machine listing
    bool hasTime = false; // a time of day was given
    int year = 0;
    int month = 0; // 1..12
    int day = 0;   // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

struct TFTPListEntry {
    std::string name; // whole, as a later CWD or RETR must send it
    TEntryKind kind = TEntryKind::Other;
    std::string linkTarget; // for a link whose target the listing names
    std::optional<uint64_t> size;
    TEntryTime modified;
    // Facts of a machine listing, when the server gave them.
    std::string perm;
    std::string unique;
    std::string unixMode;
    std::string rawLine; // the line as the server sent it, line end removed
};

// "2026-12-07T16:30:00Z" in UTC, "2026-12-07T16:30:00" in the server's time, "2019-03-04" without
// a time of day, "-" when unknown.
std::string ToIso8601(const TEntryTime& time);

// "file", "dir", "link", "other".
const char* KindName(TEntryKind kind);

// A size written in decimal digits only, as both kinds of listing give it; nullopt for anything
// else and for a number past 64 bits.
std::optional<uint64_t> DecimalSize(std::string_view digits);

// A calendar day, to infer the year of a yearless listing date.
struct TListDay {
    int year = 1970;
    int month = 1;
    int day = 1;
    // Today in UTC.
    static TListDay Today();
};

// The year in which `month`/`day` last fell on or before `today`. A day's grace keeps a server
// ahead of us in its time zone from putting today's files a year back.
int InferYear(int month, int day, const TListDay& today);
