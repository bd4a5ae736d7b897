#pragma once
// The netrc file that command-line FTP clients share (~/.netrc): entries of
//   machine NAME login USER password SECRET
// and one "default" entry for any other machine, the words separated by blanks or line ends.
// A word may be written in double quotes, with \" and \\ inside; "account" is read and ignored;
// a "macdef NAME" macro runs to the next empty line and is skipped; a "#" that starts a word at
// the start of a line makes the line a comment.
#include <optional>
#include <string>

namespace ftpdrive {

struct NetrcEntry {
    std::string login; // empty when the entry names none
    std::optional<std::string> password;
};

// The entry for `host` (names compared without regard to case): the first "machine" entry of
// that name whose login is `user`, or that names no login; failing that, the "default" entry on
// the same terms. With no `user`, the first entry for the machine, whatever its login.
std::optional<NetrcEntry> FindNetrcEntry(const std::string& text, const std::string& host,
                                         const std::optional<std::string>& user);

} // namespace ftpdrive
