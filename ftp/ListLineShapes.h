#pragma once
// The human forms of a LIST line, whatever system the server claims to be:
//
//   Unix long form:  -rw-r--r--   1 ftp      ftp          1234 Jan  5 12:30 my file.txt
//   MS-DOS form:     12-07-26  09:01PM                10000 data file.bin
//
// and their many variants: with or without the group or any owner at all, ACL marks after the
// mode, month names of other languages, day before month, numeric dates in either order, years
// of two or four digits, times with seconds or AM/PM, sizes with thousands separators.
//
// Nothing is found by counting columns. The date and time are found by what they are; in the
// Unix form the size is the number before them, in the MS-DOS form "<DIR>" or the size follows
// them, and the name is everything after. Names come out whole, blanks inside them included:
// they are what a later CWD or RETR must send.
#include "ftp/ListEntry.h"

#include <optional>
#include <string>
#include <string_view>

namespace listing {

struct Entry {
    std::string attribute; // Unix permissions; "<DIR>" or empty in the MS-DOS form
    std::string size;      // decimal digits; empty where the line gives none (devices, DOS dirs)
    std::string date;      // the line's date and time columns joined by single blanks
    std::string name;
    TFTPListEntry parsed;
};

// The entry a line describes, or nothing when it is not a listing line: the "total" line, a
// blank line, a message. `today` gives the year of dates written without one.
std::optional<Entry> ReadListLine(std::string_view line, const TListDay& today);

// The month a listing's month name stands for (1..12), in the languages servers list in, in any
// case, abbreviated or not, with or without a final dot: "Jan", "MÄR", "janv.", "Okt", "1月".
std::optional<int> MonthOf(std::string_view token);

// Tells a listing's entries whose date could not be read (their time unknown) to the user once
// a listing, with the first such line, rather than once a line: a server that writes its dates
// in a form not read here writes every line that way.
class UndatedEntries {
public:
    void See(const TFTPListEntry& entry, std::string_view line);
    // The status text; empty when every date was read.
    std::string Report() const;

private:
    size_t count_ = 0;
    std::string first_;
};

enum class EntryKind { File, Directory, Link };
// What an entry's attribute says it is: Unix 'd' and DOS "<DIR>" are directories, Unix 'l' a
// symbolic link (whose target may be either), everything else a file.
EntryKind KindOf(std::string_view attribute);

} // namespace listing
