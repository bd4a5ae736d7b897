#pragma once
// The window's edge: what the user types is Unicode, what the FTP component speaks is bytes.
// Protocol text (host, names on the server, replies) is windows-1252, or UTF-8 for names and
// replies of a session whose server said so; local file paths are handed to the operating system,
// so they take the file system's encoding instead.
#include "platform/PrintableText.h"

#include <QString>

#include <string>

namespace app {

enum class WireCharset { Windows1252, Utf8 };

// Characters windows-1252 cannot hold become "?".
std::string ToWire(const QString& text);
QString FromWire(const std::string& bytes);
// In UTF-8, bytes that are no UTF-8 show as U+FFFD.
std::string ToWire(const QString& text, WireCharset charset);
QString FromWire(const std::string& bytes, WireCharset charset);

// The server's own bytes for a name the window put into an edit field, kept for as long as the
// field still shows that name: a name that is not valid in the session's character set shows as
// U+FFFD, which could not be turned back into the bytes that ask the server for it.
class RememberedName {
public:
    void Remember(const QString& shown, std::string wire);
    void Forget();
    // The remembered bytes while `text` is what they were shown as; otherwise `text` itself in
    // `charset`.
    std::string WireFor(const QString& text, WireCharset charset) const;

private:
    bool remembered_ = false;
    QString shown_;
    std::string wire_;
};

// A text of the server's as the window may show it: control characters as visible escapes.
QString Printable(const QString& text,
                  platform::LineBreaks lineBreaks = platform::LineBreaks::Keep);

// A path as the user typed it, as the file system takes it; "~" and "~/..." are the home folder.
std::string ToLocalPath(const QString& path);
QString FromLocalPath(const std::string& path);

} // namespace app
