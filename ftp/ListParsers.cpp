#include "ftp/ListParsers.h"

#include "ftp/ListLineShapes.h"
#include "ftp/MlsdParser.h"

#include <optional>

void TFTPDirectoryList::Clear()
{
    AttributeList.clear();
    NameList.clear();
    DateList.clear();
    SizeList.clear();
    Entries.clear();
}

// Columns are separated by runs of blanks; a leading blank gives an empty first column and
// trailing blanks an empty last one, because servers pad their columns and the count must
// still say where the line ended. Once 25 columns are used up, the rest of the line is joined
// onto the 25th with single blanks, so a long name is kept rather than spilling anywhere.
void TFTPDirectoryList::ParseLine(const std::string& line)
{
    for (auto& column : Columns) column.clear();
    int index = 1;
    bool pendingJoin = false; // a run of blanks seen in the 25th column, not yet written
    size_t position = 0;
    while (position < line.size()) {
        if (line[position] == ' ') {
            if (index < kMaxColumns) {
                ++index;
                Columns[index].clear();
            } else {
                pendingJoin = true;
            }
            while (position < line.size() && line[position] == ' ') ++position;
            continue;
        }
        std::string& column = Columns[index];
        if (pendingJoin) {
            pendingJoin = false;
            if (column.size() < kMaxColumnLength) column += ' ';
        }
        if (column.size() < kMaxColumnLength) column += line[position];
        ++position;
    }
    ColumnCount = index;
}

// A line of any form servers write, whatever system they said they were: a Windows server may
// list in the Unix form, and a server that gives no usable answer to SYST still lists. The
// columns stay split as above for callers that read them; the fields come from the line itself,
// so that names keep their blanks. Lines that are no listing line (the "total" line, blank
// lines, a message) give no entry: fields guessed by counting columns would be wrong ones.
void TFTPUnixList::ParseLine(const std::string& line)
{
    TFTPDirectoryList::ParseLine(line);
    std::optional<listing::Entry> entry = listing::ReadListLine(line, Today);
    if (!entry) return;
    NameList.push_back(std::move(entry->name));
    SizeList.push_back(std::move(entry->size));
    DateList.push_back(std::move(entry->date));
    AttributeList.push_back(std::move(entry->attribute));
    Entries.push_back(std::move(entry->parsed));
}

// The four lists get what a Unix line would have given: the mode with its type letter (so that
// the kind reads the same from it), the size, the time and the name.
bool TFTPUnixList::ParseMachineLine(const std::string& line)
{
    TFTPDirectoryList::ParseLine(line);
    if (line.find_first_not_of(" \r\n") == std::string::npos) return true;
    TFTPListEntry entry;
    const mlsd::LineKind kind = mlsd::ReadLine(line, entry);
    if (kind == mlsd::LineKind::Broken) return false;
    if (kind == mlsd::LineKind::Directory) return true;
    static constexpr char kTypeLetters[] = {'-', 'd', 'l', '?'};
    std::string attribute(1, kTypeLetters[static_cast<int>(entry.kind)]);
    attribute += mlsd::PermissionsOf(entry.unixMode);
    AttributeList.push_back(std::move(attribute));
    SizeList.push_back(entry.size ? std::to_string(*entry.size) : std::string());
    DateList.push_back(entry.modified.known ? ToIso8601(entry.modified) : std::string());
    NameList.push_back(entry.name);
    Entries.push_back(std::move(entry));
    return true;
}
