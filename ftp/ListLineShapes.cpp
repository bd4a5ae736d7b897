#include "ftp/ListLineShapes.h"

#include <algorithm>
#include <array>
#include <vector>

namespace listing {

namespace {

// A column of the line: its place in the original text, so that the name can be taken from the
// line itself rather than rebuilt from columns.
struct Column {
    size_t begin;
    size_t end;
};

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

// Only ever called on at most a few digits.
int NumberOf(std::string_view digits)
{
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

bool StripSuffix(std::string_view& text, std::string_view suffix)
{
    if (text.size() <= suffix.size() || text.substr(text.size() - suffix.size()) != suffix)
        return false;
    text.remove_suffix(suffix.size());
    return true;
}

// A byte count as Unix servers write it: plain decimal, up to the 20 digits of a 64-bit count.
bool IsSize(std::string_view text) { return AllDigits(text, 1, 20); }

// A byte count as the MS-DOS form writes it, plain or in groups of three ("1,234,567",
// "1.234.567", "1'234'567"); its digits, or nothing.
std::optional<std::string> GroupedSize(std::string_view text)
{
    if (IsSize(text)) return std::string(text);
    const size_t first = text.find_first_of(",.'");
    if (first == std::string_view::npos || first == 0 || first > 3) return std::nullopt;
    const char separator = text[first];
    std::string digits(text.substr(0, first));
    if (!AllDigits(digits, 1, 3)) return std::nullopt;
    for (size_t at = first; at < text.size(); at += 4) {
        if (text[at] != separator || !AllDigits(text.substr(at + 1, 3), 3, 3)) return std::nullopt;
        digits += text.substr(at + 1, 3);
    }
    if (digits.size() > 20) return std::nullopt;
    return digits;
}

// "5", "05", and as some locales write the day: "5,", "5.", "5日".
std::optional<int> DayOf(std::string_view token)
{
    if (!StripSuffix(token, ",") && !StripSuffix(token, ".")) StripSuffix(token, "\xe6\x97\xa5");
    if (!AllDigits(token, 1, 2)) return std::nullopt;
    const int day = NumberOf(token);
    if (day < 1 || day > 31) return std::nullopt;
    return day;
}

std::optional<int> YearOf(std::string_view token)
{
    StripSuffix(token, ",");
    if (!AllDigits(token, 4, 4)) return std::nullopt;
    return NumberOf(token);
}

struct Clock {
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool meridiem = false; // the hour is on the 12-hour clock and has been made 24-hour
};

// "AM" or "PM" in any case; 'a' or 'p', or nothing.
char MeridiemOf(std::string_view token)
{
    if (token.size() != 2 || (token[1] != 'M' && token[1] != 'm')) return 0;
    if (token[0] == 'A' || token[0] == 'a') return 'a';
    if (token[0] == 'P' || token[0] == 'p') return 'p';
    return 0;
}

// 12 AM is midnight, 12 PM noon.
bool ApplyMeridiem(Clock& clock, char meridiem)
{
    if (clock.hour < 1 || clock.hour > 12) return false;
    clock.hour = clock.hour % 12 + (meridiem == 'p' ? 12 : 0);
    clock.meridiem = true;
    return true;
}

// "12:30", "9:05", "12:30:59", "12:30:59.123456789", and with AM/PM attached: "09:01PM".
std::optional<Clock> ClockOf(std::string_view token)
{
    char meridiem = 0;
    if (token.size() > 2) {
        meridiem = MeridiemOf(token.substr(token.size() - 2));
        if (meridiem) token.remove_suffix(2);
    }
    const size_t colon = token.find(':');
    if (colon == std::string_view::npos || !AllDigits(token.substr(0, colon), 1, 2))
        return std::nullopt;
    Clock clock;
    clock.hour = NumberOf(token.substr(0, colon));
    std::string_view rest = token.substr(colon + 1);
    if (!AllDigits(rest.substr(0, 2), 2, 2)) return std::nullopt;
    clock.minute = NumberOf(rest.substr(0, 2));
    rest.remove_prefix(2);
    if (!rest.empty()) {
        if (rest[0] != ':' || !AllDigits(rest.substr(1, 2), 2, 2)) return std::nullopt;
        clock.second = NumberOf(rest.substr(1, 2));
        rest.remove_prefix(3);
        if (!rest.empty() && (rest[0] != '.' || !AllDigits(rest.substr(1), 1, 9)))
            return std::nullopt;
    }
    // 24:00 is the midnight that ends a day; the span moves it to the start of the next.
    const bool endOfDay = clock.hour == 24 && clock.minute == 0 && clock.second == 0 && !meridiem;
    if ((clock.hour > 23 && !endOfDay) || clock.minute > 59 || clock.second > 60)
        return std::nullopt;
    if (meridiem && !ApplyMeridiem(clock, meridiem)) return std::nullopt;
    return clock;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// A time of 24:00 as 00:00 of the day after, the year turning at the end of December.
void SettleEndOfDay(TEntryTime& time)
{
    if (!time.hasTime || time.hour != 24) return;
    time.hour = 0;
    if (++time.day <= DaysInMonth(time.year, time.month)) return;
    time.day = 1;
    if (++time.month <= 12) return;
    time.month = 1;
    ++time.year;
}

// A numeric date in one column: "2026-12-07", "12-07-26", "12/07/2026", "07.12.2026". With the
// year last, a first number above 12 must be the day and a second above 12 the day; otherwise
// dots mean day first, as in the countries that write them, and dashes and slashes month first,
// as the MS-DOS form does.
std::optional<TEntryTime> NumericDateOf(std::string_view token)
{
    const size_t first = token.find_first_of("-/.");
    if (first == std::string_view::npos) return std::nullopt;
    const char separator = token[first];
    const size_t second = token.find(separator, first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const std::string_view a = token.substr(0, first);
    const std::string_view b = token.substr(first + 1, second - first - 1);
    const std::string_view c = token.substr(second + 1);
    TEntryTime date;
    if (AllDigits(a, 4, 4) && AllDigits(b, 1, 2) && AllDigits(c, 1, 2)) {
        date.year = NumberOf(a);
        date.month = NumberOf(b);
        date.day = NumberOf(c);
    } else if (AllDigits(a, 1, 2) && AllDigits(b, 1, 2) &&
               (AllDigits(c, 2, 2) || AllDigits(c, 4, 4))) {
        const int x = NumberOf(a);
        const int y = NumberOf(b);
        const bool dayFirst = x > 12 || (y <= 12 && separator == '.');
        date.day = dayFirst ? x : y;
        date.month = dayFirst ? y : x;
        date.year = NumberOf(c);
        if (c.size() == 2) date.year += date.year < 70 ? 2000 : 1900;
    } else {
        return std::nullopt;
    }
    if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > 31) return std::nullopt;
    date.known = true;
    return date;
}

// "2026.12.07": the year first and dots, which some servers write with no time after it.
bool IsYearFirstDotted(std::string_view token)
{
    return token.size() > 5 && AllDigits(token.substr(0, 4), 4, 4) && token[4] == '.';
}

// "12-7", "3-05": a month and day joined by a dash, the month first. Read only that way: a
// first number above 12 is no month, and guessing the day first would date files wrongly.
std::optional<TEntryTime> DashedMonthDayOf(std::string_view token)
{
    const size_t dash = token.find('-');
    if (dash == std::string_view::npos || !AllDigits(token.substr(0, dash), 1, 2) ||
        !AllDigits(token.substr(dash + 1), 1, 2))
        return std::nullopt;
    TEntryTime date;
    date.month = NumberOf(token.substr(0, dash));
    date.day = NumberOf(token.substr(dash + 1));
    if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > 31) return std::nullopt;
    date.known = true;
    return date;
}

// "+0100", "-0500": the offset ls writes after a full time.
bool IsZoneOffset(std::string_view token)
{
    return token.size() == 5 && (token[0] == '+' || token[0] == '-') &&
           AllDigits(token.substr(1), 4, 4);
}

// Lower case for ASCII and the Latin-1 letters, in UTF-8. A byte that does not start a two-byte
// sequence of Latin-1 is taken as windows-1252 and written as UTF-8 first, so that a server's
// "Mär" reads the same in either character set.
std::string LowerLatin(std::string_view token)
{
    std::string lower;
    for (size_t at = 0; at < token.size(); ++at) {
        const auto byte = static_cast<unsigned char>(token[at]);
        if (byte < 0x80) {
            lower += (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte + 32) : token[at];
            continue;
        }
        unsigned char latin = byte;
        if ((byte == 0xc2 || byte == 0xc3) && at + 1 < token.size() &&
            (static_cast<unsigned char>(token[at + 1]) & 0xc0) == 0x80) {
            latin = static_cast<unsigned char>(((byte & 0x03) << 6) |
                                               (static_cast<unsigned char>(token[++at]) & 0x3f));
        } else if (byte >= 0xc4 && byte < 0xf8 && at + 1 < token.size() &&
                   (static_cast<unsigned char>(token[at + 1]) & 0xc0) == 0x80) {
            return std::string(token); // UTF-8 of other scripts: compared as it is
        }
        if (latin >= 0xc0 && latin <= 0xde && latin != 0xd7) latin += 0x20;
        lower += static_cast<char>(0xc0 | (latin >> 6));
        lower += static_cast<char>(0x80 | (latin & 0x3f));
    }
    return lower;
}

// Month names of the languages servers list in. A token names a month when it is one of these,
// or at least three letters that begin names of that month only ("janv", "sept", "mär").
constexpr std::array<const char*, 12> kMonthNames[] = {
    {"january", "february", "march", "april", "may", "june", "july", "august", "september",
     "october", "november", "december"},
    {"januar", "februar", "m\xc3\xa4rz", "april", "mai", "juni", "juli", "august", "september",
     "oktober", "november", "dezember"},
    {"janvier", "f\xc3\xa9vrier", "mars", "avril", "mai", "juin", "juillet", "ao\xc3\xbbt",
     "septembre", "octobre", "novembre",
     "d\xc3\xa9"
     "cembre"},
    {"enero", "febrero", "marzo", "abril", "mayo", "junio", "julio", "agosto", "septiembre",
     "octubre", "noviembre", "diciembre"},
    {"janeiro", "fevereiro", "mar\xc3\xa7o", "abril", "maio", "junho", "julho", "agosto",
     "setembro", "outubro", "novembro", "dezembro"},
    {"gennaio", "febbraio", "marzo", "aprile", "maggio", "giugno", "luglio", "agosto", "settembre",
     "ottobre", "novembre", "dicembre"},
    {"januari", "februari", "maart", "april", "mei", "juni", "juli", "augustus", "september",
     "oktober", "november", "december"},
    {"j\xc3\xa4nner", "feber", "mrz", "apr", "maj", "jun", "jul", "aug", "sep", "okt", "nov",
     "dec"},
    {"jan", "feb", "mrt", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"},
};

// "1月" and "1월": the number of the month and the word for it.
std::optional<int> NumberedMonthOf(std::string_view token)
{
    if (!StripSuffix(token, "\xe6\x9c\x88") && !StripSuffix(token, "\xec\x9b\x94"))
        return std::nullopt;
    if (!AllDigits(token, 1, 2)) return std::nullopt;
    const int month = NumberOf(token);
    if (month < 1 || month > 12) return std::nullopt;
    return month;
}

} // namespace

std::optional<int> MonthOf(std::string_view token)
{
    if (const std::optional<int> numbered = NumberedMonthOf(token)) return numbered;
    StripSuffix(token, ".");
    if (token.size() < 3 || token.size() > 12) return std::nullopt;
    const std::string lower = LowerLatin(token);
    int found = 0;
    for (const auto& names : kMonthNames) {
        for (size_t month = 0; month < names.size(); ++month) {
            const std::string_view name = names[month];
            if (name.substr(0, lower.size()) != lower) continue;
            const int number = static_cast<int>(month) + 1;
            if (found && found != number) return std::nullopt;
            found = number;
        }
    }
    if (!found) return std::nullopt;
    return found;
}

namespace {

// Where a line's date and time lie: columns first..last, and what they say.
struct DateSpan {
    size_t first = 0;
    size_t last = 0;
    TEntryTime time;
};

// The shapes of date columns whose values cannot be read: a month in a language not listed
// above, numbers out of range, a form not met yet. They only say where a date stands, so that a
// line is not lost for its date; such a date is never read as one.

// A word in a month's place: letters of any script, no digits.
bool IsLooseWord(std::string_view token)
{
    if (token.size() < 2 || token.size() > 16) return false;
    for (char c : token)
        if (IsDigit(c)) return false;
    return true;
}

// One or two digits, bare or with the marks that follow a day: "5", "05.", "7,", "7日".
bool IsLooseDay(std::string_view token)
{
    size_t digits = 0;
    while (digits < token.size() && IsDigit(token[digits])) ++digits;
    if (digits < 1 || digits > 2) return false;
    const std::string_view mark = token.substr(digits);
    if (mark.empty() || mark == "." || mark == ",") return true;
    if (mark.size() > 4) return false;
    for (char c : mark)
        if (static_cast<unsigned char>(c) < 0x80) return false;
    return true;
}

// Digits around colons, perhaps fractions and AM/PM: "25:61", "9:05:00.5PM".
bool IsLooseClock(std::string_view token)
{
    if (token.size() > 2 && MeridiemOf(token.substr(token.size() - 2))) token.remove_suffix(2);
    if (token.empty() || token.size() > 20 || !IsDigit(token[0]) ||
        token.find(':') == std::string_view::npos)
        return false;
    for (char c : token)
        if (!IsDigit(c) && c != ':' && c != '.') return false;
    return true;
}

bool IsLooseYear(std::string_view token)
{
    StripSuffix(token, ",");
    return AllDigits(token, 4, 4);
}

// Two or three groups of digits joined by one kind of separator: "13-45", "2026/13/45". The
// number of groups, or 0 for any other token.
size_t LooseNumericDateGroups(std::string_view token)
{
    const size_t first = token.find_first_of("-/.");
    if (first == std::string_view::npos) return 0;
    const char separator = token[first];
    size_t groups = 0;
    size_t begin = 0;
    for (;;) {
        const size_t end = std::min(token.find(separator, begin), token.size());
        if (!AllDigits(token.substr(begin, end - begin), 1, 4) || ++groups > 3) return 0;
        if (end == token.size()) break;
        begin = end + 1;
    }
    return groups >= 2 ? groups : 0;
}

class LineReader {
public:
    LineReader(std::string_view line, const TListDay& today)
        : line_(line), columns_(SplitColumns(line)), today_(today)
    {
    }

    std::optional<Entry> Read()
    {
        if (columns_.empty()) return std::nullopt;
        if (IsPermissions(Text(0))) return ReadUnix();
        return ReadDos();
    }

private:
    std::string_view Text(size_t k) const
    {
        return k < columns_.size()
                   ? line_.substr(columns_[k].begin, columns_[k].end - columns_[k].begin)
                   : std::string_view();
    }

    // File type, then three triplets of permissions; ACL and context marks may follow ("+",
    // "@", ".").
    static bool IsPermissions(std::string_view text)
    {
        if (text.size() < 10 || !(IsAsciiLetter(text[0]) || text[0] == '-')) return false;
        for (char c : text.substr(1, 9))
            if (std::string_view("rwxsStTlL-").find(c) == std::string_view::npos) return false;
        return true;
    }

    // Device files list "major, minor" (or "major,minor") where others have their size.
    static bool IsDeviceMajor(std::string_view text)
    {
        return text.size() >= 2 && text.back() == ',' &&
               AllDigits(text.substr(0, text.size() - 1), 1, 10);
    }

    static bool IsDevicePair(std::string_view text)
    {
        const size_t comma = text.find(',');
        return comma != std::string_view::npos && AllDigits(text.substr(0, comma), 1, 10) &&
               AllDigits(text.substr(comma + 1), 1, 10);
    }

    // A time column at k, with an AM/PM column after it when the time has none; the index of the
    // span's last column, or nothing.
    std::optional<size_t> ClockAt(size_t k, TEntryTime& time) const
    {
        std::optional<Clock> clock = ClockOf(Text(k));
        if (!clock) return std::nullopt;
        // A separate "AM" or "PM" only in capitals, and only with more after it: as a word of
        // its own it may as well begin the name, or be all of it.
        const std::string_view next = Text(k + 1);
        if (!clock->meridiem && (next == "AM" || next == "PM") && k + 2 < columns_.size() &&
            ApplyMeridiem(*clock, MeridiemOf(next)))
            ++k;
        time.hasTime = true;
        time.hour = clock->hour;
        time.minute = clock->minute;
        time.second = clock->second;
        return k;
    }

    // A numeric date and its time, and the zone offset that may follow: "2026-12-07 16:30",
    // "12-07-26  09:01PM", "07.12.2026 21:01:00.000 +0100".
    std::optional<DateSpan> NumericSpanAt(size_t k) const
    {
        std::optional<TEntryTime> date = NumericDateOf(Text(k));
        if (!date) return std::nullopt;
        DateSpan span{k, k, *date};
        const std::optional<size_t> last = ClockAt(k + 1, span.time);
        if (!last) return std::nullopt;
        span.last = *last;
        if (IsZoneOffset(Text(span.last + 1))) ++span.last;
        return span;
    }

    // Month and day, or day and month ("10. Jan"), then the time of this year's files or the
    // year of older ones; some servers write both, the year first ("Dec 7, 2026 4:30 PM"). A
    // time followed by a year is not read as one date: the year would more likely be the first
    // word of the name.
    std::optional<DateSpan> NamedMonthSpanAt(size_t k) const
    {
        std::optional<int> month = MonthOf(Text(k));
        std::optional<int> day = month ? DayOf(Text(k + 1)) : std::nullopt;
        if (!month || !day) {
            day = DayOf(Text(k));
            month = day ? MonthOf(Text(k + 1)) : std::nullopt;
            if (!month) return std::nullopt;
        }
        DateSpan span{k, k + 1, {}};
        span.time.known = true;
        span.time.month = *month;
        span.time.day = *day;
        if (std::optional<size_t> last = ClockAt(k + 2, span.time)) {
            span.last = *last;
            span.time.year = InferYear(*month, *day, today_);
            return span;
        }
        const std::optional<int> year = YearOf(Text(k + 2));
        if (!year) return std::nullopt;
        span.time.year = *year;
        span.last = k + 2;
        // The time after the year must leave a name after it.
        TEntryTime withClock = span.time;
        if (std::optional<size_t> last = ClockAt(k + 3, withClock);
            last && *last + 1 < columns_.size()) {
            span.time = withClock;
            span.last = *last;
        }
        return span;
    }

    // "2026.12.07" standing alone, with no time after it.
    std::optional<DateSpan> DottedDateSpanAt(size_t k) const
    {
        if (!IsYearFirstDotted(Text(k))) return std::nullopt;
        const std::optional<TEntryTime> date = NumericDateOf(Text(k));
        if (!date) return std::nullopt;
        return DateSpan{k, k, *date};
    }

    // A dashed month and day, then the year of older files or the time of this year's:
    // "12-07 2026", "12-07 16:30".
    std::optional<DateSpan> DashedMonthDaySpanAt(size_t k) const
    {
        const std::optional<TEntryTime> date = DashedMonthDayOf(Text(k));
        if (!date) return std::nullopt;
        DateSpan span{k, k, *date};
        if (std::optional<size_t> last = ClockAt(k + 1, span.time)) {
            span.last = *last;
            span.time.year = InferYear(span.time.month, span.time.day, today_);
            return span;
        }
        const std::optional<int> year = YearOf(Text(k + 1));
        if (!year) return std::nullopt;
        span.time.year = *year;
        span.last = k + 1;
        return span;
    }

    // Month and day as numbers, the month first, then the time, where "Jan  5 12:30" would
    // stand: "1  5 12:30", "12 07 16:30".
    std::optional<DateSpan> NumericMonthDaySpanAt(size_t k) const
    {
        if (!AllDigits(Text(k), 1, 2) || !AllDigits(Text(k + 1), 1, 2)) return std::nullopt;
        DateSpan span{k, k + 1, {}};
        span.time.month = NumberOf(Text(k));
        span.time.day = NumberOf(Text(k + 1));
        if (span.time.month < 1 || span.time.month > 12 || span.time.day < 1 || span.time.day > 31)
            return std::nullopt;
        const std::optional<size_t> last = ClockAt(k + 2, span.time);
        if (!last) return std::nullopt;
        span.last = *last;
        span.time.known = true;
        span.time.year = InferYear(span.time.month, span.time.day, today_);
        return span;
    }

    std::optional<DateSpan> SpanAt(size_t k) const
    {
        if (std::optional<DateSpan> span = NumericSpanAt(k)) return span;
        if (std::optional<DateSpan> span = DottedDateSpanAt(k)) return span;
        if (std::optional<DateSpan> span = DashedMonthDaySpanAt(k)) return span;
        if (std::optional<DateSpan> span = NumericMonthDaySpanAt(k)) return span;
        return NamedMonthSpanAt(k);
    }

    // Where a date of one of the loose shapes stands, its time unknown: a numeric date and
    // perhaps a time, or month, day and a time or year in either order. A separate AM/PM and a
    // zone offset go with it as with a date that can be read.
    std::optional<DateSpan> LooseSpanAt(size_t k) const
    {
        DateSpan span{k, k, {}};
        if (const size_t groups = LooseNumericDateGroups(Text(k))) {
            // Two groups are a day and month whose year, if any, stands apart ("25-12 2024").
            if (groups == 2 && IsLooseYear(Text(k + 1)) && k + 2 < columns_.size()) ++span.last;
            if (IsLooseClock(Text(span.last + 1))) ++span.last;
        } else if (((IsLooseWord(Text(k)) || AllDigits(Text(k), 1, 2)) &&
                    IsLooseDay(Text(k + 1))) ||
                   (IsLooseDay(Text(k)) && IsLooseWord(Text(k + 1)))) {
            const std::string_view third = Text(k + 2);
            if (!IsLooseClock(third) && !IsLooseYear(third)) return std::nullopt;
            span.last = k + 2;
            // As with a date that can be read: a time after the year must leave a name.
            if (IsLooseYear(third) && IsLooseClock(Text(k + 3)) && k + 4 < columns_.size())
                span.last = k + 3;
        } else {
            return std::nullopt;
        }
        const std::string_view next = Text(span.last + 1);
        if ((next == "AM" || next == "PM") && span.last + 2 < columns_.size()) ++span.last;
        if (IsZoneOffset(Text(span.last + 1))) ++span.last;
        return span;
    }

    std::string DateText(const DateSpan& span) const
    {
        std::string text;
        for (size_t k = span.first; k <= span.last; ++k)
            (text += k > span.first ? " " : "") += Text(k);
        return text;
    }

    // Permissions, then (usually) the link count, owner and group, the size, the date, the name.
    // The date is searched from the fourth column on, past the permissions, link count and owner,
    // which also keeps an owner named like a month ("jan") followed by a numeric group and a size
    // that looks like a year from being read as the date; a line without owner and group is
    // searched from the third. The first date from the left whose size column fits is the
    // line's: a name may itself look like a date.
    //
    // A line whose date cannot be read anywhere is searched again, the same way, for where a
    // date stands by its shape alone: the entry is kept with its time unknown, rather than lost
    // from every listing and tree transfer. A date that can be read goes first wherever it
    // stands, since a loose shape is the weaker sign.
    std::optional<Entry> ReadUnix() const
    {
        for (const bool loose : {false, true}) {
            for (size_t i = 3; i + 1 < columns_.size(); ++i)
                if (std::optional<Entry> entry = UnixEntryAt(i, loose)) return entry;
            if (std::optional<Entry> entry = UnixEntryAt(2, loose)) return entry;
        }
        return std::nullopt;
    }

    // The entry when the date begins at column i and the size stands before it.
    std::optional<Entry> UnixEntryAt(size_t i, bool loose) const
    {
        const std::string_view before = Text(i - 1);
        const bool device = IsDevicePair(before) || (IsSize(before) && IsDeviceMajor(Text(i - 2)));
        if (!device && !IsSize(before)) return std::nullopt;
        const std::optional<DateSpan> span = loose ? LooseSpanAt(i) : SpanAt(i);
        if (!span || span->last + 1 >= columns_.size()) return std::nullopt;
        return UnixEntry(*span, device ? std::string_view() : before);
    }

    std::optional<Entry> UnixEntry(const DateSpan& span, std::string_view size) const
    {
        Entry entry;
        entry.attribute = std::string(Text(0));
        // A device has no size in bytes; its "1, 3" would read as a size of 1 or 3.
        entry.size = std::string(size);
        entry.date = DateText(span);
        // Servers write exactly one blank after the date (they pad it on its left), so further
        // blanks belong to the name.
        entry.name = std::string(line_.substr(columns_[span.last].end + 1));
        TFTPListEntry& parsed = entry.parsed;
        switch (entry.attribute[0]) {
        case '-': parsed.kind = TEntryKind::File; break;
        case 'd': parsed.kind = TEntryKind::Directory; break;
        case 'l': parsed.kind = TEntryKind::Link; break;
        default: parsed.kind = TEntryKind::Other; break;
        }
        if (parsed.kind == TEntryKind::Link) {
            const size_t arrow = entry.name.find(" -> ");
            if (arrow != std::string::npos && arrow > 0) {
                parsed.linkTarget = entry.name.substr(arrow + 4);
                entry.name.resize(arrow);
            }
        }
        return Finish(std::move(entry), span);
    }

    // Date and time, "<DIR>" or the size, the name. A date that cannot be read, in the shape of
    // one, keeps the entry with its time unknown.
    std::optional<Entry> ReadDos() const
    {
        std::optional<DateSpan> span = NumericSpanAt(0);
        if (!span && LooseNumericDateGroups(Text(0)) && IsLooseClock(Text(1)))
            span = LooseSpanAt(0);
        if (!span || span->last + 2 >= columns_.size()) return std::nullopt;
        const std::string_view sizeOrDir = Text(span->last + 1);
        Entry entry;
        if (LowerLatin(sizeOrDir) == "<dir>") {
            entry.attribute = "<DIR>";
            entry.parsed.kind = TEntryKind::Directory;
        } else if (std::optional<std::string> digits = GroupedSize(sizeOrDir)) {
            entry.size = std::move(*digits);
            entry.parsed.kind = TEntryKind::File;
        } else {
            return std::nullopt;
        }
        entry.date = DateText(*span);
        // The blanks before the name pad the size column to a width that differs between servers
        // and between "<DIR>" and size lines, so none of them can be told to be the name's own.
        entry.name = std::string(line_.substr(columns_[span->last + 2].begin));
        return Finish(std::move(entry), *span);
    }

    std::optional<Entry> Finish(Entry entry, const DateSpan& span) const
    {
        if (entry.name.empty()) return std::nullopt;
        TFTPListEntry& parsed = entry.parsed;
        parsed.name = entry.name;
        if (!entry.size.empty()) parsed.size = DecimalSize(entry.size);
        parsed.modified = span.time;
        SettleEndOfDay(parsed.modified);
        parsed.rawLine = std::string(line_);
        return entry;
    }

    std::string_view line_;
    std::vector<Column> columns_;
    TListDay today_;
};

} // namespace

std::optional<Entry> ReadListLine(std::string_view line, const TListDay& today)
{
    return LineReader(line, today).Read();
}

void UndatedEntries::See(const TFTPListEntry& entry, std::string_view line)
{
    if (entry.modified.known) return;
    if (count_++ == 0) first_ = std::string(line);
}

std::string UndatedEntries::Report() const
{
    if (count_ == 0) return std::string();
    if (count_ == 1) return "Date not readable, time unknown: " + first_;
    return "Date not readable in " + std::to_string(count_) +
           " listing lines, time unknown; the first: " + first_;
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
