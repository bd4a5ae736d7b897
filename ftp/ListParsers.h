#pragma once
// Listing parsers: TFTPDirectoryList cuts a line into space-separated columns; TFTPUnixList reads
// a line in the Unix long form or the MS-DOS form into its four lists (see ListLineShapes.h).
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

    virtual void ParseLine(const std::string& line);
    void Clear();
};

class TFTPUnixList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};
