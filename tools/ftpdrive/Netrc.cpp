#include "tools/ftpdrive/Netrc.h"

#include <cctype>
#include <vector>

namespace ftpdrive {

namespace {

struct Entry {
    bool isDefault = false;
    std::string machine;
    NetrcEntry values;
};

class Words {
public:
    explicit Words(const std::string& text) : text_(text) {}

    // The next word, or nothing at the end of the text.
    std::optional<std::string> Next()
    {
        for (;;) {
            SkipBlanks();
            if (at_ >= text_.size()) return std::nullopt;
            if (text_[at_] == '#' && AtLineStart()) {
                SkipLine();
                continue;
            }
            return text_[at_] == '"' ? Quoted() : Plain();
        }
    }
    // A macro's body: everything up to the next empty line.
    void SkipMacro()
    {
        SkipLine();
        while (at_ < text_.size()) {
            const size_t end = text_.find('\n', at_);
            const std::string line =
                text_.substr(at_, end == std::string::npos ? std::string::npos : end - at_);
            at_ = end == std::string::npos ? text_.size() : end + 1;
            if (line.find_first_not_of(" \t\r") == std::string::npos) return;
        }
    }

private:
    static bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
    void SkipBlanks()
    {
        while (at_ < text_.size() && Blank(text_[at_])) ++at_;
    }
    bool AtLineStart() const
    {
        size_t before = at_;
        while (before > 0 && (text_[before - 1] == ' ' || text_[before - 1] == '\t')) --before;
        return before == 0 || text_[before - 1] == '\n';
    }
    void SkipLine()
    {
        const size_t end = text_.find('\n', at_);
        at_ = end == std::string::npos ? text_.size() : end + 1;
    }
    std::string Plain()
    {
        const size_t begin = at_;
        while (at_ < text_.size() && !Blank(text_[at_])) ++at_;
        return text_.substr(begin, at_ - begin);
    }
    std::string Quoted()
    {
        std::string word;
        for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
            if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
            word += text_[at_];
        }
        if (at_ < text_.size()) ++at_; // the closing quote
        return word;
    }

    const std::string& text_;
    size_t at_ = 0;
};

std::vector<Entry> ReadEntries(const std::string& text)
{
    std::vector<Entry> entries;
    Words words(text);
    while (std::optional<std::string> word = words.Next()) {
        if (*word == "machine" || *word == "default") {
            entries.emplace_back();
            entries.back().isDefault = *word == "default";
            if (!entries.back().isDefault) entries.back().machine = words.Next().value_or("");
        } else if (*word == "macdef") {
            words.Next(); // its name
            words.SkipMacro();
        } else if (*word == "login" || *word == "password" || *word == "account") {
            const std::string value = words.Next().value_or("");
            // Words before the first entry belong to none.
            if (entries.empty()) continue;
            if (*word == "login") entries.back().values.login = value;
            if (*word == "password") entries.back().values.password = value;
        }
        // Anything else is a word this reader does not know; it is passed over.
    }
    return entries;
}

bool SameHost(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

std::optional<NetrcEntry> FindNetrcEntry(const std::string& text, const std::string& host,
                                         const std::optional<std::string>& user)
{
    const std::vector<Entry> entries = ReadEntries(text);
    auto fits = [&](const Entry& entry) {
        return !user || entry.values.login.empty() || entry.values.login == *user;
    };
    for (const Entry& entry : entries)
        if (!entry.isDefault && SameHost(entry.machine, host) && fits(entry)) return entry.values;
    for (const Entry& entry : entries)
        if (entry.isDefault && fits(entry)) return entry.values;
    return std::nullopt;
}

} // namespace ftpdrive
