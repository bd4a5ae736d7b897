#include "app/ResumeBox.h"

#include "app/Dialogs.h"
#include "app/TransferText.h"

#include <QMessageBox>
#include <QPushButton>

namespace app {

QString ResumeBoxText(const QString& name, int64_t partialBytes)
{
    return QStringLiteral("Retomar o download anterior?\n\n") +
           ByteAmount(static_cast<double>(partialBytes)) + QStringLiteral(" de \"") + name +
           QStringLiteral("\" já foram recebidos e o arquivo no servidor não mudou desde então.");
}

std::optional<bool> AskResumeDownload(QWidget* parent, const QString& name, int64_t partialBytes)
{
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kApplicationTitle),
                    ResumeBoxText(name, partialBytes), QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("ResumeBox"));
    box.setTextFormat(Qt::PlainText);
    QPushButton* resume = box.addButton(QStringLiteral("Retomar"), QMessageBox::AcceptRole);
    QPushButton* restart = box.addButton(QStringLiteral("Recomeçar"), QMessageBox::DestructiveRole);
    box.setDefaultButton(resume);
    box.exec();
    if (box.clickedButton() == resume) return true;
    if (box.clickedButton() == restart) return false;
    return std::nullopt;
}

} // namespace app
