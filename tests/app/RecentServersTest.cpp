// The servers the window remembers: the file as a table of cases, and the window that offers
// them in the server field. Without a keyring (these tests see no session bus) nothing about
// passwords is asked, and no password reaches a file.
#include "FormTestSupport.h"

#include "app/RecentServers.h"
#include "app/RememberedLogins.h"
#include "support/TestUtil.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringListModel>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using app::RecentServer;
using app::RecentServers;

QStringList Servers(const std::vector<RecentServer>& entries)
{
    QStringList servers;
    for (const RecentServer& entry : entries) servers << entry.server;
    return servers;
}

TEST(RecentServers, MostRecentFirstOnePerServerAtMostTwenty)
{
    QStringList twenty, newAndNineteen{"new"};
    for (int i = 0; i < RecentServers::kMaximum; ++i) {
        twenty << QStringLiteral("s%1\t21\tu").arg(i);
        if (i < RecentServers::kMaximum - 1) newAndNineteen << QStringLiteral("s%1").arg(i);
    }
    struct Row {
        const char* what;
        QStringList before; // the file's lines; the file is missing when empty
        RecentServer remembered;
        QStringList servers; // as read afterwards
    };
    const Row rows[] = {
        {"first", {}, {"ftp.exemplo.com.br", "21", "ana"}, {"ftp.exemplo.com.br"}},
        {"to the front", {"a\t21\tx", "b\t21\ty"}, {"b", "2121", "z"}, {"b", "a"}},
        {"same server in another case",
         {"a\t21\tx", "FTP.B\t21\ty"},
         {"ftp.b", "21", "y"},
         {"ftp.b", "a"}},
        {"the oldest goes", twenty, {"new", "21", "u"}, newAndNineteen},
        {"lines that are no entry", {"junk", "\t21\tx", "c\t21\tw"}, {"d", "21", "v"}, {"d", "c"}},
        {"a tab in the user is not kept", {"c\t21\tw"}, {"d", "21", "v\tx"}, {"c"}},
        {"no server", {"c\t21\tw"}, {"  ", "21", "v"}, {"c"}},
        {"a URL keeps its scheme", {}, {" ftpes://h:990 ", "990", "u"}, {"ftpes://h:990"}},
    };
    for (const Row& row : rows) {
        testsupport::TempDir dir;
        const QString path = QString::fromStdString(dir.File("tavolen/servidores-recentes"));
        if (!row.before.isEmpty()) {
            QDir().mkpath(QString::fromStdString(dir.File("tavolen")));
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write((row.before.join(u'\n') + u'\n').toUtf8());
        }
        const RecentServers recent(path);
        recent.Remember(row.remembered);
        EXPECT_EQ(Servers(recent.Read()), row.servers) << row.what;
    }
}

TEST(RecentServers, FileIsPrivateAndKeepsPortAndUser)
{
    testsupport::TempDir dir;
    const QString path = QString::fromStdString(dir.File("tavolen/servidores-recentes"));
    const RecentServers recent(path);
    ASSERT_EQ(recent.Remember({"h", "2121", "ana maria"}), QString());
    struct stat status {};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(recent.Find("H"), (RecentServer{"h", "2121", "ana maria"}));
    EXPECT_FALSE(recent.Find("other"));
    // A file that cannot be read is left alone.
    const QString blocked = QString::fromStdString(dir.File("blocked"));
    QDir().mkpath(blocked);
    EXPECT_NE(RecentServers(blocked).Remember({"h", "21", "u"}), QString());
    EXPECT_TRUE(QFileInfo(blocked).isDir());
}

// Whether any file under `root` holds `text`.
bool AnyFileHolds(const QString& root, const QByteArray& text)
{
    QDirIterator files(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text)) return true;
    }
    return false;
}

using apptest::PyftpdlibFormTest;
using apptest::Status;

TEST_F(PyftpdlibFormTest, ServerFieldOffersServersLoggedInToAndFillsPortAndUser)
{
    // A login the server refuses is not remembered; the one that works is, without a word
    // about the password when there is no keyring.
    ConnectTo(server->Port(), "tester", "wrong");
    ASSERT_EQ(boxes.Errors().size(), 1u);
    auto* logins = form->findChild<app::RememberedLogins*>();
    ASSERT_NE(logins, nullptr);
    // (The port is this test's server's own, whatever other tests left in the file.)
    const auto refused = RecentServers().Find("127.0.0.1");
    EXPECT_FALSE(refused && refused->port == QString::number(server->Port()));
    Connect();
    EXPECT_EQ(Status(*form), QStringLiteral("Conectado à 127.0.0.1"));
    form->Button1->click();
    EXPECT_EQ(logins->Keeper().State(), app::PasswordKeeper::Service::Absent);
    for (const apptest::SeenBox& box : boxes.seen)
        EXPECT_FALSE(box.buttons.contains("Guardar")) << box.text.toStdString();
    EXPECT_FALSE(AnyFileHolds(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")), "secret"));

    // The next start: the first letters offer it, and choosing it fills port and user.
    form = std::make_unique<TForm1>();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->portas->setText("21");
    form->servidor->setFocus();
    QTest::keyClicks(form->servidor, "127.0");
    QCompleter* completer = form->servidor->completer();
    ASSERT_NE(completer, nullptr);
    ASSERT_TRUE(completer->popup()->isVisible());
    EXPECT_EQ(completer->currentCompletion(), "127.0.0.1");
    completer->popup()->setCurrentIndex(completer->completionModel()->index(0, 0));
    QTest::keyClick(completer->popup(), Qt::Key_Return);
    EXPECT_EQ(form->servidor->text(), "127.0.0.1");
    EXPECT_EQ(form->portas->text(), QString::number(server->Port()));
    EXPECT_EQ(form->Edit5->text(), "tester");
    EXPECT_EQ(form->Edit6->text(), "");
    // The Enter that chose it stays in the list: no connect with a password not yet filled in.
    EXPECT_FALSE(form->VaskFTP1->Connected);
    EXPECT_EQ(boxes.Errors().size(), 1u);
}

} // namespace
