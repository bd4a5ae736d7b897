#include "ftp/MlsdParser.h"

#include <string>

namespace mlsd {

namespace {

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return lower;
}

bool AllDigits(std::string_view text)
{
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

int NumberOf(std::string_view digits)
{
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

// "YYYYMMDDHHMMSS", perhaps with fractions of a second after a dot, always UTC.
TEntryTime TimeOf(std::string_view value)
{
    TEntryTime time;
    const std::string_view whole = value.substr(0, value.find('.'));
    if (whole.size() != 14 || !AllDigits(whole)) return time;
    if (whole.size() < value.size() && !AllDigits(value.substr(whole.size() + 1))) return time;
    time.year = NumberOf(whole.substr(0, 4));
    time.month = NumberOf(whole.substr(4, 2));
    time.day = NumberOf(whole.substr(6, 2));
    time.hour = NumberOf(whole.substr(8, 2));
    time.minute = NumberOf(whole.substr(10, 2));
    time.second = NumberOf(whole.substr(12, 2));
    if (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31 || time.hour > 23 ||
        time.minute > 59 || time.second > 60)
        return TEntryTime();
    time.known = time.utc = time.hasTime = true;
    return time;
}

// The kind a "type" fact names. Symbolic links are written "OS.unix=slink:target" (the target
// optional), "OS.unix=symlink" by some servers, "link" by a few.
LineKind KindOf(std::string_view value, TFTPListEntry& entry)
{
    const std::string type = Lower(value);
    entry.kind = TEntryKind::Other;
    if (type == "file")
        entry.kind = TEntryKind::File;
    else if (type == "dir")
        entry.kind = TEntryKind::Directory;
    else if (type == "cdir" || type == "pdir") {
        entry.kind = TEntryKind::Directory;
        return LineKind::Directory;
    } else if (type.rfind("os.unix=slink", 0) == 0 || type.rfind("os.unix=symlink", 0) == 0 ||
               type == "link" || type == "symlink") {
        entry.kind = TEntryKind::Link;
        const size_t colon = value.find(':');
        if (colon != std::string_view::npos)
            entry.linkTarget = std::string(value.substr(colon + 1));
    }
    return LineKind::Entry;
}

} // namespace

LineKind ReadLine(std::string_view line, TFTPListEntry& entry)
{
    entry = TFTPListEntry();
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank + 1 == line.size()) return LineKind::Broken;
    entry.name = std::string(line.substr(blank + 1));
    entry.rawLine = std::string(line);
    LineKind kind = LineKind::Entry;
    // Without a type fact the kind stays unknown: a file must never be taken for a directory.
    std::string_view facts = line.substr(0, blank);
    while (!facts.empty()) {
        const size_t end = facts.find(';');
        const std::string_view fact = facts.substr(0, end);
        facts.remove_prefix(end == std::string_view::npos ? facts.size() : end + 1);
        const size_t equals = fact.find('=');
        if (equals == 0 || equals == std::string_view::npos) return LineKind::Broken;
        const std::string name = Lower(fact.substr(0, equals));
        const std::string_view value = fact.substr(equals + 1);
        if (name == "type")
            kind = KindOf(value, entry);
        else if (name == "size")
            entry.size = DecimalSize(value);
        else if (name == "modify")
            entry.modified = TimeOf(value);
        else if (name == "perm")
            entry.perm = std::string(value);
        else if (name == "unique")
            entry.unique = std::string(value);
        else if (name == "unix.mode")
            entry.unixMode = std::string(value);
    }
    return kind;
}

std::string PermissionsOf(std::string_view unixMode)
{
    // Servers written in Python give the mode as Python writes octal: "0o755".
    if (unixMode.size() > 2 && unixMode[0] == '0' && (unixMode[1] == 'o' || unixMode[1] == 'O'))
        unixMode.remove_prefix(2);
    if (unixMode.empty() || unixMode.size() > 7) return {};
    unsigned mode = 0;
    for (char c : unixMode) {
        if (c < '0' || c > '7') return {};
        mode = mode * 8 + static_cast<unsigned>(c - '0');
    }
    std::string text;
    for (int shift = 6; shift >= 0; shift -= 3) {
        text += (mode >> shift) & 4 ? 'r' : '-';
        text += (mode >> shift) & 2 ? 'w' : '-';
        text += (mode >> shift) & 1 ? 'x' : '-';
    }
    return text;
}

} // namespace mlsd
