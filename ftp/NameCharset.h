#pragma once
// The character set of the names of a server that does not say UTF8 in FEAT. Many such servers
// name their files in UTF-8 all the same (vsftpd by default, most hosting servers); others keep
// windows-1252. The listings tell: windows-1252 text with accented letters is almost never valid
// UTF-8 by chance, so a listing whose bytes outside ASCII are all valid UTF-8 is taken for UTF-8,
// and one with a single invalid sequence for windows-1252. A listing in plain ASCII says nothing.
//
// Whole lines are judged, not the names cut out of them: owners and month names come from the
// same system, in the same character set, and a line need not be parsed to be judged.
#include <string_view>

namespace ftpnames {

enum class Evidence {
    None,    // nothing outside ASCII so far
    Utf8,    // bytes outside ASCII, all of them valid UTF-8
    NotUtf8, // at least one sequence that is not UTF-8
};

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF, no
// sequence cut short.
bool IsUtf8(std::string_view bytes);

// What the listing says once `line` is added to what its earlier lines said.
Evidence Add(Evidence sofar, std::string_view line);

// Follows the listings of one session until one of them decides.
class NameCharsetGuess {
public:
    // A new session: nothing known.
    void Reset()
    {
        decided_ = false;
        utf8_ = false;
        listing_ = Evidence::None;
    }
    void BeginListing() { listing_ = Evidence::None; }
    void See(std::string_view line)
    {
        if (!decided_) listing_ = Add(listing_, line);
    }
    // A listing arrived whole; the first one with names outside ASCII decides for the session.
    void EndListing();
    bool Decided() const { return decided_; }
    bool Utf8() const { return utf8_; }

private:
    bool decided_ = false;
    bool utf8_ = false;
    Evidence listing_ = Evidence::None;
};

} // namespace ftpnames
