// A double-click on a listing line in the log, with a real mouse on the log, against a scripted
// server; a local file dropped on the window.
#include "FormTestSupport.h"

#include "app/WireText.h"

#include "support/ScriptedFtpServer.h"
#include "support/TestUtil.h"

#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>

using namespace apptest;
using testsupport::ScriptedFtpServer;

namespace {

// Sent for every listing, so that each line stays where it was after a change of directory.
// The empty line (kept with its line end) and the carriage return inside a name each take two
// lines of the log: lines below them must still be found.
const std::string kListing =
    "total 8\r\n"
    "\r\n"
    "-rw-r--r--    1 ftp      ftp             1 Jan  5 12:30 cr\rname\r\n"
    "-rw-r--r--    1 ftp      ftp          1234 Jan  5 12:30 my file.txt\r\n"
    "drwxr-xr-x    2 ftp      ftp          4096 Jan  5 12:30 sub dir\r\n"
    "lrwxrwxrwx    1 ftp      ftp             3 Jan  5 12:30 pub -> srv\r\n"
    "lrwxrwxrwx    1 ftp      ftp             8 Jan  5 12:30 last -> data.bin\r\n"
    "12-07-26  10:15AM       <DIR>          win dir\r\n"
    "12-07-26  09:01PM                10000 data file.bin\r\n"
    "drwxr-xr-x    2 ftp      ftp          4096 Jan  5 12:30 a\xc3\xa7\xc3\xa3o\r\n";

void ScriptListing(ScriptedFtpServer& server) { server.ActiveListing(kListing); }

enum class Cwd { None, Accepted, Refused };

struct ClickRow {
    std::string why;
    std::string line;   // the listing line double-clicked; empty: below the last line
    Cwd cwd;            // what the server answers to "CWD <name>"
    std::string name;   // the name the CWD asks for
    std::string fields; // Edit1 | Edit2 (below the local folder) | Edit4 afterwards
};

const ClickRow kClickRows[] = {
    {"the total line does nothing", "total 8", Cwd::None, "", "||/"},
    {"a file is readied for download, next to the last local file",
     "-rw-r--r--    1 ftp      ftp          1234 Jan  5 12:30 my file.txt", Cwd::None, "",
     "my file.txt|my file.txt|/"},
    {"a directory is changed into, its name whole",
     "drwxr-xr-x    2 ftp      ftp          4096 Jan  5 12:30 sub dir", Cwd::Accepted, "sub dir",
     "my file.txt|my file.txt|/sub dir"},
    {"a link the server changes into is a directory",
     "lrwxrwxrwx    1 ftp      ftp             3 Jan  5 12:30 pub -> srv", Cwd::Accepted, "pub",
     "my file.txt|my file.txt|/pub"},
    {"a link the server will not change into is readied as a file, without an error box",
     "lrwxrwxrwx    1 ftp      ftp             8 Jan  5 12:30 last -> data.bin", Cwd::Refused,
     "last", "last|last|/pub"},
    {"a Windows server's directory", "12-07-26  10:15AM       <DIR>          win dir",
     Cwd::Accepted, "win dir", "last|last|/win dir"},
    {"a Windows server's file", "12-07-26  09:01PM                10000 data file.bin", Cwd::None,
     "", "data file.bin|data file.bin|/win dir"},
    // The server never said UTF8, but its listing did: every name outside ASCII is UTF-8.
    {"a UTF-8 name of a server that does not say so is shown as UTF-8, asked for in its bytes",
     "drwxr-xr-x    2 ftp      ftp          4096 Jan  5 12:30 a\xc3\xa7\xc3\xa3o", Cwd::Accepted,
     "a\xc3\xa7\xc3\xa3o", "data file.bin|data file.bin|/a\xc3\xa7\xc3\xa3o"},
    {"below the last line nothing is picked", "", Cwd::None, "",
     "data file.bin|data file.bin|/a\xc3\xa7\xc3\xa3o"},
};

// Where the log shows `shown`; for an empty text, a point below the log's last line.
// Where the log shows `shown`; with an empty text, just below its last line.
QPoint PointOf(TLogView* log, const QString& shown)
{
    if (shown.isEmpty()) return log->RowRect(log->LineCount()).center();
    for (qsizetype row = 0; row < log->LineCount(); ++row)
        if (log->Line(row) == shown) return log->RowRect(row).topLeft() + QPoint(20, 4);
    return {-1, -1};
}

// kListing is all valid UTF-8, so the session shows it as UTF-8.
QPoint PointOf(TLogView* log, const std::string& line)
{
    return PointOf(log, line.empty() ? QString() : QString::fromStdString(line));
}

class DoubleClickTest : public FormTest {
protected:
    ScriptedFtpServer server;
    testsupport::TempDir local;
};

} // namespace

TEST_F(DoubleClickTest, ListingLinesOpenDirectoriesAndReadyFiles)
{
    ScriptWindowLogin(server);
    ScriptListing(server);
    for (const ClickRow& row : kClickRows) {
        if (row.cwd == Cwd::Refused) server.Expect("CWD " + row.name).Reply("550 Not a directory.");
        if (row.cwd != Cwd::Accepted) continue;
        const std::string pwd = "257 \"/" + row.name + "\" is the current directory";
        server.Expect("CWD " + row.name).Reply("250 ok").Expect("PWD").Reply(pwd);
        ScriptListing(server);
        server.Expect("PWD").Reply(pwd);
    }
    // A command the script did not foresee then fails at once instead of waiting for a reply.
    server.SetAfterScript(ScriptedFtpServer::AfterScript::Close);
    server.Start();
    ConnectTo(server.Port(), "u", "p");
    const QString folder = QString::fromStdString(local.Path()) + "/";
    form->Edit2->setText(folder + "anterior.bin");

    for (const ClickRow& row : kClickRows) {
        const QPoint point = PointOf(form->Memo1, row.line);
        QTest::mouseDClick(form->Memo1->viewport(), Qt::LeftButton, {}, point);
        QString localName = form->Edit2->text();
        if (localName.startsWith(folder)) localName = localName.mid(folder.size());
        if (localName == "anterior.bin") localName.clear();
        EXPECT_EQ((form->Edit1->text() + "|" + localName + "|" + form->Edit4->text()).toStdString(),
                  row.fields)
            << row.why;
    }
    EXPECT_TRUE(server.Verify());
    EXPECT_TRUE(boxes.seen.empty());
}

// --- A UTF-8 session ------------------------------------------------------------------------

namespace {

// How a name reaches the server in a session whose server said UTF8: from a listing line that
// was double-clicked (the server's own bytes, even when they are no UTF-8), or typed.
struct Utf8Row {
    std::string why;
    std::string line;  // the listing line double-clicked, or empty
    QString typed;     // typed into the field instead, when not empty
    const char* field; // "Edit1" for Dowload or Upload, "Edit3" for Mudar Diretório
    const char* button;
    std::string wire; // the name as it goes out
    QString shown;    // what Edit1 shows after a double-click
};

const std::string kUtf8File =
    "-rw-r--r--    1 ftp      ftp            10 Jan  5 12:30 relat\xc3\xb3rio.txt";
const std::string kLatin1File =
    "-rw-r--r--    1 ftp      ftp            10 Jan  5 12:30 caf\xe9.txt";

const Utf8Row kUtf8Rows[] = {
    {"a UTF-8 name from the log",
     kUtf8File,
     {},
     "Edit1",
     "Button2",
     "relat\xc3\xb3rio.txt",
     QStringLiteral("relatório.txt")},
    {"a name that is no UTF-8 keeps the server's bytes",
     kLatin1File,
     {},
     "Edit1",
     "Button2",
     "caf\xe9.txt",
     QStringLiteral("caf\uFFFD.txt")},
    {"a typed name replaces the remembered one",
     "",
     QStringLiteral("café.txt"),
     "Edit1",
     "Button2",
     "caf\xc3\xa9.txt",
     {}},
    {"a typed name to upload",
     "",
     QStringLiteral("ação.bin"),
     "Edit1",
     "Button4",
     "a\xc3\xa7\xc3\xa3o.bin",
     {}},
    {"a typed directory", "", QStringLiteral("pasta ç"), "Edit3", "Button6", "pasta \xc3\xa7", {}},
};

} // namespace

TEST_F(DoubleClickTest, InAUtf8SessionNamesAreShownAndSentAsUtf8)
{
    GreetWithoutTls(server)
        .Expect("USER u")
        .Reply("331 senha")
        .Expect("PASS p")
        .Reply("230 entrou")
        .Expect("FEAT")
        .Send("211-Features:\r\n MDTM\r\n UTF8\r\n211 End\r\n")
        .Expect("OPTS UTF8 ON")
        .Reply("200 Always in UTF8 mode.")
        .Expect("PWD")
        .Reply("257 \"/relat\xc3\xb3rios\" is the current directory")
        .ActiveListing(kUtf8File + "\r\n" + kLatin1File + "\r\n");
    // Each name is refused, with the name in the reply: the error box shows it as UTF-8 too.
    for (const Utf8Row& row : kUtf8Rows) {
        if (std::string(row.button) == "Button6") {
            server.Expect("CWD " + row.wire).Reply("550 " + row.wire + ": nada");
            continue;
        }
        const bool download = std::string(row.button) == "Button2";
        server.Expect("TYPE I").Reply("200 binary");
        // The window asks for a download's size first, for its progress.
        if (download) server.Expect("SIZE " + row.wire).Reply("550 " + row.wire + ": nada");
        server.ExpectPrefix("PORT ").Reply("200 PORT ok");
        server.Expect((download ? "RETR " : "STOR ") + row.wire)
            .Reply("550 " + row.wire + ": nada");
    }
    server.SetAfterScript(ScriptedFtpServer::AfterScript::Close);
    server.Start();
    testsupport::WriteFileBytes(local.File("envio.bin"), "x");
    ConnectTo(server.Port(), "u", "p");
    EXPECT_EQ(form->Edit4->text(), QStringLiteral("/relatórios"));
    const QStringList log = LogLines(*form);
    ASSERT_EQ(log.size(), 2) << log.join('|').toStdString();
    EXPECT_TRUE(log[0].endsWith(QStringLiteral(" relatório.txt"))) << log[0].toStdString();
    EXPECT_TRUE(log[1].endsWith(QStringLiteral(" caf\uFFFD.txt"))) << log[1].toStdString();

    for (const Utf8Row& row : kUtf8Rows) {
        SCOPED_TRACE(row.why);
        boxes.seen.clear();
        auto* field = form->findChild<QLineEdit*>(QLatin1String(row.field));
        if (!row.line.empty()) {
            const QPoint point = PointOf(form->Memo1, QString::fromUtf8(row.line.c_str()));
            QTest::mouseDClick(form->Memo1->viewport(), Qt::LeftButton, {}, point);
            EXPECT_EQ(field->text(), row.shown);
        } else {
            field->setText(row.typed);
        }
        form->Edit2->setText(QString::fromStdString(local.File("envio.bin")));
        form->findChild<QPushButton*>(QLatin1String(row.button))->click();
        ASSERT_EQ(boxes.Errors().size(), 1u);
        EXPECT_EQ(boxes.Errors()[0].text,
                  QString::fromUtf8(("550 " + row.wire + ": nada").c_str()));
    }
    EXPECT_TRUE(server.Verify());
}

// A new session starts knowing nothing of its names' character set, whatever the last one had
// settled: after Desconectar and Conectar, or on another server, the names read right again.
TEST_F(FormTest, NamesReadRightAfterReconnecting)
{
    struct Row {
        const char* why;
        std::string first, second; // each session's one listing line
    };
    const std::string utf8 =
        "-rw-r--r--    1 ftp      ftp             1 Jan  5 12:30 relat\xc3\xb3rio.pdf";
    const std::string latin1 =
        "-rw-r--r--    1 ftp      ftp             1 Jan  5 12:30 relat\xf3rio.pdf";
    const QString shown =
        QStringLiteral("-rw-r--r--    1 ftp      ftp             1 Jan  5 12:30 relatório.pdf");
    const Row rows[] = {
        {"UTF-8 names both times", utf8, utf8},
        {"windows-1252 names both times", latin1, latin1},
        {"from a windows-1252 server to a UTF-8 one", latin1, utf8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        ScriptedFtpServer server;
        ScriptWindowLogin(server).ActiveListing(row.first + "\r\n");
        server.Expect("QUIT").Reply("221 tchau").NextSession();
        ScriptWindowLogin(server).ActiveListing(row.second + "\r\n");
        server.Expect("QUIT").Reply("221 tchau");
        server.Start();
        ConnectTo(server.Port(), "u", "p");
        EXPECT_EQ(LogLines(*form), QStringList{shown});
        form->Button1->click();
        form->Button3->click();
        EXPECT_EQ(LogLines(*form), QStringList{shown});
        form->Button1->click();
        EXPECT_TRUE(server.Verify());
    }
    EXPECT_TRUE(boxes.seen.empty());
}

// --- Dropping ---------------------------------------------------------------------------------

namespace {

struct DropRow {
    std::string why;
    const char* target; // object name of the control dropped on
    std::string item;   // "file", "folder", "two files", "web", or "file, move only"
    std::string fields; // Edit1 | Edit2 afterwards; "antes" is what they held
};

const DropRow kDropRows[] = {
    {"a file on the remote name field", "Edit1", "file", "envio 1.bin|{file}"},
    {"a file on the log", "Memo1", "file", "envio 1.bin|{file}"},
    {"a file on a button", "Button4", "file", "envio 1.bin|{file}"},
    {"a file on the window's background", "Form1", "file", "envio 1.bin|{file}"},
    {"a folder fills both fields as a file does", "Edit2", "folder", "{name}|{folder}"},
    {"two files are refused", "Edit1", "two files", "antes|antes"},
    {"a web address is refused", "Edit1", "web", "antes|antes"},
    {"a drag that could only move the file is refused", "Edit1", "file, move only", "antes|antes"},
};

class DropTest : public FormTest {
protected:
    testsupport::TempDir local;
};

} // namespace

TEST_F(DropTest, OneLocalFileOrFolderFillsBothFieldsAnythingElseChangesNothing)
{
    const QString file = QString::fromStdString(local.File("envio 1.bin"));
    testsupport::WriteFileBytes(file.toStdString(), "x");
    const QString folder = QString::fromStdString(local.Path());

    for (const DropRow& row : kDropRows) {
        form->Edit1->setText("antes");
        form->Edit2->setText("antes");
        QMimeData mime;
        QList<QUrl> urls{QUrl::fromLocalFile(file)};
        if (row.item == "folder") urls = {QUrl::fromLocalFile(folder)};
        if (row.item == "two files") urls.append(QUrl::fromLocalFile(file));
        if (row.item == "web") urls = {QUrl("https://exemplo.com.br/envio.bin")};
        mime.setUrls(urls);
        const Qt::DropActions actions =
            row.item == "file, move only" ? Qt::MoveAction : Qt::CopyAction | Qt::MoveAction;

        QWidget* target = form->objectName() == row.target
                              ? form.get()
                              : form->findChild<QWidget*>(QLatin1String(row.target));
        ASSERT_NE(target, nullptr) << row.target;
        if (target == form->Memo1) target = form->Memo1->viewport();
        const QPoint centre = target->rect().center();
        QDragEnterEvent enter(centre, actions, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(target, &enter);
        QDropEvent drop(centre, actions, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(target, &drop);

        QString fields = form->Edit1->text() + "|" + form->Edit2->text();
        fields.replace(file, "{file}");
        fields.replace(folder, "{folder}");
        fields.replace(QFileInfo(folder).fileName(), "{name}");
        EXPECT_EQ(fields.toStdString(), row.fields) << row.why;
    }
}
