#include "ftp/ListLineShapes.h"

#include <vector>

namespace listing {

namespace {

// A column of the line: its place in the original text, so that the name can be taken from the
// line itself rather than rebuilt from columns.
struct Column {
    size_t begin;
    size_t end;
};

std::string_view TextOf(std::string_view line, Column column)
{
    return line.substr(column.begin, column.end - column.begin);
}

// Columns are separated by runs of blanks, as in the column splitter.
std::vector<Column> SplitColumns(std::string_view line)
{
    std::vector<Column> columns;
    size_t position = 0;
    while (position < line.size()) {
        while (position < line.size() && line[position] == ' ') ++position;
        if (position == line.size()) break;
        const size_t begin = position;
        while (position < line.size() && line[position] != ' ') ++position;
        columns.push_back({begin, position});
    }
    return columns;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool AllDigits(std::string_view text, size_t minLength, size_t maxLength)
{
    if (text.size() < minLength || text.size() > maxLength) return false;
    for (char c : text)
        if (!IsDigit(c)) return false;
    return true;
}

int NumberOf(std::string_view digits)
{
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

// A byte count as servers write it: plain decimal, up to the 20 digits of a 64-bit count.
bool IsSize(std::string_view text) { return AllDigits(text, 1, 20); }

bool IsDay(std::string_view text)
{
    return AllDigits(text, 1, 2) && NumberOf(text) >= 1 && NumberOf(text) <= 31;
}

// Month names vary with the server's locale: "Jan", "jan", "Mär", "janv.", "1月". What they have
// in common is a short word with a letter in it and no ':'; the day, the time or year and the
// size around it make the date certain.
bool IsMonth(std::string_view text)
{
    if (text.empty() || text.size() > 8) return false;
    bool letter = false;
    for (char c : text) {
        if (c == ':') return false;
        if (IsAsciiLetter(c) || static_cast<unsigned char>(c) >= 0x80) letter = true;
    }
    return letter;
}

// "12:30", "9:05" or "12:30:59" for this year's files, "2019" for older ones.
bool IsTimeOrYear(std::string_view text)
{
    if (AllDigits(text, 4, 4)) return true;
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || !AllDigits(text.substr(0, colon), 1, 2)) return false;
    const std::string_view rest = text.substr(colon + 1);
    if (rest.size() == 2) return AllDigits(rest, 2, 2);
    return rest.size() == 5 && rest[2] == ':' && AllDigits(rest.substr(0, 2), 2, 2) &&
           AllDigits(rest.substr(3), 2, 2);
}

// File type, then three triplets of permissions; ACL and context marks may follow ("+", ".").
bool IsPermissions(std::string_view text)
{
    if (text.size() < 10 || !(IsAsciiLetter(text[0]) || text[0] == '-')) return false;
    for (char c : text.substr(1, 9))
        if (std::string_view("rwxsStTlL-").find(c) == std::string_view::npos) return false;
    return true;
}

// Device files list "major, minor" (or "major,minor") where others have their size.
bool IsDeviceMajor(std::string_view text)
{
    return text.size() >= 2 && text.back() == ',' &&
           AllDigits(text.substr(0, text.size() - 1), 1, 10);
}

bool IsDevicePair(std::string_view text)
{
    const size_t comma = text.find(',');
    return comma != std::string_view::npos && AllDigits(text.substr(0, comma), 1, 10) &&
           AllDigits(text.substr(comma + 1), 1, 10);
}

// The permissions, at least one more column (the link count, the owner) and the size precede the
// date. Starting the search there also keeps an owner named like a month ("jan") followed by a
// numeric group and a size that looks like a year from being read as the date.
constexpr size_t kFirstDateColumn = 3;

// Month, day, time or year; or, as some locales write it, day, month, time or year
// ("10. Jan 14:23").
bool IsDate(std::string_view first, std::string_view second, std::string_view third)
{
    if (!IsTimeOrYear(third)) return false;
    if (IsMonth(first) && IsDay(second)) return true;
    if (!first.empty() && first.back() == '.') first.remove_suffix(1);
    return IsDay(first) && IsMonth(second);
}

} // namespace

std::optional<Entry> ReadUnixLine(std::string_view line)
{
    const std::vector<Column> columns = SplitColumns(line);
    auto text = [&](size_t k) { return TextOf(line, columns[k]); };
    if (columns.size() < kFirstDateColumn + 4 || !IsPermissions(text(0))) return std::nullopt;

    // The first date from the left whose size column fits; a name may itself look like a date.
    for (size_t i = kFirstDateColumn; i + 3 < columns.size(); ++i) {
        const std::string_view before = text(i - 1);
        const bool deviceSize =
            IsDevicePair(before) || (IsSize(before) && IsDeviceMajor(text(i - 2)));
        if (!deviceSize && !IsSize(before)) continue;
        if (!IsDate(text(i), text(i + 1), text(i + 2))) continue;

        Entry entry;
        entry.attribute = std::string(text(0));
        // A device has no size in bytes; its "1, 3" would read as a size of 1 or 3.
        if (!deviceSize) entry.size = std::string(before);
        entry.date =
            std::string(text(i)) + ' ' + std::string(text(i + 1)) + ' ' + std::string(text(i + 2));
        // Servers write exactly one blank after the time or year (they pad the date on its
        // left), so further blanks belong to the name.
        entry.name = std::string(line.substr(columns[i + 2].end + 1));
        if (entry.attribute[0] == 'l') {
            const size_t arrow = entry.name.find(" -> ");
            if (arrow != std::string::npos && arrow > 0) entry.name.resize(arrow);
        }
        return entry;
    }
    return std::nullopt;
}

namespace {

// "12-07-26", "12-07-2026", also with slashes.
bool IsDosDate(std::string_view text)
{
    if (text.size() < 8) return false;
    const char separator = text[2];
    if ((separator != '-' && separator != '/') || text[5] != separator) return false;
    return AllDigits(text.substr(0, 2), 2, 2) && AllDigits(text.substr(3, 2), 2, 2) &&
           (AllDigits(text.substr(6), 2, 2) || AllDigits(text.substr(6), 4, 4));
}

// "10:15AM", "09:01PM"; some servers write 24-hour times without the suffix.
bool IsDosTime(std::string_view text)
{
    if (text.size() > 2) {
        const std::string_view suffix = text.substr(text.size() - 2);
        if (suffix == "AM" || suffix == "PM" || suffix == "am" || suffix == "pm")
            text.remove_suffix(2);
    }
    const size_t colon = text.find(':');
    return colon != std::string_view::npos && AllDigits(text.substr(0, colon), 1, 2) &&
           AllDigits(text.substr(colon + 1), 2, 2);
}

} // namespace

std::optional<Entry> ReadDosLine(std::string_view line)
{
    const std::vector<Column> columns = SplitColumns(line);
    if (columns.size() < 4) return std::nullopt;
    auto text = [&](size_t k) { return TextOf(line, columns[k]); };
    const std::string_view sizeOrDir = text(2);
    const bool directory = sizeOrDir == "<DIR>";
    if (!IsDosDate(text(0)) || !IsDosTime(text(1)) || (!directory && !IsSize(sizeOrDir)))
        return std::nullopt;

    Entry entry;
    entry.attribute = directory ? "<DIR>" : "";
    if (!directory) entry.size = std::string(sizeOrDir);
    entry.date = std::string(text(0)) + ' ' + std::string(text(1));
    // The blanks before the name pad the size column to a width that differs between servers
    // and between "<DIR>" and size lines, so none of them can be told to be the name's own.
    entry.name = std::string(line.substr(columns[3].begin));
    return entry;
}

EntryKind KindOf(std::string_view attribute)
{
    if (attribute == "<DIR>") return EntryKind::Directory;
    if (attribute.empty()) return EntryKind::File;
    if (attribute[0] == 'd') return EntryKind::Directory;
    if (attribute[0] == 'l') return EntryKind::Link;
    return EntryKind::File;
}

} // namespace listing
