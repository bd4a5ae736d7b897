// Which codes each command may get: see ReplyFit.h.
#include "ftp/ReplyFit.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <initializer_list>
#include <string_view>

namespace ftpreply {

namespace {

struct Expected {
    std::string_view verb;
    std::initializer_list<int> preliminary;
    std::initializer_list<int> final;
};

// RFC 959 section 5.4 with its extensions (RFC 2428, RFC 3659, MFMT); only success codes are
// listed, every refusal fits.
constexpr std::initializer_list<int> kNone = {};
constexpr std::initializer_list<int> kDataOpening = {110, 120, 125, 150};
constexpr std::initializer_list<int> kDataClosing = {226, 250};
// The directory and file commands answer 250 (CDUP: 200); some servers say 200 for all of them.
constexpr std::initializer_list<int> kFileAction = {250, 200};
const std::array<Expected, 21> kTable = {{
    {"TYPE", kNone, {200}},
    {"SIZE", kNone, {213}},
    {"MDTM", kNone, {213}},
    {"MFMT", kNone, {213}},
    {"PASV", kNone, {227}},
    {"EPSV", kNone, {229}},
    {"PORT", kNone, {200}},
    {"EPRT", kNone, {200}},
    {"REST", kNone, {350}},
    {"RETR", kDataOpening, kDataClosing},
    {"STOR", kDataOpening, kDataClosing},
    {"APPE", kDataOpening, kDataClosing},
    {"LIST", kDataOpening, kDataClosing},
    {"MLSD", kDataOpening, kDataClosing},
    {"CWD", kNone, kFileAction},
    {"CDUP", kNone, kFileAction},
    {"DELE", kNone, kFileAction},
    {"RMD", kNone, kFileAction},
    {"RNFR", kNone, {350}},
    {"RNTO", kNone, kFileAction},
    {"PWD", kNone, {257}},
}};

// "MKD" answers 257; some servers say 250, as for the other directory commands.
const Expected kMakeDirectory = {"MKD", kNone, {257, 250}};

std::string VerbOf(const std::string& command)
{
    std::string verb = command.substr(0, command.find(' '));
    std::transform(verb.begin(), verb.end(), verb.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return verb;
}

const Expected* ExpectedFor(const std::string& verb)
{
    if (verb == kMakeDirectory.verb) return &kMakeDirectory;
    const auto row = std::find_if(kTable.begin(), kTable.end(), [&verb](const Expected& expected) {
        return expected.verb == verb;
    });
    return row == kTable.end() ? nullptr : &*row;
}

bool Among(int code, std::initializer_list<int> codes)
{
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

} // namespace

Fit FitOf(const std::string& command, const FtpReply& reply)
{
    if (reply.closed) return Fit::Final;
    const bool preliminary = reply.code >= 100 && reply.code <= 199;
    if (reply.code >= 400 && reply.code <= 599) return Fit::Final;
    const Expected* expected = ExpectedFor(VerbOf(command));
    if (!expected) return preliminary ? Fit::Preliminary : Fit::Final;
    if (Among(reply.code, expected->preliminary)) return Fit::Preliminary;
    if (Among(reply.code, expected->final)) return Fit::Final;
    return Fit::OutOfStep;
}

FtpFailure OutOfStepFailure(const std::string& command, const FtpReply& reply)
{
    std::string text = reply.first;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return {"Reply out of step with " + VerbOf(command) + ": " + text, ErrorReason::OutOfStep};
}

} // namespace ftpreply
