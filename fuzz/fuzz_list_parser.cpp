// The listing parsers on arbitrary lines: columns stay within their 25 slots of 255 characters,
// the four lists grow together by at most one entry a line, and an entry's name is a non-empty
// part of its line and its size empty or decimal digits.
#include "ftp/ListParsers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string listing(reinterpret_cast<const char*>(data), size);
    TFTPUnixList parser;
    size_t expectedEntries = 0;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos) end = listing.size();
        const std::string line = listing.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue; // the listing never hands out an empty line
        parser.ParseLine(line);
        const int n = parser.ColumnCount;
        if (n < 1 || n > TFTPDirectoryList::kMaxColumns) std::abort();
        size_t total = 0;
        for (const std::string& column : parser.Columns) {
            if (column.size() > TFTPDirectoryList::kMaxColumnLength) std::abort();
            if (column.find(' ') != std::string::npos && &column != &parser.Columns[n])
                std::abort(); // only the 25th column may hold joined words
            total += column.size();
        }
        if (total > line.size()) std::abort();
        if (parser.NameList.size() > expectedEntries) {
            ++expectedEntries;
            const std::string& name = parser.NameList.back();
            if (name.empty() || line.find(name) == std::string::npos) std::abort();
            if (parser.Entries.size() != expectedEntries || parser.Entries.back().name != name)
                std::abort();
            const std::string& size = parser.SizeList.back();
            if (size.size() > 20 || size.find_first_not_of("0123456789") != std::string::npos)
                std::abort();
        }
        if (parser.NameList.size() != expectedEntries ||
            parser.SizeList.size() != expectedEntries ||
            parser.DateList.size() != expectedEntries ||
            parser.AttributeList.size() != expectedEntries ||
            parser.Entries.size() != expectedEntries)
            std::abort();
    }
    parser.Clear();
    if (!parser.NameList.empty()) std::abort();
    return 0;
}
