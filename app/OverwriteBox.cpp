#include "app/OverwriteBox.h"

#include "app/Dialogs.h"

#include <QMessageBox>
#include <QPushButton>

#include <utility>
#include <vector>

namespace app {

namespace {

OverwriteAnswer& InjectedAnswer()
{
    static OverwriteAnswer answer;
    return answer;
}

} // namespace

QString OverwriteBoxText(size_t existing)
{
    const QString count = existing == 1 ? QStringLiteral("Um arquivo já existe no destino.")
                                        : QString::number(existing) +
                                              QStringLiteral(" arquivos já existem no destino.");
    return count + QStringLiteral("\n\nO que fazer com os arquivos que já existem? A resposta vale "
                                  "para todos eles.");
}

void SetOverwriteAnswer(OverwriteAnswer answer) { InjectedAnswer() = std::move(answer); }

std::optional<transfer::OverwritePolicy> AskOverwritePolicy(QWidget* parent, size_t existing)
{
    if (InjectedAnswer()) return InjectedAnswer()(existing);
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kApplicationTitle),
                    OverwriteBoxText(existing), QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("OverwriteBox"));
    box.setTextFormat(Qt::PlainText);
    using transfer::OverwritePolicy;
    const std::vector<std::pair<QString, OverwritePolicy>> answers = {
        {QStringLiteral("Sobrescrever"), OverwritePolicy::Overwrite},
        {QStringLiteral("Retomar"), OverwritePolicy::Resume},
        {QStringLiteral("Pular"), OverwritePolicy::Skip},
        {QStringLiteral("Somente se diferente"), OverwritePolicy::IfDifferent},
    };
    std::vector<QPushButton*> buttons;
    for (const auto& answer : answers)
        buttons.push_back(box.addButton(answer.first, QMessageBox::AcceptRole));
    QPushButton* cancel = box.addButton(QStringLiteral("Cancelar"), QMessageBox::RejectRole);
    // The question is asked once a run and its answer holds for all of the run's files, which
    // the text says; a check box that could not be unchecked only raised the question why.
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    for (size_t i = 0; i < buttons.size(); ++i)
        if (box.clickedButton() == buttons[i]) return answers[i].second;
    return std::nullopt;
}

} // namespace app
