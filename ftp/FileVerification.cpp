#include "ftp/FileVerification.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace verify {

namespace {

std::string Upper(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

constexpr DigestAlgorithm kPreferred[] = {DigestAlgorithm::Sha256, DigestAlgorithm::Sha1,
                                          DigestAlgorithm::Md5, DigestAlgorithm::Crc32};

struct OlderCommand {
    const char* word;
    DigestAlgorithm algorithm;
};
constexpr OlderCommand kOlderCommands[] = {{"XSHA256", DigestAlgorithm::Sha256},
                                           {"XSHA1", DigestAlgorithm::Sha1},
                                           {"XMD5", DigestAlgorithm::Md5},
                                           {"XCRC", DigestAlgorithm::Crc32}};

// "HASH SHA-256;SHA-1*;MD5" offers three; the one with "*" is in use.
std::optional<HashChoice> ChooseFromHashFeature(const std::string& offered)
{
    std::vector<DigestAlgorithm> known;
    std::optional<DigestAlgorithm> current;
    std::istringstream names(offered);
    for (std::string name; std::getline(names, name, ';');) {
        const bool inUse = !name.empty() && name.back() == '*';
        if (inUse) name.pop_back();
        const std::optional<DigestAlgorithm> algorithm = DigestByName(name);
        if (!algorithm) continue;
        known.push_back(*algorithm);
        if (inUse) current = algorithm;
    }
    for (DigestAlgorithm wanted : kPreferred) {
        if (std::find(known.begin(), known.end(), wanted) == known.end()) continue;
        HashChoice choice{wanted, {}, current, "HASH"};
        if (current != wanted) choice.select = std::string("OPTS HASH ") + DigestName(wanted);
        return choice;
    }
    return std::nullopt;
}

bool IsHex(const std::string& text)
{
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

std::optional<HashChoice> ChooseHash(const std::vector<std::string>& features)
{
    for (const std::string& feature : features) {
        const size_t blank = feature.find(' ');
        if (Upper(feature.substr(0, blank)) != "HASH") continue;
        if (blank == std::string::npos) continue;
        if (auto choice = ChooseFromHashFeature(feature.substr(blank + 1))) return choice;
    }
    for (const OlderCommand& older : kOlderCommands)
        for (const std::string& feature : features)
            if (Upper(feature.substr(0, feature.find(' '))) == older.word)
                return HashChoice{older.algorithm, {}, std::nullopt, older.word};
    return std::nullopt;
}

int64_t HashAnswerPatienceMs(int64_t timeOutMs, int64_t bytes)
{
    constexpr int64_t kServerHashBytesPerSecond = 20 * 1000 * 1000;
    if (timeOutMs <= 0) return timeOutMs;
    return timeOutMs + bytes / kServerHashBytesPerSecond * 1000;
}

std::string UnavailableText(const std::string& name)
{
    return "The server offers no checksum: " + name + " not verified";
}

std::string NoChecksumText(const std::string& reply, const std::string& name)
{
    std::string said = reply;
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
    return "No checksum from the server (" + said + "): " + name + " not verified";
}

std::string VerifiedText(DigestAlgorithm algorithm, const std::string& value)
{
    return std::string("Verified: ") + DigestName(algorithm) + " " + value;
}

std::optional<HashChoice> AfterSelection(HashChoice choice, bool accepted)
{
    if (!accepted) {
        // It keeps to the one it uses already, which is as good a proof if weaker.
        if (!choice.fallback) return std::nullopt;
        choice.algorithm = *choice.fallback;
    }
    choice.select.clear();
    return choice;
}

std::optional<std::string> HashOfReply(const std::string& reply, DigestAlgorithm algorithm)
{
    if (reply.size() < 4 || reply[0] != '2' || reply[3] != ' ') return std::nullopt;
    std::istringstream words(reply.substr(4));
    const size_t length = DigestHexLength(algorithm);
    for (std::string word; words >> word;) {
        // HASH names its algorithm before the value; another one than asked for is no answer.
        if (const std::optional<DigestAlgorithm> named = DigestByName(word))
            if (*named != algorithm) return std::nullopt;
        if (word.size() == length && IsHex(word)) return Lower(word);
    }
    return std::nullopt;
}

std::string MismatchText(const std::string& name, DigestAlgorithm algorithm,
                         const std::string& local, const std::string& server)
{
    return std::string("Checksum mismatch for ") + name + ": " + DigestName(algorithm) + " here " +
           local + ", on the server " + server;
}

} // namespace verify
