// Whole folders down and up: "Dowload" with a remote directory in Edit1 fetches its tree, "Upload"
// with a local folder in Edit2 sends one. The tree moves over a few sessions of its own, logged
// in like the window's, while the window waits as it does for a file: Desconectar and closing
// the window stop the whole run.
#include "app/Dialogs.h"
#include "app/FolderSessions.h"
#include "app/OverwriteBox.h"
#include "app/TransferText.h"
#include "app/Unit1.h"
#include "app/WireText.h"
#include "ftp/FtpSessionFactory.h"
#include "ftp/ListLineShapes.h"
#include "ftp/ListParsers.h"
#include "net/Wait.h"
#include "queue/Scheduler.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QStatusBar>

#include <optional>

namespace {

// At most this many sessions besides the window's own move a tree.
constexpr int kFolderSessions = 4;
// The failures a box lists by name; the rest are counted.
constexpr size_t kFailuresShown = 10;
// A session beside the window's that would not log in with the window's TLS and certificate.
constexpr char16_t kSessionRefused[] =
    u"Atenção: uma sessão a mais foi recusada por não ter o TLS e o certificado da sessão da "
    u"janela";

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string LastPart(const std::string& path)
{
    const std::string whole = WithoutTrailingSlashes(path);
    const size_t slash = whole.rfind('/');
    return slash == std::string::npos ? whole : whole.substr(slash + 1);
}

// The run's flag, down again however it ends.
class RunningFlag {
public:
    explicit RunningFlag(bool& flag) : flag_(flag) { flag_ = true; }
    ~RunningFlag() { flag_ = false; }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

private:
    bool& flag_;
};

} // namespace

bool TForm1::RemoteIsDirectory(const std::string& name)
{
    if (session_) {
        if (name.empty() || !session_->Connected()) return false;
        if (name.size() > 1 && name.back() == '/') return true;
        // The listing in the log tells for a name of the current directory.
        if (name.find('/') != std::string::npos) return false;
        for (const std::string& line : logWire_) {
            const std::optional<app::ListedEntry> entry = app::ReadListingLine(line);
            if (entry && entry->name == name)
                return entry->kind == transfer::RemoteEntry::Kind::Directory;
        }
        return false;
    }
    if (name.empty() || !VaskFTP1->Connected) return false;
    if (name.size() > 1 && name.back() == '/') return true;
    // MLST says it for any path. Without it, the listing in the log tells for a name of the
    // current directory; anything else is taken for a file, as it always was.
    if (VaskFTP1->HasFeature("MLST")) {
        const std::optional<TFTPListEntry> entry = VaskFTP1->DescribePath(name);
        return entry && entry->kind == TEntryKind::Directory;
    }
    if (name.find('/') != std::string::npos) return false;
    for (const std::string& line : logWire_) {
        TFTPUnixList parser;
        parser.ParseLine(line);
        if (parser.NameList.empty() || parser.NameList.front() != name) continue;
        return listing::KindOf(parser.AttributeList.front()) == listing::EntryKind::Directory;
    }
    return false;
}

std::string TForm1::RemotePathOf(const std::string& name)
{
    if (!name.empty() && name.front() == '/') return name;
    // The extra sessions start in the login directory, not where the window has gone since.
    const std::string here = session_ ? edit4Wire_ : VaskFTP1->CurrentDirectory();
    if (here.empty()) return name;
    return here.back() == '/' ? here + name : here + '/' + name;
}

void TForm1::DownloadFolder(const std::string& remote)
{
    // Into the folder the local field names; with the field empty, into a folder named like the
    // remote one in the working directory, as a file would land there.
    QString local = Edit2->text();
    if (local.isEmpty()) {
        const std::string name = LastPart(remote);
        if (name.empty() || name == "." || name == ".." || name == "/")
            throw app::WindowError(
                QStringLiteral("Informe no campo do arquivo local a pasta onde salvar ") +
                    FromSession(remote),
                ErrorReason::FileCreate);
        local = FromSession(name);
    }
    SetStatus(QStringLiteral("Efetuando o download da pasta \"") + Edit1->text() + u'"');
    transfer::TreeJob job;
    job.direction = transfer::TreeDirection::Download;
    job.remoteRoot = WithoutTrailingSlashes(RemotePathOf(remote));
    job.localRoot = app::ToLocalPath(local);
    RunFolder(std::move(job));
}

void TForm1::UploadFolder(const QString& localFolder)
{
    std::string remote = RemoteName();
    if (remote.empty()) remote = ToSession(QFileInfo(QDir::cleanPath(localFolder)).fileName());
    SetStatus(QStringLiteral("Efetuando o upload da pasta \"") + localFolder + u'"');
    transfer::TreeJob job;
    job.direction = transfer::TreeDirection::Upload;
    job.remoteRoot = WithoutTrailingSlashes(RemotePathOf(remote));
    job.localRoot = app::ToLocalPath(QDir::cleanPath(localFolder));
    RunFolder(std::move(job));
}

void TForm1::RunFolder(transfer::TreeJob job)
{
    job.queue.maxSessions = kFolderSessions;
    transfer::EventLoopScheduler scheduler;
    // Over SFTP the extra sessions accept the key the window's session accepted, and no other.
    std::optional<FtpSessionFactory> ftpSessions;
    std::function<std::unique_ptr<transfer::Session>()> maker;
    if (session_) {
        maker = app::SftpFolderSessions(*sessionLogin_, session_->Session());
    } else {
        ftpSessions.emplace([this](TVaskFTP& ftp) { app::SetUpLike(ftp, *VaskFTP1); });
        FtpSessionFactory& sessions = *ftpSessions;
        sessions.BindTo(*VaskFTP1);
        sessions.onRefused = [this](const std::string& why) {
            SetStatus(QString::fromUtf16(kSessionRefused) + QStringLiteral(": ") +
                      FromSession(why).trimmed());
        };
        maker = sessions.Maker();
    }
    transfer::TreeTransfer tree(std::move(job), maker, scheduler);
    tree.choosePolicy = [this](size_t existing) {
        // The time the question is open is the user's, not the transfer's.
        rate_.Pause(transferClock_.elapsed());
        const auto policy = app::AskOverwritePolicy(this, existing);
        rate_.Resume(transferClock_.elapsed());
        return policy;
    };
    tree.onProgress = [this](const transfer::TreeProgress& progress) {
        heldFolder_ = progress;
        ShowProgress(progress.bytes, progress.bytesTotal);
    };
    std::optional<transfer::TreeSummary> summary;
    std::function<void()> ended; // the end of the wait over a session of the neutral interface
    tree.onFinished = [&summary, &ended](const transfer::TreeSummary& result) {
        summary = result;
        if (ended) ended();
    };

    heldFolder_ = {};
    StartTransferClock();
    {
        const RunningFlag running(folderRunning_);
        tree.Start();
        // The window's component is idle meanwhile; its Cancel (Desconectar, Esc, closing the
        // window) is what ends this wait, and then the run. The run ends soon after its Cancel.
        bool stopping = false;
        // Over a session of the neutral interface the window has no component to wait on: the
        // session's wait ends with the run, and its Cancel stops the run.
        if (session_) {
            session_->AwaitBeside(
                [&](std::function<void()> end) {
                    ended = std::move(end);
                    if (summary) ended();
                },
                [&] {
                    if (!stopping) tree.Cancel();
                    stopping = true;
                });
            ended = nullptr;
        }
        while (!summary) {
            if (Wait(*VaskFTP1, {}, [&summary] { return summary.has_value(); }) !=
                WaitEnd::Canceled)
                continue;
            if (!stopping) tree.Cancel();
            stopping = true;
            VaskFTP1->Canceled = false;
        }
    }
    QString status = app::FolderSummaryText(*summary, heldFolder_.filesTotal);
    // Why the run had fewer sessions than it asked for.
    const int refused = ftpSessions ? ftpSessions->Refused() : 0;
    if (refused > 0)
        status += QStringLiteral("; ") + QString::number(refused) +
                  (refused == 1 ? QStringLiteral(" sessão recusada")
                                : QStringLiteral(" sessões recusadas")) +
                  QStringLiteral(" por não ter o TLS e o certificado da sessão da janela");
    SetStatus(status);
    if (summary->failures.empty()) return;
    QString text = QStringLiteral("Alguns arquivos não foram transferidos:");
    for (size_t i = 0; i < summary->failures.size() && i < kFailuresShown; ++i)
        text +=
            u'\n' + app::Printable(FromSession(summary->failures[i]), platform::LineBreaks::Escape);
    if (summary->failures.size() > kFailuresShown)
        text += QStringLiteral("\n(e mais ") +
                QString::number(summary->failures.size() - kFailuresShown) + u')';
    ShowError(app::WindowError(text, ErrorReason::TransferIncomplete));
}
