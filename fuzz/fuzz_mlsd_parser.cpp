// The machine listing parser on arbitrary lines: a line gives at most one entry, whose name is the
// whole of the line after its first blank; the four lists and the entries grow together; sizes
// are decimal digits; a line that is judged broken adds nothing.
#include "ftp/ListParsers.h"
#include "ftp/MlsdParser.h"

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

        TFTPListEntry entry;
        const mlsd::LineKind kind = mlsd::ReadLine(line, entry);
        if (kind != mlsd::LineKind::Broken) {
            const size_t blank = line.find(' ');
            if (blank == std::string::npos || entry.name != line.substr(blank + 1) ||
                entry.name.empty())
                std::abort();
            if (ToIso8601(entry.modified).empty()) std::abort();
            if (mlsd::PermissionsOf(entry.unixMode).size() % 9 != 0) std::abort();
        }

        const bool readable = parser.ParseMachineLine(line);
        const bool blankLine = line.find_first_not_of(" \r\n") == std::string::npos;
        if (readable != (blankLine || kind != mlsd::LineKind::Broken)) std::abort();
        if (!blankLine && kind == mlsd::LineKind::Entry) {
            ++expectedEntries;
            if (parser.NameList.size() != expectedEntries || parser.NameList.back() != entry.name)
                std::abort();
            const std::string& digits = parser.SizeList.back();
            if (digits.size() > 20 || digits.find_first_not_of("0123456789") != std::string::npos)
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
    if (!parser.Entries.empty()) std::abort();
    return 0;
}
