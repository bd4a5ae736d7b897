// Exact conversations with a scripted server: the one automatic retry of a failed transfer, the
// buttons during an operation, Desconectar and closing the window while a server stalls, the log
// of a long listing.
#include "FormTestSupport.h"

#include "app/WireText.h"

#include "support/ScriptedFtpServer.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

using namespace apptest;
using testsupport::ScriptedFtpServer;
using namespace std::chrono_literals;

namespace {

// Log-in as the window does it, and the listing that follows (active mode, as designed).
void ScriptLogin(ScriptedFtpServer& server, const std::string& listing = "arquivo.bin\r\n")
{
    ScriptWindowLogin(server).ActiveListing(listing);
}

// Log-in, then a download of arquivo.bin of `size` bytes as the window asks for it, up to its
// RETR, whose reply is the caller's.
ScriptedFtpServer& ScriptDownloadUntilRetr(ScriptedFtpServer& server, size_t size)
{
    ScriptLogin(server);
    return server.Expect("TYPE I")
        .Reply("200 binary")
        .Expect("SIZE arquivo.bin")
        .Reply("213 " + std::to_string(size))
        .ExpectPrefix("PORT ")
        .Reply("200 PORT ok")
        .Expect("RETR arquivo.bin");
}

std::string Announce(const std::string& name, size_t size)
{
    return "150 Opening BINARY mode data connection for " + name + " (" + std::to_string(size) +
           " bytes).";
}

int CountLines(const std::vector<std::string>& lines, const std::string& prefix)
{
    return static_cast<int>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

class ScriptedFormTest : public FormTest {
protected:
    void Download(const std::string& localPath)
    {
        form->Edit1->setText(QStringLiteral("arquivo.bin"));
        form->Edit2->setText(QString::fromStdString(localPath));
        form->Button2->click();
    }

    ScriptedFtpServer server;
    testsupport::TempDir local;
    const std::string payload = testsupport::AllByteValuesWithCrLf();
};

} // namespace

TEST_F(ScriptedFormTest, DownloadCutOffMidwayIsResumedOnceIntoAByteExactFile)
{
    const size_t cut = 400;
    ASSERT_GT(payload.size(), cut + 100);
    ScriptDownloadUntilRetr(server, payload.size())
        .Reply(Announce("arquivo.bin", payload.size()))
        .ConnectBack()
        .SendData(payload.substr(0, cut))
        .Pause(300ms) // let the bytes land before the connection is torn down
        .ResetData()
        .Reply("426 Connection closed; transfer aborted.")
        .Expect("TYPE I")
        .Reply("200 binary")
        // A resume asks for the server's size first, which the file must come to.
        .Expect("SIZE arquivo.bin")
        .Reply("213 " + std::to_string(payload.size()))
        .ExpectPrefix("PORT ")
        .Reply("200 PORT ok")
        .Expect("REST " + std::to_string(cut))
        .Reply("350 Restarting")
        .Expect("RETR arquivo.bin")
        .Reply(Announce("arquivo.bin", payload.size()))
        .ConnectBack()
        .SendData(payload.substr(cut))
        .CloseData()
        .Reply("226 Transfer complete");
    server.Start();
    ConnectTo(server.Port(), "u", "p");
    ASSERT_TRUE(boxes.seen.empty());

    Download(local.File("copia.bin"));

    EXPECT_TRUE(server.Verify());
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin")), payload);
    EXPECT_FALSE(std::filesystem::exists(local.File("copia.bin.part")));
    EXPECT_EQ(Status(*form), "Donload do arquivo Concluido");
    EXPECT_EQ(CountLines(server.ReceivedLines(), "REST "), 1);
    // The first failure is still reported after the resumed download has finished.
    ASSERT_EQ(boxes.Errors().size(), 1u);
    EXPECT_TRUE(boxes.Errors()[0].text.startsWith("426 "));
}

TEST_F(ScriptedFormTest, RefusedTransfersAreNotRetried)
{
    testsupport::WriteFileBytes(local.File("copia.bin"), "conteudo antigo");
    testsupport::WriteFileBytes(local.File("envio.bin"), payload);
    ScriptLogin(server);
    server.Expect("TYPE I")
        .Reply("200 binary")
        .Expect("SIZE arquivo.bin")
        .Reply("550 No such file")
        .ExpectPrefix("PORT ")
        .Reply("200 PORT ok")
        .Expect("RETR arquivo.bin")
        .Reply("550 No such file")
        .Expect("TYPE I")
        .Reply("200 binary")
        .ExpectPrefix("PORT ")
        .Reply("200 PORT ok")
        .Expect("STOR arquivo.bin")
        .Reply("553 Not allowed")
        // Whatever the client sends after this gets no answer but an end of connection, so a
        // wrong retry fails fast instead of waiting for its reply.
        .SetAfterScript(ScriptedFtpServer::AfterScript::Close);
    server.Start();
    ConnectTo(server.Port(), "u", "p");

    Download(local.File("copia.bin"));
    ASSERT_EQ(boxes.Errors().size(), 1u);
    EXPECT_EQ(boxes.Errors()[0].text, "550 No such file");
    EXPECT_EQ(Status(*form), "550 No such file") << "not left at Efetuando...";
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin")), "conteudo antigo");

    form->Edit2->setText(QString::fromStdString(local.File("envio.bin")));
    form->Button4->click();
    ASSERT_EQ(boxes.Errors().size(), 2u);
    EXPECT_EQ(boxes.Errors()[1].text, "553 Not allowed");

    EXPECT_TRUE(server.Verify());
    EXPECT_EQ(CountLines(server.ReceivedLines(), "REST "), 0);
    EXPECT_EQ(CountLines(server.ReceivedLines(), "APPE "), 0);
}

// Behind a router the server cannot connect back to the window. Whichever way that shows, the
// listing is asked for once more in passive mode, which the rest of the session keeps, and a
// later session with the same server starts passive; each row's server is another one, which
// starts active again.
TEST_F(ScriptedFormTest, WhenActiveModeFailsTheSessionGoesPassive)
{
    using Script = std::function<void(ScriptedFtpServer&)>;
    const std::pair<const char*, Script> rows[] = {
        {"PORT refused",
         [](ScriptedFtpServer& s) { s.ExpectPrefix("PORT ").Reply("500 Illegal PORT command."); }},
        {"425 instead of the listing",
         [](ScriptedFtpServer& s) {
             s.ExpectPrefix("PORT ")
                 .Reply("200 PORT ok")
                 .Expect("LIST")
                 .Reply("425 Failed to establish connection.");
         }},
        {"no connection in time; the server says so later",
         [](ScriptedFtpServer& s) {
             s.ExpectPrefix("PORT ")
                 .Reply("200 PORT ok")
                 .Expect("LIST")
                 .Reply("150 Here comes the listing")
                 .Pause(800ms)
                 .Reply("425 Failed to establish connection.");
         }},
    };
    const QString passiveOn = QStringLiteral(
        "Modo passivo ativado: não foi possível abrir a conexão de dados no modo ativo");
    form->VaskFTP1->AcceptTimeOut = 300;
    for (const auto& [why, failActive] : rows) {
        SCOPED_TRACE(why);
        ScriptedFtpServer rowServer;
        ScriptWindowLogin(rowServer);
        failActive(rowServer);
        // Two listings of the first session, then one of the next.
        for (int listing = 0; listing < 3; ++listing) {
            if (listing == 2) {
                rowServer.Expect("QUIT").Reply("221 tchau").NextSession();
                ScriptWindowLogin(rowServer);
            }
            rowServer.PassiveListen()
                .Expect("PASV")
                .ReplyPasv()
                .Expect("LIST")
                .Reply("150 listing")
                .AcceptData()
                .SendData("arquivo.bin\r\n")
                .CloseData()
                .Reply("226 done");
        }
        rowServer.Expect("QUIT").Reply("221 tchau");
        rowServer.Start();

        ConnectTo(rowServer.Port(), "u", "p");
        EXPECT_EQ(Status(*form), passiveOn);
        EXPECT_EQ(LogLines(*form), QStringList{"arquivo.bin"});
        form->Button5->click();
        EXPECT_EQ(LogLines(*form), QStringList{"arquivo.bin"});
        form->Button1->click();
        ConnectTo(rowServer.Port(), "u", "p");
        EXPECT_EQ(LogLines(*form), QStringList{"arquivo.bin"});
        form->Button1->click();
        EXPECT_TRUE(rowServer.Verify());
        EXPECT_TRUE(boxes.seen.empty());
    }
}

// The log takes a long listing in batches. It must end up holding every line as it came, in
// order, one row each, odd line ends included.
TEST_F(ScriptedFormTest, LongListingFillsTheLogWithEveryLineInOrder)
{
    std::string listing;
    for (int i = 0; i < 4500; ++i)
        listing += "-rw-r--r-- 1 0 0 0 Jan 01 00:00 arquivo" + std::to_string(i) + ".txt\r\n";
    listing += "x\r\n\r\nends in a carriage return\r\r\nlast, without a line end";
    ScriptLogin(server, listing);
    server.Start();
    std::vector<std::string> delivered;
    const TVaskListItem shown = form->VaskFTP1->OnListItem;
    form->VaskFTP1->OnListItem = [&](const std::string& line) {
        delivered.push_back(line);
        shown(line);
    };
    ConnectTo(server.Port(), "u", "p");
    ASSERT_TRUE(boxes.seen.empty());

    EXPECT_EQ(delivered.size(), 4504u);
    ASSERT_EQ(form->Memo1->LineCount(), static_cast<qsizetype>(delivered.size()));
    for (size_t i = 0; i < delivered.size(); ++i)
        ASSERT_EQ(form->Memo1->Line(static_cast<qsizetype>(i)), app::FromWire(delivered[i])) << i;
}

TEST_F(ScriptedFormTest, ButtonsWaitForTheOperationAndDesconectarEndsAStalledListing)
{
    // The listing starts and then the server falls silent on both connections.
    ScriptWindowLogin(server)
        .ExpectPrefix("PORT ")
        .Reply("200 PORT ok")
        .Expect("LIST")
        .Reply("150 listing")
        .ConnectBack()
        .SendData("primeira linha\r\n");
    server.Start();

    QList<QPushButton*> buttons = form->findChildren<QPushButton*>();
    QStringList enabledDuring;
    WhenThen desconectar([&] { return LogLines(*form).contains("primeira linha"); },
                         [&] {
                             for (QPushButton* b : buttons)
                                 if (b->isEnabled()) enabledDuring << b->objectName();
                             // The user goes on to the next field meanwhile.
                             form->Edit1->setFocus();
                             form->Button1->click();
                         });
    ConnectTo(server.Port(), "u", "p");

    ASSERT_TRUE(desconectar.Done());
    EXPECT_EQ(enabledDuring, QStringList{"Button1"});
    EXPECT_FALSE(form->OperationRunning());
    for (QPushButton* b : buttons) EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
    EXPECT_EQ(Status(*form), "Desconectado");
    EXPECT_EQ(form->focusWidget(), form->Edit1) << "focus the user moved stays there";
    EXPECT_FALSE(form->VaskFTP1->Connected);
    EXPECT_TRUE(boxes.seen.empty()) << "a cancel the user asked for is not an error";
    EXPECT_TRUE(server.WaitUntilClosed(10s));
    EXPECT_EQ(CountLines(server.ReceivedLines(), "QUIT"), 1);
}

// The program's own loop is run here as in main(): closing the window while a download waits
// asks first; confirmed, it must end that loop with status 0, once the download has unwound,
// leaving the older copy of the file as it was and the bytes that came in the partial file.
TEST_F(ScriptedFormTest, ClosingDuringAStalledDownloadAsksThenEndsTheProgramCleanly)
{
    const size_t sent = 300;
    testsupport::WriteFileBytes(local.File("copia.bin"), "versao anterior, completa");
    ScriptDownloadUntilRetr(server, payload.size())
        .Reply(Announce("arquivo.bin", payload.size()))
        .ConnectBack()
        .SendData(payload.substr(0, sent));
    server.Start();
    ConnectTo(server.Port(), "u", "p");
    ASSERT_TRUE(boxes.seen.empty());

    QApplication::setQuitOnLastWindowClosed(true);
    boxes.choices.push_back(QStringLiteral("Sim"));
    const QString partial =
        QStringLiteral("Recebidos %1 de %2 Bytes").arg(sent).arg(payload.size());
    WhenThen closer([&] { return Status(*form) == partial; }, [&] { form->close(); });
    form->Edit1->setText(QStringLiteral("arquivo.bin"));
    form->Edit2->setText(QString::fromStdString(local.File("copia.bin")));
    QTimer::singleShot(0, form->Button2, &QPushButton::click);
    QTimer::singleShot(60000, [] { QApplication::exit(2); }); // only if the window never closes
    const int status = QApplication::exec();

    EXPECT_EQ(status, 0);
    EXPECT_TRUE(closer.Done());
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->OperationRunning());
    ASSERT_EQ(boxes.seen.size(), 1u) << "the question, and no box once the window is gone";
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Question);
    EXPECT_EQ(boxes.seen[0].title, "Tavolen");
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin")), "versao anterior, completa");
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin.part")), payload.substr(0, sent));
    form.reset();
    EXPECT_TRUE(server.WaitUntilClosed(10s));
}

// Esc stops a download and nothing else: ABOR tells the server, the session goes on to the next
// command, an older copy of the file stays as it was and the bytes that came wait in the partial
// file.
TEST_F(ScriptedFormTest, EscDuringADownloadAbortsItAndKeepsTheSessionAndTheOldFile)
{
    const size_t sent = 300;
    testsupport::WriteFileBytes(local.File("copia.bin"), "versao anterior, completa");
    ScriptDownloadUntilRetr(server, payload.size())
        // pyftpdlib's words: no size announced, the one SIZE gave is shown all the same.
        .Reply("150 File status okay. About to open data connection.")
        .ConnectBack()
        .SendData(payload.substr(0, sent))
        .Expect("ABOR")
        .Reply("426 Transfer aborted.")
        .Reply("226 ABOR successful.")
        .ActiveListing("outro.bin\r\n");
    server.Start();
    ConnectTo(server.Port(), "u", "p");
    ASSERT_TRUE(boxes.seen.empty());
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));

    const QString partial =
        QStringLiteral("Recebidos %1 de %2 Bytes").arg(sent).arg(payload.size());
    WhenThen escape([&] { return Status(*form) == partial; },
                    [&] { QTest::keyClick(form->Edit1, Qt::Key_Escape); });
    Download(local.File("copia.bin"));

    ASSERT_TRUE(escape.Done()) << Status(*form).toStdString();
    EXPECT_TRUE(boxes.seen.empty()) << "a stop the user asked for is not an error";
    EXPECT_EQ(Status(*form), "Operação cancelada");
    EXPECT_TRUE(form->VaskFTP1->Connected);
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin")), "versao anterior, completa");
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin.part")), payload.substr(0, sent));

    form->Button5->click();
    EXPECT_EQ(LogLines(*form), QStringList{"outro.bin"});
    EXPECT_TRUE(server.Verify());
    EXPECT_TRUE(boxes.seen.empty());
}

// The window gives a server 30 s to show a sign of life; the component's own default is to wait
// for good. A server that never greets ends the connect with a status line that says so.
TEST_F(ScriptedFormTest, ASilentServerEndsTheConnectWithAStatusThatSaysSo)
{
    EXPECT_EQ(TVaskFTP(nullptr).TimeOut, 0);
    EXPECT_EQ(form->VaskFTP1->TimeOut, 30000);
    form->VaskFTP1->TimeOut = 300;
    server.Start(); // accepts, and says nothing
    StatusHistory history(form->StatusBar1);
    ConnectTo(server.Port(), "u", "p");

    // Said at once, not only once the time-out is up.
    ASSERT_FALSE(history.texts.isEmpty());
    EXPECT_EQ(history.texts.first(),
              QStringLiteral("Conectando a 127.0.0.1:%1…").arg(server.Port()));
    EXPECT_EQ(Status(*form),
              QStringLiteral("Sem resposta de 127.0.0.1:%1 em 0,3 s").arg(server.Port()));
    EXPECT_FALSE(form->VaskFTP1->Connected);
    ASSERT_EQ(boxes.Errors().size(), 1u);
    EXPECT_EQ(boxes.Errors()[0].text, "Socket readln aborted.");
}

// A session that ends without the user asking says so in the status line: one whose server fell
// silent in a listing, so that the replies it owed never came to the next command, or one the
// server hung up on while the window was idle.
TEST_F(FormTest, ASessionThatEndsByItselfSaysSo)
{
    struct Row {
        const char* why;
        std::function<void(ScriptedFtpServer&)> after; // what follows the log-in's listing
        int listings;                                  // Listar Arquivos is clicked so often
        QString status;                                // %1: the server's port
    };
    const Row rows[] = {
        {"a listing the server never finishes, then the next one",
         [](ScriptedFtpServer& s) {
             s.ExpectPrefix("PORT ")
                 .Reply("200 PORT ok")
                 .Expect("LIST")
                 .Reply("150 listing")
                 .ConnectBack()
                 .SendData("primeira linha\r\n");
         },
         2, QStringLiteral("Sem resposta de 127.0.0.1:%1 em 0,5 s; desconectado")},
        {"a server that hangs up on an idle window",
         [](ScriptedFtpServer& s) { s.Pause(300ms).Reply("421 Timeout.").Close(); }, 0,
         QStringLiteral("Desconectado (sem resposta do servidor)")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        ScriptedFtpServer server;
        ScriptWindowLogin(server).ActiveListing("arquivo.bin\r\n");
        row.after(server);
        server.Start();
        ConnectTo(server.Port(), "u", "p");
        ASSERT_TRUE(form->VaskFTP1->Connected);
        form->VaskFTP1->TimeOut = 500;
        for (int listing = 0; listing < row.listings; ++listing) form->Button5->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form->VaskFTP1->Connected; }, 10000));
        EXPECT_EQ(Status(*form),
                  row.status.contains(u'%') ? row.status.arg(server.Port()) : row.status);
        EXPECT_TRUE(server.Verify());
        form->VaskFTP1->TimeOut = 30000;
    }
}

// A download whose server stops sending: the title says how long it has been silent instead of a
// speed it no longer has, and the transfer ends at the time-out with the status line saying so,
// the title back to the program's name and no attempt to resume from a server that is silent.
TEST_F(ScriptedFormTest, AStalledDownloadSaysSoAndEndsAtTheTimeOut)
{
    const size_t sent = 300;
    ScriptDownloadUntilRetr(server, payload.size())
        .Reply(Announce("arquivo.bin", payload.size()))
        .ConnectBack()
        .SendData(payload.substr(0, sent));
    server.Start();
    ConnectTo(server.Port(), "u", "p");
    ASSERT_TRUE(boxes.seen.empty());
    // Long enough for the title to tell the silence.
    form->VaskFTP1->TimeOut = 4500;
    QStringList titles;
    QObject::connect(form.get(), &QWidget::windowTitleChanged,
                     [&](const QString& title) { titles << title; });

    Download(local.File("copia.bin"));

    EXPECT_TRUE(std::any_of(titles.begin(), titles.end(), [](const QString& title) {
        return title.startsWith(QStringLiteral("Tavolen — ")) &&
               title.contains(QStringLiteral(" · sem resposta há "));
    })) << titles.join('|').toStdString();
    EXPECT_EQ(form->windowTitle(), "Tavolen");
    EXPECT_EQ(Status(*form),
              QStringLiteral("Sem resposta de 127.0.0.1:%1 em 4,5 s").arg(server.Port()));
    ASSERT_EQ(boxes.Errors().size(), 1u);
    EXPECT_NE(boxes.Errors()[0].text, "Not Connected.");
    EXPECT_EQ(CountLines(server.ReceivedLines(), "REST "), 0);
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin.part")), payload.substr(0, sent));
}

// Dowload with the partial file of an earlier attempt beside the target asks once whether to
// continue it, but only when the server's file has not changed since: not shorter than the part,
// not modified after it was written.
TEST_F(ScriptedFormTest, APartialDownloadIsContinuedWhenTheUserSaysSo)
{
    const size_t kept = 300;
    struct Row {
        const char* why;
        std::string mdtm;   // the server's answer to MDTM
        size_t serverSize;  // what SIZE says
        const char* answer; // the button clicked; nullptr: no question is expected
        bool resumed;
    };
    const Row rows[] = {
        {"unchanged, Retomar", "213 20200101000000", payload.size(), "Retomar", true},
        {"unchanged, Recomeçar", "213 20200101000000", payload.size(), "Recomeçar", false},
        {"modified after the part was written", "213 20991231000000", payload.size(), nullptr,
         false},
        {"shorter than the part", "213 20200101000000", 100, nullptr, false},
        {"a server without MDTM: the size alone", "502 Not implemented", payload.size(), "Retomar",
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        ScriptedFtpServer rowServer;
        ScriptLogin(rowServer);
        rowServer.Expect("TYPE I")
            .Reply("200 binary")
            .Expect("SIZE arquivo.bin")
            .Reply("213 " + std::to_string(row.serverSize))
            .Expect("MDTM arquivo.bin")
            .Reply(row.mdtm)
            .Expect("TYPE I")
            .Reply("200 binary")
            .Expect("SIZE arquivo.bin")
            .Reply("213 " + std::to_string(payload.size()))
            .ExpectPrefix("PORT ")
            .Reply("200 PORT ok");
        if (row.resumed) rowServer.Expect("REST " + std::to_string(kept)).Reply("350 Restarting");
        rowServer.Expect("RETR arquivo.bin")
            .Reply(Announce("arquivo.bin", payload.size()))
            .ConnectBack()
            .SendData(row.resumed ? payload.substr(kept) : payload)
            .CloseData()
            .Reply("226 Transfer complete");
        // A whole download takes the server's time.
        if (!row.resumed) rowServer.Expect("MDTM arquivo.bin").Reply(row.mdtm);
        rowServer.Expect("QUIT").Reply("221 tchau");
        rowServer.Start();
        testsupport::WriteFileBytes(local.File("copia.bin.part"), payload.substr(0, kept));
        ConnectTo(rowServer.Port(), "u", "p");
        boxes.seen.clear();
        if (row.answer) boxes.choices.push_back(QString::fromUtf8(row.answer));

        Download(local.File("copia.bin"));

        ASSERT_EQ(boxes.seen.size(), row.answer ? 1u : 0u);
        if (row.answer) {
            EXPECT_TRUE(boxes.seen[0].text.startsWith("Retomar o download anterior?"));
            EXPECT_EQ(boxes.seen[0].buttons, (QStringList{"Retomar", "Recomeçar"}));
        }
        EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin")), payload);
        EXPECT_FALSE(std::filesystem::exists(local.File("copia.bin.part")));
        form->Button1->click();
        EXPECT_TRUE(rowServer.Verify());
        std::filesystem::remove(local.File("copia.bin"));
    }
}
