#include "ftp/ListParsers.h"

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

// A Unix long listing line: permissions, link count, owner, [group,] size, month, day, time or
// year, name. Everything but the permissions is counted from the end, so lines with or without
// the group column read alike.
void TFTPUnixList::ParseLine(const std::string& line)
{
    TFTPDirectoryList::ParseLine(line);
    const int n = ColumnCount;
    if (n <= 7) return; // the "total" line, blank and short lines
    NameList.push_back(Columns[n]);
    SizeList.push_back(Columns[n - 4]);
    DateList.push_back(Columns[n - 3] + ' ' + Columns[n - 2] + ' ' + Columns[n - 1]);
    AttributeList.push_back(Columns[1]);
}
