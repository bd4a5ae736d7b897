#include "app/Dialogs.h"

#include "app/WireText.h"
#include "platform/Exception.h"

#include <QDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace app {

namespace {

void ShowBox(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::NoButton,
                    parent);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

} // namespace

void ShowMessage(QWidget* parent, const QString& text)
{
    ShowBox(parent, QMessageBox::NoIcon, text);
}

QString ErrorBoxText(const QString& message)
{
    QString text = message;
    if (!text.isEmpty() && text.back() > QChar(u'.')) text += u'.';
    // A server's reply keeps its line end, which decides the rule above (no full stop after it)
    // but on screen would only add an empty line.
    while (text.endsWith(u'\n') || text.endsWith(u'\r')) text.chop(1);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

QString ErrorMessageText(const std::exception& error, WireCharset charset)
{
    // File errors name a path the way the file system spells it; everything else the component
    // raises carries protocol text.
    if (dynamic_cast<const FileError*>(&error)) return Printable(FromLocalPath(error.what()));
    if (dynamic_cast<const WindowError*>(&error)) return QString::fromUtf8(error.what());
    return Printable(FromWire(error.what(), charset));
}

void ShowErrorBox(QWidget* parent, const std::exception& error, WireCharset charset)
{
    ShowBox(parent, QMessageBox::Critical, ErrorBoxText(ErrorMessageText(error, charset)));
}

bool InputQuery(const QString& caption, const QString& prompt, QString& value)
{
    QDialog dialog;
    dialog.setWindowTitle(caption);
    dialog.setObjectName(QStringLiteral("InputQuery"));

    auto* label = new QLabel(prompt, &dialog);
    auto* entry = new QLineEdit(&dialog);
    entry->setObjectName(QStringLiteral("InputQueryEdit"));
    entry->setMaxLength(255);
    entry->setText(value.left(255));
    entry->selectAll();
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), &dialog);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(label);
    layout->addWidget(entry);
    layout->addLayout(buttons);
    entry->setMinimumWidth(entry->fontMetrics().averageCharWidth() * 40);

    dialog.adjustSize();
    dialog.setFixedSize(dialog.size());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = dialog.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        dialog.move(frame.topLeft());
    }
    entry->setFocus();
    if (dialog.exec() != QDialog::Accepted) return false;
    value = entry->text();
    return true;
}

} // namespace app
