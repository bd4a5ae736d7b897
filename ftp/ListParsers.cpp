#include "ftp/ListParsers.h"

#include "ftp/ListLineShapes.h"

#include <optional>

void TFTPDirectoryList::Clear()
{
    AttributeList.clear();
    NameList.clear();
    DateList.clear();
    SizeList.clear();
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

// A line of either shape servers write, whatever system they said they were: a Windows server
// may list in the Unix form, and a server that gives no usable answer to SYST still lists. The
// columns stay split as above for callers that read them; the fields come from the line itself,
// so that names keep their blanks. Lines of neither shape (the "total" line, blank lines, a
// message) give no entry: fields guessed by counting columns would be wrong ones.
void TFTPUnixList::ParseLine(const std::string& line)
{
    TFTPDirectoryList::ParseLine(line);
    std::optional<listing::Entry> entry = listing::ReadUnixLine(line);
    if (!entry) entry = listing::ReadDosLine(line);
    if (!entry) return;
    NameList.push_back(std::move(entry->name));
    SizeList.push_back(std::move(entry->size));
    DateList.push_back(std::move(entry->date));
    AttributeList.push_back(std::move(entry->attribute));
}
