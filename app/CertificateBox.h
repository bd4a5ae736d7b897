#pragma once
// The box that asks the user about a server certificate that did not verify: who it names, who
// issued it, how long it is valid, its SHA-256 fingerprint and what is wrong with it, in
// Portuguese, with a plain warning when the server had shown another certificate before. Three
// answers: "Confiar sempre", "Confiar desta vez", "Cancelar" (the default, also Esc).
#include "ftp/FtpTypes.h"

#include <QString>

class QWidget;

namespace app {

struct CertificateQuestion {
    QString server; // "host:port", as the user named it
    TCertificateInfo certificate;
    bool changed = false; // the server is known with another certificate
};

// The box's text, one fact a line.
QString CertificateBoxText(const CertificateQuestion& question);
// What is wrong with a certificate, in words ("o certificado expirou; ...").
QString CertificateProblemsText(const TCertificateInfo& certificate);

TCertificateAnswer AskAboutCertificate(QWidget* parent, const CertificateQuestion& question);

} // namespace app
