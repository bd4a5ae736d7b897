#pragma once
// The window's edge: what the user types is Unicode, what the FTP component speaks is bytes.
// Protocol text (host, names on the server, replies) is windows-1252; local file paths are handed
// to the operating system, so they take the file system's encoding instead.
#include <QString>

#include <string>

namespace app {

// Characters windows-1252 cannot hold become "?".
std::string ToWire(const QString& text);
QString FromWire(const std::string& bytes);

std::string ToLocalPath(const QString& path);
QString FromLocalPath(const std::string& path);

} // namespace app
