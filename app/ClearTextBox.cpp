#include "app/ClearTextBox.h"

#include "app/Dialogs.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>

namespace app {

QString ClearTextBoxText(const QString& server)
{
    return QStringLiteral("O servidor ") + server +
           QStringLiteral(" não oferece criptografia. Se continuar, o usuário, a senha e os "
                          "arquivos passarão pela rede sem proteção, legíveis por quem estiver "
                          "no caminho.\n\nDeseja continuar sem criptografia?");
}

ClearTextAnswer AskAboutClearText(QWidget* parent, const QString& server)
{
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kApplicationTitle),
                    ClearTextBoxText(server), QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("ClearTextBox"));
    // The server's name is the user's text: shown as text, never read as markup.
    box.setTextFormat(Qt::PlainText);
    QPushButton* goOn =
        box.addButton(QStringLiteral("Continuar sem criptografia"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancelar"), QMessageBox::RejectRole);
    auto* dontAsk = new QCheckBox(QStringLiteral("não perguntar de novo para este servidor"));
    box.setCheckBox(dontAsk); // the box owns it
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    ClearTextAnswer answer;
    answer.goOn = box.clickedButton() == goOn;
    answer.dontAskAgain = answer.goOn && dontAsk->isChecked();
    return answer;
}

} // namespace app
