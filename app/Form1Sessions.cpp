// The window's commands on a session of the protocol-neutral interface: an sftp:// server. Each
// command runs its operations through app::SessionDriver, one wait each, and shows them with the
// texts the FTP commands use where they fit.
#include "app/Dialogs.h"
#include "app/HostKeyBox.h"
#include "app/LockGlyph.h"
#include "app/LogView.h"
#include "app/RememberedLogins.h"
#include "app/ServerAddress.h"
#include "app/SftpLogin.h"
#include "app/Unit1.h"
#include "app/WireText.h"
#include "platform/Conversions.h"

#include <QAction>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>

#include <algorithm>

void TForm1::ConnectSession(const app::ServerAddress& address, const std::string& user,
                            const std::string& password, bool anonymous)
{
    const int port = platform::StrToInt(app::ToWire(app::PortText(address, portas->text())));
    if (port <= 0 || port > 65535)
        throw app::WindowError(QStringLiteral("Porta inválida: ") + QString::number(port),
                               ErrorReason::OutOfRange);
    // Connected already, Conectar lists the directory again; another server, port or user asks
    // for another session, which the one there was makes way for.
    if (session_ && session_->Connected() && sessionLogin_ &&
        sessionLogin_->host == app::ToWire(address.host) && sessionLogin_->port == port &&
        sessionLogin_->user == user) {
        ClearLog();
        return ListSession();
    }
    CloseSession();
    if (VaskFTP1->Connected) DisconnectComponent();
    ClearLog();
    ShowCurrentDirectory({});
    edit1Wire_.Forget();
    sessionHost_ = address.host;
    sessionPort_ = port;
    SetStatus(QStringLiteral("Conectando a ") + app::HostAndPort(address.host, port) +
              QStringLiteral("…"));

    app::SftpLogin login;
    login.host = app::ToWire(address.host);
    login.port = static_cast<uint16_t>(port);
    login.user = user;
    login.password = password;
    login.timeoutMs = VaskFTP1->TimeOut;
    // An idle window keeps its session alive as it does over FTP.
    login.keepAliveSeconds = static_cast<int>(VaskFTP1->KeepAliveSeconds);
    login.keepAliveLimitSeconds = static_cast<int>(VaskFTP1->KeepAliveLimitSeconds);
    const QString server = app::HostAndPort(address.host, port);
    login.askUnknownHostKey = [this, server](const sftp::HostKey& key,
                                             std::function<void(sftp::HostKeyDecision)> answer) {
        // Nobody to ask once the user is leaving or stopping.
        if (closeRequested_ || cancelRequested_) return answer(sftp::HostKeyDecision::Cancel);
        hostKeyBox_ =
            app::AskAboutHostKey(this, server, key, [this, answer](sftp::HostKeyDecision decision) {
                if (decision == sftp::HostKeyDecision::Cancel) hostKeyDeclined_ = true;
                answer(decision);
            });
    };
    session_ = std::make_unique<app::SessionDriver>(app::MakeSftpSession(login));
    sessionLogin_ = login;

    const app::LoginAttempt attempt = logins_->Begin(address.host, port, anonymous);
    try {
        OpenSession();
    } catch (const std::exception& error) {
        logins_->Failed(attempt, error);
        throw;
    }
    logins_->Succeeded(attempt);
    ShowCurrentDirectory(session_->CurrentDirectory());
    ListSession();
}

void TForm1::OpenSession()
{
    hostKeyDeclined_ = false;
    // Its failures are worded here, not by the status line's usual report.
    connecting_ = true;
    try {
        session_->Open();
    } catch (const Exception& error) {
        // A question still open when the login ended (a cancel) is answered by nobody.
        if (hostKeyBox_) {
            hostKeyBox_->disconnect();
            delete hostKeyBox_;
        }
        const bool declined = hostKeyDeclined_;
        session_.reset();
        ShowSessionEncryption();
        app::ChangedHostKey changed;
        if (app::IsChangedHostKey(error.Message(), error.Reason(), changed)) {
            SetStatus(QStringLiteral("Conexão recusada: a chave do servidor mudou"));
            throw app::WindowError(
                app::ChangedHostKeyText(app::HostAndPort(sessionHost_, sessionPort_), changed.known,
                                        changed.now),
                ErrorReason::CertificateRejected);
        }
        if (declined && error.Reason() == ErrorReason::CertificateRejected) {
            // The user's own answer: nothing of the login was sent, and no error box follows.
            certificateRefused_ = true;
            SetStatus(QStringLiteral("Conexão cancelada: a chave do servidor não foi aceita; "
                                     "nada foi enviado"));
            throw;
        }
        SetStatus(QStringLiteral("A conexão falhou"));
        throw;
    }
    connecting_ = false;
    ShowSessionEncryption();
    SetStatus(QStringLiteral("Conectado à ") + servidor->text());
}

void TForm1::ListSession()
{
    std::vector<transfer::RemoteEntry> entries = session_->List({});
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const transfer::RemoteEntry& entry : entries) AppendToLog(app::ListingLine(entry));
}

void TForm1::DownloadSession(const std::string& remote)
{
    SetStatus(QStringLiteral("Efetuando o download do arquivo ") + Edit1->text());
    const std::string typed = app::ToLocalPath(Edit2->text());
    const std::string local = typed.empty() ? remote : typed;
    // The session writes beside the target and puts the file in its place only once whole.
    WatchTransfer(TransferWatch::Kind::Download, remote, local);
    session_->Get(remote, local, [this](int64_t bytes, int64_t total) {
        ShowProgress(bytes, std::max<int64_t>(total, 0));
    });
    // The last count is shown, not held back behind what follows it.
    if (progressLater_.isActive()) ShowHeldProgress();
    watch_.completed = true;
    SetStatus(QStringLiteral("Donload do arquivo Concluido"));
}

void TForm1::UploadSession(const std::string& local, std::string remote)
{
    if (remote.empty()) remote = app::ToWire(QFileInfo(QString::fromStdString(local)).fileName());
    WatchTransfer(TransferWatch::Kind::Upload, remote, local);
    session_->Put(local, remote, [this](int64_t bytes, int64_t total) {
        ShowProgress(bytes, std::max<int64_t>(total, 0));
    });
    if (progressLater_.isActive()) ShowHeldProgress();
    watch_.completed = true;
    SetStatus(QStringLiteral("Upload do arquivo Concluido"));
}

void TForm1::MakeDirectorySession(const QString& name)
{
    session_->MakeDirectory(ToSession(name));
    ClearLog();
    ListSession();
    SetStatus(QStringLiteral("Diretório \"") + name + QStringLiteral("\" criado"));
}

// As over FTP: the directory line and the log follow the change at once.
void TForm1::ChangeDirectorySession(const std::string& directory)
{
    std::string now = session_->ChangeDirectory(directory);
    if (now.empty()) now = session_->CurrentDirectory();
    ShowCurrentDirectory(now);
    ClearLog();
    ListSession();
}

void TForm1::DeleteSession(const std::string& name)
{
    session_->Delete(name);
    ShowMessage(QStringLiteral("Arquivo excluido com secesso!"));
}

void TForm1::NotOverSession(const QString& command)
{
    throw app::WindowError(command + QStringLiteral(" ainda não está disponível em conexões SFTP."),
                           ErrorReason::Unknown);
}

void TForm1::OpenSessionListingLine(const std::string& line)
{
    const std::optional<app::ListedEntry> entry = app::ReadListingLine(line);
    if (!entry) return;
    const std::string name = entry->name;
    switch (entry->kind) {
    case transfer::RemoteEntry::Kind::Directory:
        RunCommand([this, name] { ChangeDirectoryTo(name); });
        break;
    case transfer::RemoteEntry::Kind::Link:
        // A link to a file is refused as a directory, and is then readied for download.
        RunCommand([this, name] {
            try {
                ChangeDirectoryTo(name);
            } catch (const Exception&) {
                if (!session_ || !session_->Connected() || cancelRequested_) throw;
                FillTransferFields(name);
            }
        });
        break;
    default: FillTransferFields(name); break;
    }
}

void TForm1::CloseSession()
{
    if (!session_) return;
    session_->Close();
    session_.reset();
    ShowSessionEncryption();
}

void TForm1::ShowSessionEncryption()
{
    if (!session_ || !session_->Connected()) {
        servidor->removeAction(encrypted_);
        return;
    }
    const std::string cipher = app::SftpCipher(session_->Session());
    QString tip = QStringLiteral("Conexão criptografada (SSH");
    if (!cipher.empty()) tip += QStringLiteral(", ") + QString::fromStdString(cipher);
    tip += u')';
    encrypted_->setIcon(QIcon(app::LockGlyph()));
    encrypted_->setToolTip(tip);
    servidor->addAction(encrypted_, QLineEdit::TrailingPosition);
}
