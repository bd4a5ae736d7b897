#pragma once
// The main window: connection fields, file-name fields, the command buttons, the log of listings,
// the current remote directory and the status line, driving one FTP component.
//
// Unit1.cpp builds the window and wires the component; Form1Commands.cpp holds the button
// commands and the one-operation-at-a-time rule; Form1Events.cpp shows the component's events;
// Form1Shortcuts.cpp opens a listing line double-clicked in the log and takes a dropped file or
// folder; Form1Folders.cpp moves whole folders; Form1Sessions.cpp runs the commands on a session
// of the protocol-neutral interface instead (sftp:// in the server field).
#include "app/ClearTextServers.h"
#include "app/DeferredRelease.h"
#include "app/SessionDriver.h"
#include "app/SftpLogin.h"
#include "app/TransferRate.h"
#include "app/TrustedCertificates.h"
#include "app/WireText.h"
#include "ftp/VaskFtp.h"
#include "queue/TreeTransfer.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QAction;
class QDragMoveEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QMessageBox;
class TLogView;
class QPushButton;
class QStatusBar;
namespace app {
class RememberedLogins;
struct ServerAddress;
} // namespace app

// The last name confirmed in the prompt of "Deletar" or "Criar Diretório".
extern QString EnteredName;

class TForm1 : public QWidget {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    QLineEdit* servidor;
    QLineEdit* portas;
    QLineEdit* Edit5;
    QLineEdit* Edit6;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;
    QLabel* Label1;
    QLabel* Label3;
    std::unique_ptr<TVaskFTP> VaskFTP1;
    QLabel* Label5;
    QLabel* Label6;
    QStatusBar* StatusBar1;
    QLineEdit* Edit1;
    QLabel* Label7;
    QLineEdit* Edit2;
    QLabel* Label8;
    QPushButton* Button4;
    TLogView* Memo1;
    QPushButton* Button5;
    QPushButton* Button6;
    QLineEdit* Edit3;
    QLabel* Label2;
    QPushButton* BitBtn1;
    QLabel* Label4;
    QLabel* Label9;
    QLineEdit* Edit4;
    QPushButton* Button7;
    QPushButton* Button8;
    QPushButton* Button9;

    // True while a command, or a handler it triggered, runs.
    bool OperationRunning() const { return busy_; }

    // --- Commands -------------------------------------------------------------------------
    void Button1Click(QObject* Sender);
    void Button2Click(QObject* Sender);
    void Button3Click(QObject* Sender);
    void Button4Click(QObject* Sender);
    void Button5Click(QObject* Sender);
    void Button6Click(QObject* Sender);
    void Button7Click(QObject* Sender);
    void Button8Click(QObject* Sender);
    void Button9Click(QObject* Sender);
    void BitBtn1Click(QObject* Sender);

    // --- The component's events -----------------------------------------------------------
    void VaskFTP1Connect(TComponent* Sender);
    void VaskFTP1ConnectionFailed(TComponent* Sender);
    void VaskFTP1Disconnect(TComponent* Sender);
    void VaskFTP1Error(TComponent* Sender, uint16_t Errno, const std::string& Errmsg);
    void VaskFTP1Failure(bool& Handled, TCmdType Trans_Type);
    void VaskFTP1HostResolved(TComponent* Sender);
    void VaskFTP1InvalidHost(bool& Handled);
    void VaskFTP1Success(TCmdType Trans_Type);
    void VaskFTP1ListItem(const std::string& Listing);
    void VaskFTP1PacketRecvd(TComponent* Sender);
    void VaskFTP1PacketSent(TComponent* Sender);
    // A server certificate that did not verify: the user decides, and "always" is remembered.
    void VaskFTP1Certificate(const TCertificateInfo& Certificate, TCertificateAnswer& Answer);
    // The server offers no TLS: the user decides before the login goes out in clear.
    void VaskFTP1TlsRefused(const std::string& Reply, bool& GoOnInClear);
    void VaskFTP1TlsWarning(TTlsWarning Warning);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    // The log's double-click and drops on any of the window's controls come through here.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void SetUpComponent();
    void SetStatus(const QString& text);
    // Maximised (or full screen) the window fills what the screen gives it; otherwise it has the
    // size of its layout, whatever a drag of its border asks for.
    bool Maximised() const;
    void KeepLayoutSize();
    QPoint layoutPlace_; // where the window last stood in its normal state

    // The log. A listing's lines arrive one event each, a hundred thousand for a large
    // directory, and appending them one at a time would lay out and scroll the log for every
    // line. So they are collected and appended in batches at the event loop's passes: at most
    // kLogBatchLines in one pass, so that the pass stays short, and none waits longer than
    // kLogDelayMs. When the command ends the log is complete.
    static constexpr int kLogBatchLines = 2000;
    static constexpr int kLogDelayMs = 5;
    void AppendToLog(const std::string& line);
    void ScheduleLogFlush(int delayMs);
    void FlushLogBatch();
    void FinishLog();
    void ClearLog();

    // One command at a time: the buttons are disabled while `command` runs (Desconectar stays
    // live to cancel it), errors go to the error box, and a cancel or close asked for meanwhile
    // is finished once the command has unwound.
    void RunCommand(const std::function<void()>& command);
    void Execute(const std::function<void()>& command);
    void SetCommandsEnabled(bool enabled);
    // Gives the focus back to `before` (where it was when the command began) unless it has moved
    // on from `during` (where disabling the buttons left it) since.
    void RestoreFocus(QWidget* before, QWidget* during);
    void RequestCancel();
    void CancelWaits();
    void DisconnectAfterCancel();
    void Connect(const std::string& user, const std::string& password);
    // Names and listing lines of the session, in its character set.
    app::WireCharset SessionCharset() const;
    std::string ToSession(const QString& text) const;
    QString FromSession(const std::string& bytes) const;
    // The remote name in Edit1 as the server is to be asked for it.
    std::string RemoteName() const;
    // Behind a router the server often cannot connect back to us. When the active data connection
    // of `operation` cannot be made, it runs once more in passive mode, which stays for the rest
    // of the session; a new session starts active again, as the layout has it.
    void WithPassiveFallback(const std::function<void()>& operation);
    // The server the component is set to, as the key of passiveServers_.
    std::string ServerKey() const;
    void ChangeDirectoryTo(const std::string& directory);
    // Dowload with a partial file of an earlier attempt beside the target, and the server's file
    // unchanged since: whether to continue it (true), start over (false) or do nothing (the user
    // closed the question). False without a question when there is nothing to continue.
    std::optional<bool> AskAboutPartial(const std::string& remote, const std::string& partPath);
    bool AskForName(const QString& caption, const QString& prompt);
    // The padlock inside the server field while the session is encrypted, its tooltip saying
    // how; no padlock otherwise. The field keeps its place, size and text.
    void ShowEncryption();
    // Modal boxes are not shown once the window is closing: nobody would see them.
    // The component's Connect, with what the window knows of the server added to its failure.
    void ConnectComponent();
    void ShowMessage(const QString& text);
    void ShowError(const std::exception& error);

    // What the automatic retry of a failed transfer needs to know about the running command.
    struct TransferWatch {
        enum class Kind { None, Download, Upload } kind = Kind::None;
        std::string remotePath;
        std::string localPath;
        bool dataPhaseBegun = false; // the server accepted the transfer and its data flowed
        int64_t bytesMoved = 0;      // written to the local file, or sent to the server
        bool retried = false;
        bool completed = false; // the transfer, or its retry, succeeded
        // A download's target while Dowload runs: the retry writes through the file it opens.
        ftpfiles::DownloadTarget* target = nullptr;
    };
    void WatchTransfer(TransferWatch::Kind kind, std::string remotePath, std::string localPath);
    void NoteTransactionStart();
    void NotePacket(int64_t bytes);
    bool MayResumeDownload() const;
    // The failure being reported is the server's silence for the whole time-out.
    static bool FailureIsSilence();
    bool MayAppendUpload() const;

    // Shortcuts to the file-name fields and to "Mudar Diretório": a double-click on a listing
    // line in the log, a local file dropped on the window (Form1Shortcuts.cpp).
    bool Memo1DblClick(const QPoint& position);
    void OpenListingLine(const std::string& line);
    void FillTransferFields(const std::string& remoteName);
    bool FormDragOver(QDragMoveEvent* event);
    bool FormDragDrop(QDropEvent* event);

    // The certificates the user trusts always, and the server of the session they are looked
    // up for: the host as the server field names it, and the port connected to.
    app::TrustedCertificates trusted_;
    QString sessionHost_;
    int sessionPort_ = 0;
    // The user answered "Cancelar" about the server's certificate: the refusal that follows is
    // the user's own, not an error to show.
    bool certificateRefused_ = false;
    // The servers the user agreed for good to log in to without encryption.
    app::ClearTextServers clearTextServers_;
    // The user answered "Cancelar" to logging in without encryption: likewise the user's own.
    bool clearTextDeclined_ = false;
    // The session's server is one whose certificate the user trusts always: it requires TLS.
    bool trustedServer_ = false;
    QAction* encrypted_ = nullptr;
    // What the padlock's tooltip adds about this session's data connections.
    QString dataTlsNote_;

    // Servers and passwords of earlier logins (RememberedLogins.h).
    app::RememberedLogins* logins_ = nullptr;
    app::RememberedName edit1Wire_; // the server's bytes for a name the log put in Edit1
    // Servers (host and port) that could not connect back in active mode during this run.
    std::set<std::string> passiveServers_;
    QStringList pendingLog_; // lines not yet appended to Memo1
    // Every line of Memo1 and pendingLog_ as it came from the server, one for each of the log's
    // rows: a line picked in the log is asked for with the server's own bytes, whatever the log
    // had to show in their place.
    std::vector<std::string> logWire_;
    app::DeferredRelease<std::string> releasedWire_;
    QTimer logFlush_;
    bool busy_ = false;
    bool cancelRequested_ = false;
    bool disconnectPending_ = false;
    bool closeRequested_ = false;
    TransferWatch watch_;
    // Bounds the courtesy QUIT after a cancel.
    QTimer quitGrace_;

    // --- Whole folders (Form1Folders.cpp) ------------------------------------------------------
    // Whether `name` (the server's bytes) is a remote directory: by MLST when the server has it,
    // else by the listing in the log.
    bool RemoteIsDirectory(const std::string& name);
    // A name relative to the window's current remote directory made absolute.
    std::string RemotePathOf(const std::string& name);
    void DownloadFolder(const std::string& remote);
    void UploadFolder(const QString& localFolder);
    // Runs the tree over sessions like the window's and waits for it as for a file; the summary
    // goes to the status line, failures to the error box.
    void RunFolder(transfer::TreeJob job);
    bool folderRunning_ = false;
    transfer::TreeProgress heldFolder_;

    // --- A transfer as the user sees it (Form1Transfers.cpp) ----------------------------------
    // The progress of a transfer goes to the status line at most every kProgressIntervalMs: at
    // loopback speed a block arrives every few microseconds, and painting each count would take
    // the time from the transfer itself. A count held back is shown when the interval is up, so
    // the line never lags behind a transfer that has paused.
    static constexpr int kProgressIntervalMs = 50;
    void ShowProgress(int64_t count, int64_t size);
    void ShowHeldProgress();
    QElapsedTimer progressShown_;
    // Since the running transfer (file or folder) began: its recent speed and time left, or how
    // long the server has been silent, in the title. The title is brought up to date every second
    // even when nothing arrives, or a stalled transfer would look alive.
    QElapsedTimer transferClock_;
    app::TransferRate rate_;
    QTimer titleTick_;
    void StartTransferClock();
    void ShowTransferTitle();
    void ShowTitle(const QString& title);
    QTimer progressLater_;
    int64_t heldCount_ = 0;
    int64_t heldSize_ = 0;
    // Esc: the running command stops, the session stays (a transfer is aborted with ABOR).
    void EscapePressed();
    bool stopRequested_ = false; // the cancel is Esc's: the session stays
    // Closing the window while a transfer runs asks first; the transfer goes on meanwhile.
    bool TransferRunning() const;
    void AskBeforeClosing();
    QPointer<QMessageBox> closeQuestion_;
    // What a command that failed leaves in the status line instead of its "in progress" text.
    void ShowFailure(const std::exception& error);
    // "Sem resposta de HOST:PORT em N s": the server was silent for the whole time-out.
    QString NoAnswerText() const;
    // " (verificado)" after a transfer that matched the server's checksum; empty otherwise.
    QString VerifiedSuffix() const;
    bool connecting_ = false; // a connect command runs: its handlers word its failures
    // The window itself ended the session (Desconectar, a cancel): anything else that ends it is
    // the server's doing, or its silence's, and the status line says so.
    bool disconnectAsked_ = false;
    bool sessionLost_ = false; // ... and during the running command it ended so
    void DisconnectComponent();
    // After Desconectar: the log and the directory line are emptied.
    void ForgetListing();
    // The current remote directory and the log are shown in the session's character set, which a
    // listing may only settle at its end: both are shown again from the server's bytes then.
    // What each was drawn in is kept with it, not with the window: a new session starts knowing
    // nothing and draws in its own guess, whatever the last session had settled.
    void ShowCurrentDirectory(const std::string& wire);
    void ShowNamesAgainIfCharsetChanged();
    std::string edit4Wire_;
    app::WireCharset edit4Charset_ = app::WireCharset::Windows1252;
    // None while the log holds lines drawn in different character sets.
    std::optional<app::WireCharset> logCharset_;

    // --- Commands on a session of the neutral interface (Form1Sessions.cpp) --------------------
    // The session of an sftp:// server, while there is one; the component is not connected then.
    std::unique_ptr<app::SessionDriver> session_;
    // How it logged in: the sessions of a folder transfer log in alike.
    std::optional<app::SftpLogin> sessionLogin_;
    QPointer<QMessageBox> hostKeyBox_;
    bool hostKeyDeclined_ = false; // the user answered "Cancelar" about the server's key
    void ConnectSession(const app::ServerAddress& address, const std::string& user,
                        const std::string& password, bool anonymous);
    void OpenSession();
    void ListSession();
    void DownloadSession(const std::string& remote);
    void UploadSession(const std::string& local, std::string remote);
    void MakeDirectorySession(const QString& name);
    void ChangeDirectorySession(const std::string& directory);
    void DeleteSession(const std::string& name);
    // What this session cannot run yet.
    [[noreturn]] void NotOverSession(const QString& command);
    void CloseSession();
    void ShowSessionEncryption();
    void OpenSessionListingLine(const std::string& line);
};

// The font that stands in for the 8-point design font: the 11-pixel em and the text height the
// layout was drawn for.
QFont FormFont();
