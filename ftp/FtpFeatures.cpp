// After login: what the server says of itself (FEAT, RFC 2389), the character set of the
// session's names (RFC 2640), and the facts of its machine listings (MLST, RFC 3659).
#include "ftp/MlsdParser.h"
#include "ftp/SetupOperation.h"
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

// The facts the parsers read, in the spelling of RFC 3659 and the servers that offer UNIX.mode.
constexpr const char* kWantedFacts[] = {"type", "size", "modify", "perm", "unique", "UNIX.mode"};

bool Wanted(const std::string& fact)
{
    return std::any_of(std::begin(kWantedFacts), std::end(kWantedFacts),
                       [&](const char* wanted) { return Upper(wanted) == Upper(fact); });
}

// A line of a reply without its line end; blanks stay, they may end a name.
std::string WithoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

} // namespace

namespace ftpfeatures {

std::optional<std::string> FeatureOf(const std::string& line)
{
    if (line.size() < 2 || line[0] != ' ') return std::nullopt;
    const size_t end = line.find_last_not_of(" \r\n");
    if (end == std::string::npos) return std::nullopt;
    const size_t begin = line.find_first_not_of(' ');
    return line.substr(begin, end + 1 - begin);
}

bool Listed(const std::vector<std::string>& features, const std::string& name)
{
    const std::string wanted = Upper(name);
    return std::any_of(features.begin(), features.end(),
                       [&](const std::string& feature) { return FeatureName(feature) == wanted; });
}

// FEAT names the facts the server knows and marks those it sends now with "*":
// "MLST type*;size*;modify*;perm;unique;UNIX.mode;". The facts asked for are given in the
// server's own spelling; a server that refuses the option still sends its default facts.
std::string MlstFactsToAsk(const std::vector<std::string>& features)
{
    const auto feature = std::find_if(features.begin(), features.end(), [](const std::string& f) {
        return FeatureName(f) == "MLST";
    });
    if (feature == features.end()) return {};
    const size_t blank = feature->find(' ');
    const std::string offered = blank == std::string::npos ? "" : feature->substr(blank + 1);
    std::string asked;
    bool missing = false;
    for (size_t begin = 0; begin < offered.size();) {
        size_t end = offered.find(';', begin);
        if (end == std::string::npos) end = offered.size();
        std::string fact = offered.substr(begin, end - begin);
        begin = end + 1;
        const bool sent = !fact.empty() && fact.back() == '*';
        if (sent) fact.pop_back();
        if (fact.empty() || !Wanted(fact)) continue;
        asked += fact + ";";
        missing = missing || !sent;
    }
    return missing ? asked : std::string();
}

} // namespace ftpfeatures

bool TVaskFTP::HasFeature(const std::string& name) const
{
    return ftpfeatures::Listed(features_, name);
}

void TVaskFTP::ForgetFeatures()
{
    features_.clear();
    utf8_ = false;
    mlsdFailed_ = false;
    mlstFactsAsked_ = false;
    listingNames_.Reset();
    fileChecks_ = {};
}

bool TVaskFTP::UsesMachineListings() const { return HasFeature("MLST") && !mlsdFailed_; }

void TVaskFTP::AskMlstFacts()
{
    if (mlstFactsAsked_) return;
    mlstFactsAsked_ = true;
    const std::string asked = ftpfeatures::MlstFactsToAsk(features_);
    if (asked.empty()) return;
    ReportStatus(1, "OPTS MLST " + asked);
    Transaction("OPTS MLST " + asked);
}

std::optional<TFTPListEntry> TVaskFTP::DescribePath(const std::string& path)
{
    ControlUse use(*this);
    Canceled = false;
    CheckConnection();
    RequireSingleLine(path);
    if (!HasFeature("MLST")) return std::nullopt;
    AskMlstFacts();
    const std::string command = "MLST " + path;
    ReportStatus(1, command);
    // "250-Listing /pub", " type=dir;modify=20261207163000; /pub", "250 End": the fact line is
    // the one that begins with a blank.
    std::string facts;
    const std::string reply = replies_.Command(command, [&](const std::string& line) {
        if (facts.empty() && line.size() > 1 && line[0] == ' ')
            facts = WithoutLineEnd(line.substr(1));
    });
    // A server that hangs up has not answered: that is no "no such path".
    if (reply.empty()) throw FTPException::Refusal(reply);
    if (ReplyCode < 200 || ReplyCode > 299 || facts.empty()) return std::nullopt;
    TFTPListEntry entry;
    if (mlsd::ReadLine(facts, entry) == mlsd::LineKind::Broken) return std::nullopt;
    return entry;
}
