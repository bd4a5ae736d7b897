#include "ftp/ListEntry.h"

#include <cstdio>
#include <ctime>

std::string ToIso8601(const TEntryTime& time)
{
    if (!time.known) return "-";
    char text[40];
    if (!time.hasTime) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", time.year, time.month, time.day);
        return text;
    }
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%s", time.year, time.month,
                  time.day, time.hour, time.minute, time.second, time.utc ? "Z" : "");
    return text;
}

const char* KindName(TEntryKind kind)
{
    switch (kind) {
    case TEntryKind::File: return "file";
    case TEntryKind::Directory: return "dir";
    case TEntryKind::Link: return "link";
    case TEntryKind::Other: break;
    }
    return "other";
}

TListDay TListDay::Today()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday};
}

int InferYear(int month, int day, const TListDay& today)
{
    const bool ahead = month > today.month || (month == today.month && day > today.day + 1);
    return ahead ? today.year - 1 : today.year;
}

std::optional<uint64_t> DecimalSize(std::string_view digits)
{
    if (digits.empty() || digits.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}
