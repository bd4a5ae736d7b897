#pragma once
// The server certificates the user chose to trust always: one line per server, "host port
// fingerprint" (the SHA-256 fingerprint in hex pairs joined by colons), in the file
// "certificados-confiaveis" of the program's configuration directory. A server found there has
// spoken TLS before, so the window requires it of that server from then on.
//
// The file is private to the user (0600 in a 0700 directory). Lines stay in the order written;
// a new certificate for a server takes the place of its old line. A file that cannot be read, or
// holds a line that is not such an entry, is never rewritten: Trust says where and why instead.
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
    // server had. Empty when done; otherwise why not, naming the file.
    QString Trust(const QString& host, int port, const std::string& fingerprint) const;

private:
    QString path_;
};

} // namespace app
