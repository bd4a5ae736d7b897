// After login: what the server says of itself (FEAT, RFC 2389) and the character set of the
// session's names (RFC 2640).
#include "ftp/VaskFtp.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace {

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The first word of a feature: "MLST size*;type*;" is the feature "MLST".
std::string FeatureName(const std::string& feature)
{
    return Upper(feature.substr(0, feature.find(' ')));
}

// The inner lines of the FEAT reply that begin with a blank are its features, one a line:
// "211-Features:", " UTF8", " REST STREAM", "211 End".
std::optional<std::string> FeatureOf(const std::string& line)
{
    if (line.size() < 2 || line[0] != ' ') return std::nullopt;
    const size_t end = line.find_last_not_of(" \r\n");
    if (end == std::string::npos) return std::nullopt;
    const size_t begin = line.find_first_not_of(' ');
    return line.substr(begin, end + 1 - begin);
}

} // namespace

bool TVaskFTP::HasFeature(const std::string& name) const
{
    const std::string wanted = Upper(name);
    return std::any_of(features_.begin(), features_.end(),
                       [&](const std::string& feature) { return FeatureName(feature) == wanted; });
}

void TVaskFTP::ForgetFeatures()
{
    features_.clear();
    utf8_ = false;
    listingNames_.Reset();
}

std::string TVaskFTP::AfterLoginCommand(const std::string& command,
                                        const ReplyReader::LineSeen& seen)
{
    if (!Connected) RejectLogin({});
    ReportStatus(1, command);
    const std::string reply = replies_.Command(command, seen);
    // Anything else is an answer the session can live with; a server that is going is not.
    if (reply.empty() || ReplyCode == 421) RejectLogin(reply);
    return reply;
}

void TVaskFTP::NegotiateFeatures()
{
    std::vector<std::string> features;
    AfterLoginCommand("FEAT", [&](const std::string& line) {
        if (std::optional<std::string> feature = FeatureOf(line)) features.push_back(*feature);
    });
    // A server that does not know FEAT has no features to tell, which is no failure.
    if (ReplyCode < 200 || ReplyCode > 299) return;
    features_ = std::move(features);
    if (!HasFeature("UTF8")) return;
    // A server that lists UTF8 names its files in UTF-8. Some only switch to it when asked;
    // others refuse the option while speaking nothing else ("501 Invalid argument."), so its
    // answer does not undo what FEAT said.
    AfterLoginCommand("OPTS UTF8 ON");
    utf8_ = true;
}
