#pragma once
// The two shapes of directory listing line that servers write, whatever system they claim to be:
//
//   Unix long form:  -rw-r--r--   1 ftp      ftp          1234 Jan  5 12:30 my file.txt
//   MS-DOS form:     12-07-26  09:01PM                10000 data file.bin
//
// Each reader gives the line's four fields, or nothing when the line is not of its shape. Names
// come out whole, blanks inside them included: they are what a later CWD or RETR must send.
#include <optional>
#include <string>
#include <string_view>

namespace listing {

struct Entry {
    std::string attribute; // Unix permissions; "<DIR>" or empty in the MS-DOS form
    std::string size;      // decimal bytes; empty where the line gives none (devices, DOS dirs)
    std::string date;      // the line's date columns joined by single blanks
    std::string name;
};

// Permissions, link count, owner, [group,] size, date, name. The date is found by its shape
// (month, day, then time or year; or day, month, time or year), not by counting columns, so that
// a name with blanks or a device's "major, minor" pair shifts nothing. A symbolic link's
// "name -> target" gives the name.
std::optional<Entry> ReadUnixLine(std::string_view line);

// Date (MM-DD-YY or MM-DD-YYYY), time (12-hour with AM/PM, or 24-hour), "<DIR>" or the size,
// then the name.
std::optional<Entry> ReadDosLine(std::string_view line);

enum class EntryKind { File, Directory, Link };
// What an entry's attribute says it is: Unix 'd' and DOS "<DIR>" are directories, Unix 'l' a
// symbolic link (whose target may be either), everything else a file.
EntryKind KindOf(std::string_view attribute);

} // namespace listing
