// A transfer as the user sees it: its progress in the status line, Esc to stop it without
// leaving the session, the question before the window closes on it, and what a failed command
// leaves in the status line. Also the names of the session shown again once a listing has settled
// their character set.
#include "app/Dialogs.h"
#include "app/LogView.h"
#include "app/ServerAddress.h"
#include "app/TransferText.h"
#include "app/Unit1.h"
#include "app/WireText.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>

namespace {

QString TransferProgress(int64_t count, int64_t size)
{
    // Both counts of a transfer share the word "Recebidos", sent bytes too.
    return QStringLiteral("Recebidos ") + QString::number(count) + QStringLiteral(" de ") +
           QString::number(size) + QStringLiteral(" Bytes");
}

// Milliseconds as seconds the way they are written here: "30", "0,3".
QString Seconds(int32_t ms)
{
    QString text = QString::number(ms / 1000);
    if (ms % 1000 == 0) return text;
    QString fraction = QString::number(1000 + ms % 1000).mid(1);
    while (fraction.endsWith(u'0')) fraction.chop(1);
    return text + u',' + fraction;
}

} // namespace

// --- Progress -------------------------------------------------------------------------------

void TForm1::ShowProgress(int64_t count, int64_t size)
{
    heldCount_ = count;
    heldSize_ = size;
    if (TransferRunning()) rate_.Note(count, transferClock_.elapsed());
    if (progressShown_.isValid() && progressShown_.elapsed() < kProgressIntervalMs) {
        if (!progressLater_.isActive())
            progressLater_.start(static_cast<int>(kProgressIntervalMs - progressShown_.elapsed()));
        return;
    }
    ShowHeldProgress();
}

void TForm1::ShowHeldProgress()
{
    progressLater_.stop();
    progressShown_.start();
    if (folderRunning_) {
        StatusBar1->showMessage(app::FolderProgressText(heldFolder_));
    } else {
        StatusBar1->showMessage(TransferProgress(heldCount_, heldSize_));
        // A listing's bytes are no transfer, and a count held past the end is not shown again.
        if (!TransferRunning()) return;
    }
    ShowTransferTitle();
}

void TForm1::StartTransferClock()
{
    transferClock_.start();
    rate_.Start(0);
    titleTick_.start();
}

void TForm1::ShowTransferTitle()
{
    ShowTitle(app::ProgressTitle(heldCount_, heldSize_, rate_.Pace(transferClock_.elapsed())));
}

void TForm1::ShowTitle(const QString& title)
{
    if (windowTitle() != title) setWindowTitle(title);
}

// --- Stopping -------------------------------------------------------------------------------

void TForm1::EscapePressed()
{
    if (!busy_ || closeRequested_) return;
    // Unlike Desconectar, nothing follows the cancel: the session stays, and a transfer that
    // was cut off tells the server so (ABOR) on its way out.
    stopRequested_ = true;
    RequestCancel();
}

bool TForm1::TransferRunning() const
{
    return busy_ && (folderRunning_ || watch_.kind != TransferWatch::Kind::None);
}

void TForm1::AskBeforeClosing()
{
    if (closeQuestion_) {
        closeQuestion_->raise();
        closeQuestion_->activateWindow();
        return;
    }
    // Not modal for the program: the transfer goes on while the user thinks, and its time-out
    // keeps counting only when the server is silent, not while the box is up.
    auto* box = new QMessageBox(
        QMessageBox::Question, QString::fromLatin1(app::kApplicationTitle),
        QStringLiteral("Uma transferência está em andamento. Cancelar a transferência e fechar?"),
        QMessageBox::NoButton, this);
    QPushButton* yes = box->addButton(QStringLiteral("Sim"), QMessageBox::YesRole);
    QPushButton* no = box->addButton(QStringLiteral("Não"), QMessageBox::NoRole);
    box->setDefaultButton(no);
    box->setEscapeButton(no);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this, [this, box, yes] {
        if (box->clickedButton() != yes) return;
        if (!busy_) return void(close());
        // The close itself comes once the command has unwound (RunCommand).
        closeRequested_ = true;
        RequestCancel();
    });
    closeQuestion_ = box;
    box->open();
}

// --- Failures -------------------------------------------------------------------------------

QString TForm1::NoAnswerText() const
{
    return QStringLiteral("Sem resposta de ") +
           app::HostAndPort(sessionHost_, session_ ? sessionPort_ : VaskFTP1->Port) +
           QStringLiteral(" em ") + Seconds(VaskFTP1->TimeOut) + QStringLiteral(" s");
}

void TForm1::ShowFailure(const std::exception& error)
{
    const ErrorReason reason = ReasonOf(error);
    // Replies still owed that never came (OutOfStep) are the server's silence as well; the
    // session that did not survive it is said to be gone.
    const bool silence = reason == ErrorReason::TimedOut ||
                         reason == ErrorReason::ConnectTimedOut ||
                         (sessionLost_ && reason == ErrorReason::OutOfStep);
    if (silence && sessionLost_)
        return SetStatus(NoAnswerText() + QStringLiteral("; desconectado"));
    if (silence) return SetStatus(NoAnswerText());
    // The connection's own handlers say how a connect failed; a transfer whose retry fetched
    // the rest has said "Concluido", which is what happened to the file.
    if (connecting_ || watch_.completed) return;
    QString text = app::ErrorMessageText(error, SessionCharset());
    while (text.endsWith(u'\n') || text.endsWith(u'\r')) text.chop(1);
    SetStatus(text);
}

// --- The session's names -------------------------------------------------------------------

void TForm1::ShowCurrentDirectory(const std::string& wire)
{
    edit4Wire_ = wire;
    edit4Charset_ = SessionCharset();
    Edit4->setText(app::FromWire(wire, edit4Charset_));
}

void TForm1::ShowNamesAgainIfCharsetChanged()
{
    // After a disconnect the names stay as the session that sent them had them.
    if (!VaskFTP1->Connected) return;
    const app::WireCharset charset = SessionCharset();
    if (edit4Charset_ != charset) ShowCurrentDirectory(edit4Wire_);
    if (logWire_.empty() || logCharset_ == charset) return;
    logCharset_ = charset;
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(logWire_.size()));
    for (const std::string& line : logWire_) lines.append(app::FromWire(line, charset));
    Memo1->clear();
    Memo1->AppendLines(lines);
}
