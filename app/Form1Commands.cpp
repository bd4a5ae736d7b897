// The ten commands of the window and the rule that only one runs at a time.
#include "app/Dialogs.h"
#include "app/LogView.h"
#include "app/RememberedLogins.h"
#include "app/ResumeBox.h"
#include "app/ServerAddress.h"
#include "app/Unit1.h"
#include "app/WireText.h"
#include "ftp/DownloadTarget.h"
#include "ftp/PartialDownload.h"
#include "platform/Conversions.h"
#include "platform/Exception.h"
#include "platform/ScopedGuards.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>

namespace {
// What the anonymous log-in gives as its password: an address in the usual e-mail form that
// belongs to nobody.
constexpr const char* kAnonymousUser = "anonymous";
constexpr const char* kAnonymousPassword = "anonimo@exemplo.com.br";
const char16_t* const kPassiveModeOn =
    u"Modo passivo ativado: não foi possível abrir a conexão de dados no modo ativo";
} // namespace

// --- Running a command --------------------------------------------------------------------

void TForm1::RunCommand(const std::function<void()>& command)
{
    // The buttons are disabled while a command runs; a click queued before that took effect
    // is dropped here.
    if (busy_) return;
    busy_ = true;
    // Disabling the buttons moves the focus off the one that was clicked, to whatever follows
    // it; the user's next keystrokes belong where the focus was, so it goes back there at the end.
    const QPointer<QWidget> focusBefore = focusWidget();
    SetCommandsEnabled(false);
    const QPointer<QWidget> focusDuring = focusWidget();
    watch_ = {};
    certificateRefused_ = false;
    clearTextDeclined_ = false;
    connecting_ = false;
    disconnectAsked_ = false;
    sessionLost_ = false;
    stopRequested_ = false;

    Execute(command);
    while (disconnectPending_ && !closeRequested_) {
        disconnectPending_ = false;
        Execute([this] { DisconnectAfterCancel(); });
    }
    disconnectPending_ = false;
    // From here on, a session that ends does so by itself.
    disconnectAsked_ = false;
    watch_ = {};
    titleTick_.stop();
    ShowTitle(QString::fromLatin1(app::kApplicationTitle));
    FinishLog(); // the log is complete when the command returns
    busy_ = false;

    if (closeRequested_) {
        // The close the user asked for during the command; the component's own waits are over,
        // so it may now go with the window.
        close();
        return;
    }
    SetCommandsEnabled(true);
    RestoreFocus(focusBefore, focusDuring);
    logins_->CommandEnded();
}

void TForm1::RestoreFocus(QWidget* before, QWidget* during)
{
    // Focus the user moved while the command ran stays where the user put it.
    if (focusWidget() != during) return;
    if (before && before->isEnabled() && before->isVisible())
        before->setFocus(Qt::OtherFocusReason);
}

void TForm1::Execute(const std::function<void()>& command)
{
    try {
        command();
    } catch (const std::exception& error) {
        // The box that follows must not stand in front of a title still showing the progress.
        titleTick_.stop();
        ShowTitle(QString::fromLatin1(app::kApplicationTitle));
        // A session of the neutral interface that broke off or went silent is gone.
        if (session_ && !session_->Connected()) {
            CloseSession();
            sessionLost_ = true;
        }
        // A cancelled operation ends with the error of whatever wait it was in, and a refused
        // certificate with the refusal; the user asked for either, so it is not reported.
        const bool usersOwnRefusal =
            (certificateRefused_ && ReasonOf(error) == ErrorReason::CertificateRejected) ||
            (clearTextDeclined_ && ReasonOf(error) == ErrorReason::ClearLoginDeclined);
        if (!cancelRequested_ && !usersOwnRefusal) {
            ShowFailure(error);
            ShowError(error);
        }
    } catch (...) {
        if (!cancelRequested_) ShowError(Exception("Unknown error", ErrorReason::Unknown));
    }
    quitGrace_.stop();
    // Desconectar and closing the window say what happens next themselves.
    if (cancelRequested_ && stopRequested_ && !disconnectPending_ && !closeRequested_)
        SetStatus(QStringLiteral("Operação cancelada"));
    if (cancelRequested_) {
        cancelRequested_ = false;
        stopRequested_ = false;
        // A cancel that arrived after the last wait must not end the next command at once.
        VaskFTP1->Canceled = false;
    }
}

void TForm1::SetCommandsEnabled(bool enabled)
{
    // "Desconectar" stays live: it is how a running command is stopped.
    for (QPushButton* button :
         {Button2, Button3, Button4, Button5, Button6, Button7, Button8, Button9, BitBtn1})
        button->setEnabled(enabled);
}

void TForm1::RequestCancel()
{
    cancelRequested_ = true;
    // One Cancel ends the wait under way, which raises; every step of a command that would
    // start something new after it looks at cancelRequested_ first.
    CancelWaits();
}

void TForm1::CancelWaits()
{
    if (session_) session_->Cancel();
    // Cancel ends a wait on the control connection, Abort one on the data connection.
    VaskFTP1->Cancel();
    VaskFTP1->Abort();
}

void TForm1::DisconnectAfterCancel()
{
    // QUIT is a courtesy here; a server that stopped answering gets a moment, then the
    // connection is closed without its reply.
    quitGrace_.start();
    DisconnectComponent();
    ForgetListing();
}

void TForm1::ForgetListing()
{
    // What the log and the directory line show belongs to the session that has ended.
    ClearLog();
    ShowCurrentDirectory({});
}

void TForm1::DisconnectComponent()
{
    disconnectAsked_ = true;
    if (session_) {
        CloseSession();
        SetStatus(QStringLiteral("Desconectado"));
        return;
    }
    VaskFTP1->Disconnect();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (TransferRunning() && !closeRequested_) {
        // A transfer cut off halfway is not what a stray click should cost.
        event->ignore();
        AskBeforeClosing();
        return;
    }
    if (busy_) {
        // The component cannot go while its own wait is still on the stack: cancel, let the
        // command unwind, and close from there (RunCommand). The window stays up for that
        // moment, so that closing it then ends the program the ordinary way.
        closeRequested_ = true;
        event->ignore();
        RequestCancel();
        return;
    }
    closeRequested_ = true;
    event->accept();
}

void TForm1::ShowMessage(const QString& text)
{
    if (!closeRequested_) app::ShowMessage(this, text);
}

void TForm1::ShowError(const std::exception& error)
{
    if (!closeRequested_) app::ShowErrorBox(this, error, SessionCharset());
}

// --- The session's names --------------------------------------------------------------------

app::WireCharset TForm1::SessionCharset() const
{
    // SFTP names are UTF-8 by the protocol's own convention.
    if (session_) return app::WireCharset::Utf8;
    // With no evidence either way, UTF-8: what servers and clients expect today.
    return VaskFTP1->NamesNotUtf8() ? app::WireCharset::Windows1252 : app::WireCharset::Utf8;
}

std::string TForm1::ToSession(const QString& text) const
{
    return app::ToWire(text, SessionCharset());
}

QString TForm1::FromSession(const std::string& bytes) const
{
    return app::FromWire(bytes, SessionCharset());
}

std::string TForm1::RemoteName() const
{
    return edit1Wire_.WireFor(Edit1->text(), SessionCharset());
}

std::string TForm1::ServerKey() const
{
    return VaskFTP1->Host + '\n' + std::to_string(VaskFTP1->Port);
}

void TForm1::WithPassiveFallback(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const std::exception& error) {
        // A refused PORT, a 425 or a server that never came; not a server that refused the
        // request itself, and not when the user is stopping.
        if (ReasonOf(error) != ErrorReason::DataConnectionFailed || VaskFTP1->Passive ||
            !VaskFTP1->Connected || cancelRequested_)
            throw;
        VaskFTP1->Passive = true;
        passiveServers_.insert(ServerKey());
        SetStatus(QString::fromUtf16(kPassiveModeOn));
        operation();
    }
}

// --- The commands -------------------------------------------------------------------------

// The two connect commands: a bad port text stops the command after Host was set, so the
// component's port, user and password keep the values of the last connect.
void TForm1::Connect(const std::string& user, const std::string& password)
{
    const app::ServerAddress address = app::ParseServerAddress(servidor->text());
    if (address.sftp)
        return ConnectSession(address, user, password,
                              user == kAnonymousUser && password == kAnonymousPassword);
    // An SFTP session makes way for the FTP one.
    if (session_) {
        CloseSession();
        ClearLog();
        ShowCurrentDirectory({});
    }
    const std::string sessionHost = VaskFTP1->Host;
    const int32_t sessionPort = VaskFTP1->Port;
    VaskFTP1->Host = app::ToWire(address.host);
    VaskFTP1->Port = platform::StrToInt(app::ToWire(address.port.value_or(portas->text())));
    // Connected already, Conectar lists the directory again; but another server, port or user
    // than the session's asks for another session, which the old one must make way for.
    const bool another =
        VaskFTP1->Host != sessionHost || VaskFTP1->Port != sessionPort || user != VaskFTP1->UserID;
    VaskFTP1->UserID = user;
    VaskFTP1->Password = password;
    if (VaskFTP1->Connected && another) {
        DisconnectComponent();
        ClearLog();
    }
    if (!VaskFTP1->Connected) {
        // Said at once: a server that never answers holds this command for the whole time-out.
        SetStatus(QStringLiteral("Conectando a ") + app::HostAndPort(address.host, VaskFTP1->Port) +
                  QStringLiteral("…"));
        // A new session: active again, unless this server could not connect back before -- it
        // will not now either, and finding out anew would cost a wait every session.
        VaskFTP1->Passive = passiveServers_.count(ServerKey()) > 0;
        edit1Wire_.Forget();
        VaskFTP1->TlsMode = address.tls;
        sessionHost_ = address.host;
        sessionPort_ = VaskFTP1->Port;
        VaskFTP1->TlsPinnedFingerprints = trusted_.FingerprintsFor(sessionHost_, sessionPort_);
        // A server whose certificate the user trusts always has spoken TLS; one that no longer
        // offers it is more likely someone in between, who must not get the password.
        trustedServer_ = address.tls == tlsIfAvailable && !VaskFTP1->TlsPinnedFingerprints.empty();
        if (trustedServer_) VaskFTP1->TlsMode = tlsRequired;
        // Asked for by name (ftpes://): a data connection that may not come from the server
        // is refused rather than warned about.
        VaskFTP1->TlsRequireResumedData = address.tls == tlsRequired;
        dataTlsNote_.clear();
    }
    const app::LoginAttempt attempt = logins_->Begin(
        address.host, VaskFTP1->Port, user == kAnonymousUser && password == kAnonymousPassword);
    try {
        ConnectComponent();
    } catch (const std::exception& error) {
        logins_->Failed(attempt, error);
        throw;
    }
    logins_->Succeeded(attempt);
    ClearLog();
    WithPassiveFallback([this] { VaskFTP1->ListDirectory(); });
}

void TForm1::ConnectComponent()
{
    // Left set when the connect fails: its own handlers word that failure.
    connecting_ = true;
    try {
        VaskFTP1->Connect();
    } catch (const Exception& error) {
        if (!trustedServer_ || error.Reason() != ErrorReason::TlsUnavailable) throw;
        throw app::WindowError(
            QStringLiteral("O servidor ") + sessionHost_ + u':' + QString::number(sessionPort_) +
                QStringLiteral(" já ofereceu criptografia (seu certificado é confiável) e agora "
                               "não oferece. A conexão foi encerrada sem enviar o usuário nem a "
                               "senha.\n\nResposta do servidor: ") +
                FromSession(error.what()).trimmed(),
            ErrorReason::TlsUnavailable);
    }
    connecting_ = false;
}

// Conectar
void TForm1::Button3Click(QObject*)
{
    RunCommand([this] { Connect(app::ToWire(Edit5->text()), app::ToWire(Edit6->text())); });
}

// Login Anônimo
void TForm1::Button9Click(QObject*)
{
    RunCommand([this] { Connect(kAnonymousUser, kAnonymousPassword); });
}

// Desconectar
void TForm1::Button1Click(QObject*)
{
    if (busy_) {
        disconnectPending_ = true;
        RequestCancel();
        return;
    }
    RunCommand([this] {
        DisconnectComponent();
        ForgetListing();
    });
}

// Listar Arquivos
void TForm1::Button5Click(QObject*)
{
    RunCommand([this] {
        ClearLog();
        if (session_) return ListSession();
        WithPassiveFallback([this] { VaskFTP1->ListDirectory(); });
    });
}

// Mudar Diretório, the up-one-level button and a double-click on a directory in the log. A
// change the server accepts has already refreshed the directory line and the log (the success
// handler); the directory is asked for once more all the same.
void TForm1::ChangeDirectoryTo(const std::string& directory)
{
    if (session_) return ChangeDirectorySession(directory);
    VaskFTP1->ChangeDirectory(directory);
    ShowCurrentDirectory(VaskFTP1->CurrentDirectory());
}

// Mudar Diretório
void TForm1::Button6Click(QObject*)
{
    RunCommand([this] { ChangeDirectoryTo(ToSession(Edit3->text())); });
}

// Up one level
void TForm1::BitBtn1Click(QObject*)
{
    RunCommand([this] { ChangeDirectoryTo(".."); });
}

// Dowload
void TForm1::Button2Click(QObject*)
{
    RunCommand([this] {
        const std::string remote = RemoteName();
        if (RemoteIsDirectory(remote)) return DownloadFolder(remote);
        if (session_) return DownloadSession(remote);
        if (RemoteIsDirectory(remote)) return DownloadFolder(remote);
        SetStatus(QStringLiteral("Efetuando o download do arquivo ") + Edit1->text());
        const std::string local = app::ToLocalPath(Edit2->text());
        // Into NAME.part, which takes the place of NAME only once the file is whole: a download
        // cut off, cancelled or refused leaves an older NAME as it was. The automatic retry
        // continues NAME.part, and so may the next click on Dowload.
        ftpfiles::DownloadTarget target(local.empty() ? remote : local);
        std::optional<bool> resume = false;
        if (target.Staged()) resume = AskAboutPartial(remote, target.WritePath());
        if (!resume) return SetStatus(QStringLiteral("Operação cancelada"));
        WatchTransfer(TransferWatch::Kind::Download, remote, target.WritePath());
        const platform::ScopedValue<ftpfiles::DownloadTarget*> retryTarget(watch_.target, &target);
        try {
            WithPassiveFallback([&] {
                if (*resume)
                    VaskFTP1->ResumeDownload(remote, target);
                else
                    VaskFTP1->Download(remote, target);
            });
        } catch (const FileCreateError& error) {
            // NAME.part is the window's own business: the user is told of the file asked for.
            if (!target.Staged() || error.what() != "Cannot create file " + target.WritePath())
                throw;
            throw FileCreateError(target.FinalPath(), error.ErrorNumber());
        } catch (...) {
            // The retry inside the failure report may have fetched the rest.
            if (watch_.completed) target.Commit();
            throw;
        }
        if (watch_.completed) target.Commit();
    });
}

std::optional<bool> TForm1::AskAboutPartial(const std::string& remote, const std::string& partPath)
{
    const std::optional<ftpfiles::PartialFileFacts> partial = ftpfiles::PartialFileAt(partPath);
    if (!partial) return false;
    if (!ftpfiles::PartialStillFits(*partial, ftpfiles::AskRemoteFileFacts(*VaskFTP1, remote)))
        return false;
    return app::AskResumeDownload(this, Edit1->text(), partial->size);
}

// Upload
void TForm1::Button4Click(QObject*)
{
    RunCommand([this] {
        const QString localText = Edit2->text();
        if (session_ && !(!localText.isEmpty() && QFileInfo(localText).isDir()))
            return UploadSession(app::ToLocalPath(localText), RemoteName());
        if (!localText.isEmpty() && QFileInfo(localText).isDir()) return UploadFolder(localText);
        std::string remote = RemoteName();
        std::string local = app::ToLocalPath(localText);
        WatchTransfer(TransferWatch::Kind::Upload, remote, local);
        WithPassiveFallback([&] { VaskFTP1->Upload(local, remote); });
    });
}

bool TForm1::AskForName(const QString& caption, const QString& prompt)
{
    return app::InputQuery(caption, prompt, EnteredName);
}

// Deletar
void TForm1::Button7Click(QObject*)
{
    RunCommand([this] {
        if (AskForName(QStringLiteral("Deletar Arquivo."),
                       QStringLiteral("Nome do arquivo remoto"))) {
            if (session_) return DeleteSession(ToSession(EnteredName));
            VaskFTP1->DeleteFile(ToSession(EnteredName));
        }
    });
}

// Criar Diretório: the name it remembers is the one Deletar shows next, and the other way round.
// The new folder belongs in the listing at once, as it would after Listar Arquivos.
void TForm1::Button8Click(QObject*)
{
    RunCommand([this] {
        if (!AskForName(QStringLiteral("Criar Diretório"), QStringLiteral("Nome do diretório")))
            return;
        const QString name = EnteredName;
        if (session_) return MakeDirectorySession(name);
        VaskFTP1->MakeDirectory(ToSession(name));
        ClearLog();
        WithPassiveFallback([this] { VaskFTP1->ListDirectory(); });
        SetStatus(QStringLiteral("Diretório \"") + name + QStringLiteral("\" criado"));
    });
}
