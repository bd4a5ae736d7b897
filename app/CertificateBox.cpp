#include "app/CertificateBox.h"

#include "app/Dialogs.h"

#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

namespace app {

namespace {

QString ProblemInWords(TCertificateProblem problem)
{
    switch (problem) {
    case TCertificateProblem::UntrustedIssuer:
        return QStringLiteral("emitido por uma autoridade que não é confiável");
    case TCertificateProblem::SelfSigned:
        return QStringLiteral("assinado por ele mesmo, sem autoridade que o garanta");
    case TCertificateProblem::Expired: return QStringLiteral("o certificado expirou");
    case TCertificateProblem::NotYetValid:
        return QStringLiteral("o certificado ainda não é válido");
    case TCertificateProblem::NameMismatch:
        return QStringLiteral("emitido para outro nome de servidor");
    case TCertificateProblem::NoCertificate:
        return QStringLiteral("o servidor não apresentou certificado");
    case TCertificateProblem::Other: break;
    }
    return QStringLiteral("a cadeia de certificados não pôde ser verificada");
}

} // namespace

QString CertificateProblemsText(const TCertificateInfo& certificate)
{
    QStringList words;
    for (const TCertificateProblem problem : certificate.Problems)
        if (!words.contains(ProblemInWords(problem))) words << ProblemInWords(problem);
    return words.join(QStringLiteral("; "));
}

QString CertificateBoxText(const CertificateQuestion& question)
{
    const TCertificateInfo& c = question.certificate;
    QStringList lines;
    if (question.changed) {
        lines << QStringLiteral("ATENÇÃO: o certificado do servidor %1 MUDOU desde a última "
                                "conexão.")
                     .arg(question.server)
              << QStringLiteral("Pode ser uma troca feita pelo administrador do servidor, mas "
                                "também pode ser alguém se passando por ele para ler a sua senha "
                                "e os seus arquivos. Só confie se tiver certeza.");
    } else {
        lines << QStringLiteral("O certificado do servidor %1 não pôde ser verificado.")
                     .arg(question.server);
    }
    lines << QString() << QStringLiteral("Problema: ") + CertificateProblemsText(c)
          << QStringLiteral("Emitido para: ") + QString::fromStdString(c.Subject)
          << QStringLiteral("Emitido por: ") + QString::fromStdString(c.Issuer)
          << QStringLiteral("Válido de ") + QString::fromStdString(c.NotBefore) +
                 QStringLiteral(" até ") + QString::fromStdString(c.NotAfter)
          << QStringLiteral("Impressão digital SHA-256:") << QString::fromStdString(c.Fingerprint)
          << QString() << QStringLiteral("Deseja confiar neste certificado?");
    return lines.join(u'\n');
}

TCertificateAnswer AskAboutCertificate(QWidget* parent, const CertificateQuestion& question)
{
    QMessageBox box(question.changed ? QMessageBox::Critical : QMessageBox::Warning,
                    QString::fromLatin1(kApplicationTitle), CertificateBoxText(question),
                    QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("CertificateBox"));
    // The names come from the server: they are shown as text, never read as markup.
    box.setTextFormat(Qt::PlainText);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPushButton* always = box.addButton(QStringLiteral("Confiar sempre"), QMessageBox::AcceptRole);
    QPushButton* once = box.addButton(QStringLiteral("Confiar desta vez"), QMessageBox::YesRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancelar"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == always) return TCertificateAnswer::AcceptAlways;
    if (box.clickedButton() == once) return TCertificateAnswer::AcceptOnce;
    return TCertificateAnswer::Reject;
}

} // namespace app
