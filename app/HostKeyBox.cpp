#include "app/HostKeyBox.h"

#include "app/Dialogs.h"

#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

namespace app {

QString HostKeyBoxText(const QString& server, const sftp::HostKey& key)
{
    QStringList lines;
    lines << QStringLiteral("A chave do servidor %1 não é conhecida.").arg(server)
          << QStringLiteral("Ela não está em ~/.ssh/known_hosts nem entre as chaves em que você "
                            "já confiou. Confira a impressão digital com o administrador do "
                            "servidor antes de confiar.")
          << QString() << QStringLiteral("Tipo da chave: ") + QString::fromStdString(key.type)
          << QStringLiteral("Impressão digital:") << QString::fromStdString(key.fingerprint)
          << QString() << QStringLiteral("Deseja confiar nesta chave?");
    return lines.join(u'\n');
}

QMessageBox* AskAboutHostKey(QWidget* parent, const QString& server, const sftp::HostKey& key,
                             std::function<void(sftp::HostKeyDecision)> answer)
{
    auto* box = new QMessageBox(QMessageBox::Warning, QString::fromLatin1(kApplicationTitle),
                                HostKeyBoxText(server, key), QMessageBox::NoButton, parent);
    box->setObjectName(QStringLiteral("HostKeyBox"));
    // The type comes from the server: shown as text, never read as markup.
    box->setTextFormat(Qt::PlainText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPushButton* always = box->addButton(QStringLiteral("Confiar sempre"), QMessageBox::AcceptRole);
    QPushButton* once = box->addButton(QStringLiteral("Confiar uma vez"), QMessageBox::YesRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancelar"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [box, always, once, answer] {
        const QAbstractButton* clicked = box->clickedButton();
        answer(clicked == always ? sftp::HostKeyDecision::TrustAlways
               : clicked == once ? sftp::HostKeyDecision::TrustOnce
                                 : sftp::HostKeyDecision::Cancel);
    });
    box->open();
    return box;
}

QString ChangedHostKeyText(const QString& server, const std::string& known, const std::string& now)
{
    const auto shown = [](const std::string& fingerprint) {
        return fingerprint.empty() ? QStringLiteral("(uma chave de outro tipo)")
                                   : QString::fromStdString(fingerprint);
    };
    QStringList lines;
    lines << QStringLiteral("ATENÇÃO: A CHAVE DO SERVIDOR %1 MUDOU!").arg(server)
          << QStringLiteral("Alguém pode estar se passando pelo servidor para ler a sua senha e "
                            "os seus arquivos. A conexão foi recusada sem enviar o usuário nem a "
                            "senha.")
          << QString() << QStringLiteral("Chave conhecida: ") + shown(known)
          << QStringLiteral("Chave apresentada agora: ") + shown(now) << QString()
          << QStringLiteral("Se o administrador trocou a chave, remova a antiga de "
                            "~/.ssh/known_hosts (ou do arquivo de chaves confiáveis do Tavolen) "
                            "e conecte de novo.");
    return lines.join(u'\n');
}

} // namespace app
