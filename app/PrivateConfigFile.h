#pragma once
// A small file of the user's settings in the program's configuration directory,
// $XDG_CONFIG_HOME/tavolen/ (~/.config/tavolen/ when that is not set), read as lines and replaced
// as a whole. What it holds says which servers the user trusts, so it is the user's alone: the
// directory is made 0700 and the file written 0600. A file that exists but cannot be read is
// never replaced -- that would drop whatever it held.
#include <QString>
#include <QStringList>

#include <optional>

namespace app {

// The path of `fileName` in the configuration directory of this environment.
QString ConfigFilePath(const char* fileName);

struct ConfigLines {
    QStringList lines; // without line ends; empty lines dropped
    // Why the file could not be read; empty when it was, or when there is none yet.
    QString problem;
};

ConfigLines ReadConfigLines(const QString& path);

// Replaces the file with `lines`, creating the directory when needed. Empty when written;
// otherwise why not, in words for the user.
QString WriteConfigLines(const QString& path, const QStringList& lines);

} // namespace app
