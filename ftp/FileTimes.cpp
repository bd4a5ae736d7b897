#include "ftp/FileTimes.h"

#include <cstdio>
#include <ctime>

namespace filetimes {

namespace {

bool AllDigits(std::string_view text)
{
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return !text.empty();
}

int Number(std::string_view digits)
{
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

std::optional<int64_t> SecondsOf(int year, int month, int day, int hour, int minute, int second)
{
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    const time_t seconds = ::timegm(&fields);
    // timegm carries 31 February over into March; such a date was never a file's time.
    if (fields.tm_mday != day || fields.tm_mon != month - 1) return std::nullopt;
    return static_cast<int64_t>(seconds);
}

// The forms tried without MFMT, in order. MDTM comes last: a server that does not set times
// with it reads the time as part of the name, and refuses a file that is not there.
std::string TimeForm(int form, const std::string& path, const std::string& time)
{
    if (form == 0) return "SITE UTIME " + time + " " + path;
    if (form == 1) return "SITE UTIME " + path + " " + time + " " + time + " " + time + " UTC";
    return "MDTM " + time + " " + path;
}
constexpr int kTimeForms = 3;

} // namespace

std::optional<int64_t> ParseTimeVal(std::string_view text)
{
    if (text.size() < 14 || !AllDigits(text.substr(0, 14))) return std::nullopt;
    if (text.size() > 14 && (text[14] != '.' || !AllDigits(text.substr(15)))) return std::nullopt;
    return SecondsOf(Number(text.substr(0, 4)), Number(text.substr(4, 2)),
                     Number(text.substr(6, 2)), Number(text.substr(8, 2)),
                     Number(text.substr(10, 2)), Number(text.substr(12, 2)));
}

std::string FormatTimeVal(int64_t seconds)
{
    const time_t value = static_cast<time_t>(seconds);
    std::tm fields{};
    ::gmtime_r(&value, &fields);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", fields.tm_year + 1900,
                  fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

std::optional<int64_t> TimeOfMdtmReply(const std::string& reply)
{
    if (reply.compare(0, 4, "213 ") != 0) return std::nullopt;
    std::string_view value(reply);
    value.remove_prefix(4);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' '))
        value.remove_suffix(1);
    return ParseTimeVal(value);
}

std::optional<int64_t> TimeOfEntry(const TEntryTime& time)
{
    if (!time.known || !time.utc || !time.hasTime) return std::nullopt;
    return SecondsOf(time.year, time.month, time.day, time.hour, time.minute, time.second);
}

TimeQuery TimeQueryFor(bool serverHasMlst)
{
    return serverHasMlst ? TimeQuery::Mlst : TimeQuery::Mdtm;
}

std::vector<std::string> TimeSettingCommands(bool serverHasMfmt, const ServerTimeSetting& known,
                                             const std::string& path, int64_t seconds)
{
    const std::string time = FormatTimeVal(seconds);
    if (serverHasMfmt) return {"MFMT " + time + " " + path};
    if (known.refused) return {};
    if (known.form >= 0) return {TimeForm(known.form, path, time)};
    std::vector<std::string> commands;
    for (int form = 0; form < kTimeForms; ++form) commands.push_back(TimeForm(form, path, time));
    return commands;
}

void NoteTimeSetting(ServerTimeSetting& known, bool serverHasMfmt, std::optional<size_t> worked)
{
    if (serverHasMfmt) return;
    if (!worked) {
        known.refused = known.form < 0;
        return;
    }
    if (known.form < 0) known.form = static_cast<int>(*worked);
}

} // namespace filetimes
