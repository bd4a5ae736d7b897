#pragma once
// The server certificates the user chose to trust always: one line per server, "host port
// fingerprint" (the SHA-256 fingerprint in hex pairs joined by colons), in the file
// "certificados-confiaveis" of the program's configuration directory, $XDG_CONFIG_HOME/tavolen/
// (~/.config/tavolen/ when that is not set). Lines that cannot be read as such are ignored and
// left as they are; the file is replaced as a whole, so a write cut short never leaves half of it.
#include <QString>

#include <string>
#include <vector>

namespace app {

class TrustedCertificates {
public:
    // The file in the configuration directory of this environment.
    static QString DefaultPath();

    explicit TrustedCertificates(QString path = DefaultPath());
    const QString& Path() const { return path_; }

    // The fingerprints trusted for the server at host and port, read afresh from the file.
    std::vector<std::string> FingerprintsFor(const QString& host, int port) const;
    // Remembers `fingerprint` as the certificate of host and port, in place of any other that
    // server had. False when the file cannot be written.
    bool Trust(const QString& host, int port, const std::string& fingerprint) const;

private:
    QString path_;
};

} // namespace app
