// The file of trusted server certificates, with arbitrary bytes in it: what is read for a server
// is only ever fingerprints in their one written form; trusting a certificate either leaves the
// file byte for byte as it was and says why, or writes it so that the server has that
// certificate alone and every other server's lines stay as they were.
#include "app/TrustedCertificates.h"
#include "net/Certificate.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kFingerprint = "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:"
                                     "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";

QByteArray Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir folder;
    if (!folder.isValid()) std::abort();
    const QString path = folder.filePath(QStringLiteral("certificados-confiaveis"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    const app::TrustedCertificates trusted(path);
    const QString host = QStringLiteral("servidor.exemplo");
    for (const std::string& fingerprint : trusted.FingerprintsFor(host, 21))
        if (CanonicalFingerprint(fingerprint) != fingerprint) std::abort();
    const std::vector<std::string> others = trusted.FingerprintsFor(QStringLiteral("outro"), 990);

    const QByteArray before = Read(path);
    const QString problem = trusted.Trust(QStringLiteral("Servidor.Exemplo"), 21, kFingerprint);
    if (!problem.isEmpty()) {
        if (Read(path) != before) std::abort();
        return 0;
    }
    const std::vector<std::string> now = trusted.FingerprintsFor(host, 21);
    if (now.size() != 1 || now.front() != *CanonicalFingerprint(kFingerprint)) std::abort();
    if (trusted.FingerprintsFor(QStringLiteral("outro"), 990) != others) std::abort();
    return 0;
}
