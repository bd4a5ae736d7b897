#pragma once
// Listing parsers: TFTPDirectoryList cuts a line into space-separated columns; TFTPUnixList reads
// a LIST line of any of the forms in ListLineShapes.h, or a machine listing line (MlsdParser.h),
// into its four lists and its parsed entries.
#include "ftp/ListEntry.h"

#include <array>
#include <string>
#include <vector>

class TFTPDirectoryList {
public:
    static constexpr int kMaxColumns = 25;
    static constexpr size_t kMaxColumnLength = 255;

    TFTPDirectoryList() = default;
    virtual ~TFTPDirectoryList() = default;

    std::vector<std::string> AttributeList;
    std::vector<std::string> NameList;
    std::vector<std::string> DateList;
    std::vector<std::string> SizeList;
    // Columns[1] .. Columns[25]; Columns[0] is unused.
    std::array<std::string, kMaxColumns + 1> Columns;
    int ColumnCount = 0;
    // Entry i belongs to entry i of the four lists.
    std::vector<TFTPListEntry> Entries;
    // The day against which dates without a year are placed.
    TListDay Today = TListDay::Today();

    virtual void ParseLine(const std::string& line);
    void Clear();
};

class TFTPUnixList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
    // A line of a machine listing. False when it is none: the server's MLSD cannot be trusted.
    // The listed directory itself and its parent give no entry, and blank lines are passed over.
    bool ParseMachineLine(const std::string& line);
};
