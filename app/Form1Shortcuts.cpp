// Shortcuts to what the user would otherwise type: a double-click on a listing line in the log
// changes into a directory or readies a file for "Dowload"; a local file or folder dropped on the
// window is readied for "Upload".
#include "app/LogView.h"
#include "app/Unit1.h"
#include "app/WireText.h"
#include "ftp/ListLineShapes.h"
#include "ftp/ListParsers.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

namespace {

// The remote name's last part, in the folder the local field already points into: a series of
// downloads lands where the user chose once, and a name from the server never picks a folder.
// Without a folder there, the bare name: relative to the working directory, as typed names are.
QString LocalPathFor(const QString& remoteName, const QString& previous)
{
    const QString fileName = remoteName.section(u'/', -1);
    const QFileInfo before(previous);
    QString folder;
    if (!previous.isEmpty() && before.isDir())
        folder = previous;
    else if (previous.contains(u'/'))
        folder = before.path();
    return folder.isEmpty() ? fileName : QDir(folder).filePath(fileName);
}

// The one local file or folder a drop carries, or an empty text: remote addresses and several
// at once are not something the file-name fields can take.
QString DroppedLocalFile(const QMimeData* mime)
{
    if (mime == nullptr || mime->urls().size() != 1) return {};
    const QUrl url = mime->urls().front();
    if (!url.isLocalFile()) return {};
    const QString path = QDir::cleanPath(url.toLocalFile());
    const QFileInfo info(path);
    return info.isFile() || info.isDir() ? path : QString();
}

// Only the file's path is taken. Accepting a move would let the source delete the file.
bool AcceptAsCopyOrLink(QDropEvent* event)
{
    for (Qt::DropAction action : {Qt::CopyAction, Qt::LinkAction}) {
        if (event->possibleActions() & action) {
            event->setDropAction(action);
            event->accept();
            return true;
        }
    }
    event->ignore();
    return false;
}

} // namespace

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonDblClick:
        if (watched == Memo1->viewport()) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton)
                return Memo1DblClick(mouse->position().toPoint());
        }
        break;
    case QEvent::DragEnter:
    case QEvent::DragMove: return FormDragOver(static_cast<QDragMoveEvent*>(event));
    case QEvent::Drop: return FormDragDrop(static_cast<QDropEvent*>(event));
    default: break;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::dragEnterEvent(QDragEnterEvent* event)
{
    if (!FormDragOver(event)) event->ignore();
}

void TForm1::dragMoveEvent(QDragMoveEvent* event)
{
    if (!FormDragOver(event)) event->ignore();
}

void TForm1::dropEvent(QDropEvent* event)
{
    if (!FormDragDrop(event)) event->ignore();
}

// --- The log ------------------------------------------------------------------------------

// True when the double-click was on a line of the log and so was taken.
bool TForm1::Memo1DblClick(const QPoint& position)
{
    if (busy_) return false; // one command at a time; the fields stay as the command found them
    const qsizetype row = Memo1->RowAt(position);
    if (row < 0 || static_cast<size_t>(row) >= logWire_.size()) return false;
    OpenListingLine(logWire_[static_cast<size_t>(row)]);
    return true;
}

// The line is read by the parser a parsed listing uses, from the bytes the server sent, so the
// name asked for is the server's own, blanks included.
void TForm1::OpenListingLine(const std::string& line)
{
    if (session_) return OpenSessionListingLine(line);
    TFTPUnixList parser;
    parser.ParseLine(line);
    if (parser.NameList.empty()) return; // the "total" line, a message: nothing to open
    const std::string name = parser.NameList.front();
    switch (listing::KindOf(parser.AttributeList.front())) {
    case listing::EntryKind::Directory:
        RunCommand([this, name] { ChangeDirectoryTo(name); });
        break;
    case listing::EntryKind::Link:
        // The listing does not say whether a link leads to a directory or a file. Asking the
        // server to change into it tells: a link to a file is refused, and is then readied for
        // download like a file. Anything but that refusal is reported as usual.
        RunCommand([this, name] {
            try {
                VaskFTP1->ChangeDirectory(name);
            } catch (const FTPException&) {
                const bool refused = VaskFTP1->ReplyCode >= 400 && VaskFTP1->ReplyCode <= 599;
                if (!refused || !VaskFTP1->Connected || cancelRequested_) throw;
                FillTransferFields(name);
                return;
            }
            ShowCurrentDirectory(VaskFTP1->CurrentDirectory());
        });
        break;
    case listing::EntryKind::File: FillTransferFields(name); break;
    }
}

void TForm1::FillTransferFields(const std::string& remoteName)
{
    const QString name = FromSession(remoteName);
    Edit1->setText(name);
    // Asked for again with the server's own bytes, whatever the field had to show for them.
    edit1Wire_.Remember(name, remoteName);
    Edit2->setText(LocalPathFor(name, Edit2->text()));
}

// --- Dropping a local file ----------------------------------------------------------------

// Drags that carry no addresses (plain text) are left to the field under the pointer. Those that
// do are the window's: one local file is taken, anything else refused, so that no field pastes
// an address into itself either.
bool TForm1::FormDragOver(QDragMoveEvent* event)
{
    if (!event->mimeData()->hasUrls()) return false;
    if (DroppedLocalFile(event->mimeData()).isEmpty())
        event->ignore();
    else
        AcceptAsCopyOrLink(event);
    return true;
}

bool TForm1::FormDragDrop(QDropEvent* event)
{
    if (!event->mimeData()->hasUrls()) return false;
    const QString path = DroppedLocalFile(event->mimeData());
    if (path.isEmpty()) {
        event->ignore();
        return true;
    }
    if (!AcceptAsCopyOrLink(event)) return true;
    Edit2->setText(QDir::toNativeSeparators(path));
    Edit1->setText(QFileInfo(path).fileName());
    return true;
}
