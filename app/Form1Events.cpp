// What the window shows of the FTP component's events, and the one retry of a failed transfer.
#include "app/CertificateBox.h"
#include "app/ClearTextBox.h"
#include "app/Dialogs.h"
#include "app/LockGlyph.h"
#include "app/LogView.h"
#include "app/Unit1.h"
#include "app/WireText.h"
#include "platform/LocalFile.h"
#include "platform/MessageLoop.h"

#include <QAction>
#include <QLineEdit>
#include <QStatusBar>

#include <algorithm>
#include <exception>

void TForm1::VaskFTP1HostResolved(TComponent*) { SetStatus(QStringLiteral("Host Encontrado")); }

void TForm1::VaskFTP1InvalidHost(bool&)
{
    SetStatus(QStringLiteral("Host inválido"));
    ShowMessage(QStringLiteral("Host inválido verifique o endereço e tente novamente"));
}

void TForm1::VaskFTP1ConnectionFailed(TComponent*)
{
    SetStatus(QStringLiteral("A conexão falhou"));
}

void TForm1::VaskFTP1Connect(TComponent*)
{
    ShowEncryption();
    // The server as the user typed it, not as the component resolved it.
    QString status = QStringLiteral("Conectado à ") + servidor->text();
    if (VaskFTP1->TlsActive() && !VaskFTP1->DataProtected())
        status += QStringLiteral(" (listagens e arquivos sem criptografia)");
    SetStatus(status);
    ShowCurrentDirectory(VaskFTP1->CurrentDirectory());
}

void TForm1::VaskFTP1Disconnect(TComponent*)
{
    ShowEncryption();
    // A session the server ended, or that ended for its silence, is said to be gone at once: the
    // next click would otherwise be the first to find out.
    if (disconnectAsked_ || connecting_ || closeRequested_) {
        SetStatus(QStringLiteral("Desconectado"));
        return;
    }
    sessionLost_ = true;
    SetStatus(QStringLiteral("Desconectado (sem resposta do servidor)"));
}

void TForm1::ShowEncryption()
{
    if (!VaskFTP1->Connected || !VaskFTP1->TlsActive()) {
        servidor->removeAction(encrypted_);
        return;
    }
    // "TLSv1.3" as people write it.
    QString version = QString::fromStdString(VaskFTP1->TlsVersion());
    version.replace(QStringLiteral("TLSv"), QStringLiteral("TLS "));
    QString tip = QStringLiteral("Conexão criptografada (") + version + u')';
    // Only the login is protected when the server refused to protect the data: an open lock.
    encrypted_->setIcon(QIcon(VaskFTP1->DataProtected() ? app::LockGlyph() : app::OpenLockGlyph()));
    if (!VaskFTP1->DataProtected())
        tip += QStringLiteral("; listagens e arquivos passam sem criptografia");
    tip += dataTlsNote_;
    encrypted_->setToolTip(tip);
    servidor->addAction(encrypted_, QLineEdit::TrailingPosition);
}

void TForm1::VaskFTP1Certificate(const TCertificateInfo& Certificate, TCertificateAnswer& Answer)
{
    Answer = TCertificateAnswer::Reject;
    // Nobody to ask once the user is leaving or stopping.
    if (closeRequested_ || cancelRequested_) return;
    app::CertificateQuestion question;
    question.server = sessionHost_ + u':' + QString::number(sessionPort_);
    question.certificate = Certificate;
    // A certificate the user trusts for this server would have passed without a question: one
    // remembered here means that the server now shows another.
    question.changed = !trusted_.FingerprintsFor(sessionHost_, sessionPort_).empty();
    Answer = app::AskAboutCertificate(this, question);
    if (Answer == TCertificateAnswer::Reject) certificateRefused_ = true;
    if (Answer != TCertificateAnswer::AcceptAlways) return;
    const QString problem = trusted_.Trust(sessionHost_, sessionPort_, Certificate.Fingerprint);
    if (!problem.isEmpty())
        ShowMessage(QStringLiteral("Não foi possível guardar o certificado: ") + problem);
}

void TForm1::VaskFTP1TlsRefused(const std::string&, bool& GoOnInClear)
{
    GoOnInClear = false;
    if (closeRequested_ || cancelRequested_) return;
    if (clearTextServers_.Allowed(sessionHost_, sessionPort_)) {
        GoOnInClear = true;
        return;
    }
    const app::ClearTextAnswer answer =
        app::AskAboutClearText(this, sessionHost_ + u':' + QString::number(sessionPort_));
    GoOnInClear = answer.goOn;
    if (!answer.goOn) clearTextDeclined_ = true;
    if (!answer.dontAskAgain) return;
    const QString problem = clearTextServers_.Allow(sessionHost_, sessionPort_);
    if (!problem.isEmpty())
        ShowMessage(QStringLiteral("Não foi possível guardar a escolha: ") + problem);
}

void TForm1::VaskFTP1TlsWarning(TTlsWarning Warning)
{
    // A refused PROT shows in the padlock and the status line once the login is complete.
    if (Warning != TTlsWarning::DataSessionNotResumed) return;
    dataTlsNote_ = QStringLiteral("; uma conexão de dados não retomou a sessão TLS do login e "
                                  "pode não vir do servidor");
    SetStatus(QStringLiteral("Atenção: uma conexão de dados não retomou a sessão TLS do login "
                             "e pode não vir do servidor"));
    ShowEncryption();
}

void TForm1::VaskFTP1Error(TComponent*, uint16_t, const std::string&)
{
    // A connect that fails says so by the failure that follows ("A conexão falhou"); a text of
    // its own before that would only flash.
    if (connecting_) return;
    // The error itself reaches the error box with the exception that follows.
    SetStatus(QStringLiteral("erro não identificado"));
}

void TForm1::VaskFTP1ListItem(const std::string& Listing) { AppendToLog(Listing); }

void TForm1::VaskFTP1PacketRecvd(TComponent*)
{
    ShowProgress(VaskFTP1->ReceivedBytes(), VaskFTP1->TransferSize);
}

void TForm1::VaskFTP1PacketSent(TComponent*)
{
    ShowProgress(VaskFTP1->SentBytes(), VaskFTP1->TransferSize);
}

QString TForm1::VerifiedSuffix() const
{
    return VaskFTP1->LastTransferVerified() ? QStringLiteral(" (verificado)") : QString();
}

void TForm1::VaskFTP1Success(TCmdType Trans_Type)
{
    switch (Trans_Type) {
    case ctChangeDirectory:
        if (cancelRequested_) return; // the user is stopping: start nothing new
        ShowCurrentDirectory(VaskFTP1->CurrentDirectory());
        ClearLog();
        WithPassiveFallback([this] { VaskFTP1->ListDirectory(); });
        break;
    case ctDeleteFile: ShowMessage(QStringLiteral("Arquivo excluido com secesso!")); break;
    case ctDownload:
        if (watch_.kind == TransferWatch::Kind::Download && !cancelRequested_)
            watch_.completed = true;
        SetStatus(QStringLiteral("Donload do arquivo Concluido") + VerifiedSuffix());
        break;
    case ctUpload:
    case ctAppend:
        if (watch_.kind == TransferWatch::Kind::Upload && !cancelRequested_)
            watch_.completed = true;
        if (Trans_Type == ctUpload && VaskFTP1->LastTransferVerified())
            SetStatus(QStringLiteral("Upload do arquivo Concluido") + VerifiedSuffix());
        break;
    default: break;
    }
}

// --- The log ------------------------------------------------------------------------------

void TForm1::AppendToLog(const std::string& line)
{
    const app::WireCharset charset = SessionCharset();
    if (logWire_.empty())
        logCharset_ = charset;
    else if (logCharset_ != charset)
        logCharset_.reset();
    QString shown = app::FromWire(line, charset);
    logWire_.push_back(line);
    pendingLog_.append(std::move(shown));
    ScheduleLogFlush(pendingLog_.size() >= kLogBatchLines ? 0 : kLogDelayMs);
}

void TForm1::ScheduleLogFlush(int delayMs)
{
    // An earlier flush already due stays; a sooner one replaces it.
    if (logFlush_.isActive() && logFlush_.interval() <= delayMs) return;
    logFlush_.start(delayMs);
}

void TForm1::FlushLogBatch()
{
    const qsizetype count = std::min<qsizetype>(pendingLog_.size(), kLogBatchLines);
    if (count == 0) return;
    // One append of many lines: the log's scroll bars and screen are brought up to date once for
    // all of them.
    Memo1->AppendLines(pendingLog_.first(count));
    pendingLog_.remove(0, count);
    if (!pendingLog_.isEmpty())
        ScheduleLogFlush(pendingLog_.size() >= kLogBatchLines ? 0 : kLogDelayMs);
}

void TForm1::FinishLog()
{
    logFlush_.stop();
    while (!pendingLog_.isEmpty()) {
        FlushLogBatch();
        // A long backlog goes in several passes, so the window stays live meanwhile.
        if (!pendingLog_.isEmpty()) platform::ProcessPendingMessages();
    }
    logFlush_.stop();
    ShowNamesAgainIfCharsetChanged();
}

void TForm1::ClearLog()
{
    // Lines still waiting would have been appended before the clear took them away again.
    pendingLog_.clear();
    logFlush_.stop();
    Memo1->clear();
    releasedWire_.Take(logWire_);
}

// Handled stays false: after the retry the component raises the original failure, which the
// error box shows, whatever the retry did.
void TForm1::VaskFTP1Failure(bool&, TCmdType Trans_Type)
{
    // A server silent for the whole time-out would hold the retry for another one, only to fail
    // again: the transfer ends at the time-out.
    if (FailureIsSilence()) return;
    if (Trans_Type == ctDownload && MayResumeDownload()) {
        watch_.retried = true;
        if (watch_.target)
            VaskFTP1->ResumeDownload(watch_.remotePath, *watch_.target);
        else
            VaskFTP1->ResumeDownload(watch_.remotePath, watch_.localPath);
    } else if (Trans_Type == ctUpload && MayAppendUpload()) {
        watch_.retried = true;
        VaskFTP1->AppendUpload(watch_.localPath, watch_.remotePath);
    }
}

bool TForm1::FailureIsSilence()
{
    // Download and Upload report a failure from inside their handler of it, with the failure
    // in flight; a refusal the server sent is reported without one.
    const std::exception_ptr failure = std::current_exception();
    if (!failure) return false;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return ReasonOf(error) == ErrorReason::TimedOut;
    } catch (...) {
    }
    return false;
}

// --- Retry bookkeeping --------------------------------------------------------------------
//
// A failed transfer is retried at most once per command, and only when the retry cannot make
// a wrong file:
// - a download is resumed from the local file's length only when its data phase had written
//   to that file, which then holds the first bytes of the remote file and nothing else; a
//   refusal before any data (550, say) would otherwise join an unrelated old file to the tail;
// - an upload is appended only when the server had accepted STOR (it created or emptied the
//   remote file) and not one byte had gone out, so the append writes the whole file once.
// The names are those the command started with; the fields may have been edited meanwhile.

void TForm1::WatchTransfer(TransferWatch::Kind kind, std::string remotePath, std::string localPath)
{
    watch_ = {};
    watch_.kind = kind;
    watch_.remotePath = std::move(remotePath);
    watch_.localPath = std::move(localPath);
    StartTransferClock();
}

void TForm1::NoteTransactionStart()
{
    if (watch_.kind != TransferWatch::Kind::None && !watch_.retried) watch_.dataPhaseBegun = true;
}

void TForm1::NotePacket(int64_t bytes)
{
    if (watch_.kind != TransferWatch::Kind::None && !watch_.retried) watch_.bytesMoved = bytes;
}

bool TForm1::MayResumeDownload() const
{
    // A session that has ended has nothing to resume.
    return watch_.kind == TransferWatch::Kind::Download && !watch_.retried && !cancelRequested_ &&
           VaskFTP1->Connected && watch_.dataPhaseBegun && watch_.bytesMoved > 0 &&
           // A file that failed its checksum has been put aside: nothing is left to continue,
           // and a fresh copy would pass unchecked.
           platform::LocalFile::SizeOf(watch_.localPath) > 0;
}

bool TForm1::MayAppendUpload() const
{
    return watch_.kind == TransferWatch::Kind::Upload && !watch_.retried && !cancelRequested_ &&
           watch_.dataPhaseBegun && watch_.bytesMoved == 0;
}
