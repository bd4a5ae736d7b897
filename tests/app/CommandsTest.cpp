// The commands against real servers: pyftpdlib with a user and password, vsftpd for the
// anonymous log-in and the transfers.
#include "FormTestSupport.h"

#include "support/RealServers.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace apptest;
using testsupport::PyftpdlibServer;
using testsupport::VsftpdServer;

namespace {

bool EndsWithName(const QStringList& lines, const QString& name)
{
    for (const QString& line : lines)
        if (line.endsWith(QStringLiteral(" ") + name)) return true;
    return false;
}

class VsftpdFormTest : public FormTest {
protected:
    void SetUp() override
    {
        FormTest::SetUp();
        TAVOLEN_REQUIRE(VsftpdServer::Available(), "vsftpd (as root)");
        server = std::make_unique<VsftpdServer>();
        ASSERT_TRUE(server->Start());
        AllowClearText(server->Port());
    }
    void LoginAnonymously()
    {
        form->servidor->setText(QStringLiteral("127.0.0.1"));
        form->portas->setText(QString::number(server->Port()));
        form->Button9->click();
    }

    std::unique_ptr<VsftpdServer> server;
};

} // namespace

TEST_F(PyftpdlibFormTest, ConnectFillsStatusDirectoryAndLogForEveryPortNotation)
{
    testsupport::WriteFileBytes(server->Root() + "/a.txt", "a");
    testsupport::WriteFileBytes(server->Root() + "/b.bin", "bb");
    const QString port = QString::number(server->Port());
    const QString hex = QString::number(server->Port(), 16);
    // A name is looked up first ("Host Encontrado"); a dotted address is not. Enter in the
    // server or the password field connects as Conectar does.
    struct Case {
        QString host, portText;
        QLineEdit* enterIn; // nullptr: Conectar is clicked
    };
    const Case cases[] = {{"localhost", port, nullptr},
                          {"127.0.0.1", "   " + port, form->Edit6},
                          {"127.0.0.1", "$" + hex, form->servidor},
                          {"127.0.0.1", "0x" + hex, nullptr}};
    for (const auto& [host, portText, enterIn] : cases) {
        SCOPED_TRACE(portText.toStdString());
        StatusHistory history(form->StatusBar1);
        form->Memo1->setPlainText(QStringLiteral("old"));
        form->servidor->setText(host);
        form->portas->setText(portText);
        form->Edit5->setText(QStringLiteral("tester"));
        form->Edit6->setText(QStringLiteral("secret"));
        if (enterIn)
            QTest::keyClick(enterIn, Qt::Key_Return);
        else
            form->Button3->click();
        EXPECT_EQ(Status(*form), QStringLiteral("Conectado à ") + host);
        EXPECT_EQ(history.texts.contains("Host Encontrado"), host == "localhost");
        EXPECT_EQ(form->Edit4->text(), "/");
        const QStringList log = LogLines(*form);
        EXPECT_EQ(log.size(), 2);
        EXPECT_TRUE(EndsWithName(log, "a.txt") && EndsWithName(log, "b.bin"))
            << log.join('|').toStdString();

        // Connected already: the log is listed afresh, without a second log-in.
        form->Button3->click();
        EXPECT_EQ(LogLines(*form), log);
        // Another server's name: a new session with it.
        const QString other = host == "localhost" ? QStringLiteral("127.0.0.1") : "localhost";
        form->servidor->setText(other);
        form->Button3->click();
        EXPECT_EQ(Status(*form), QStringLiteral("Conectado à ") + other);
        EXPECT_EQ(LogLines(*form), log);

        // The listing goes with the session.
        form->Button1->click();
        EXPECT_EQ(Status(*form), "Desconectado");
        EXPECT_FALSE(form->VaskFTP1->Connected);
        EXPECT_TRUE(LogLines(*form).isEmpty());
        EXPECT_EQ(form->Edit4->text(), "");
    }
    EXPECT_TRUE(boxes.seen.empty());
}

TEST_F(FormTest, PortThatIsNotAWholeNumberStopsTheConnectBeforeTheUserIsSet)
{
    form->servidor->setText(QStringLiteral("127.0.0.1"));
    form->Edit5->setText(QStringLiteral("tester"));
    for (const char* text : {"", "2 1", "21a", "21 "}) {
        SCOPED_TRACE(text);
        boxes.seen.clear();
        form->portas->setText(QString::fromLatin1(text));
        form->Button3->click();
        ASSERT_EQ(boxes.seen.size(), 1u);
        EXPECT_EQ(boxes.seen[0].title, "Tavolen");
        EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
        EXPECT_EQ(boxes.seen[0].buttons, QStringList{"OK"});
        EXPECT_EQ(boxes.seen[0].text,
                  QStringLiteral("'%1' is not a valid integer value.").arg(text));
        EXPECT_EQ(form->VaskFTP1->Host, "127.0.0.1");
        EXPECT_EQ(form->VaskFTP1->Port, 21);
        EXPECT_EQ(form->VaskFTP1->UserID, "");
        EXPECT_FALSE(form->VaskFTP1->Connected);
        EXPECT_TRUE(form->Button3->isEnabled()) << "the window stays usable";
    }
}

TEST_F(PyftpdlibFormTest, ChangeDirectoryRefreshesOnSuccessAndReportsARefusal)
{
    std::filesystem::create_directory(server->Root() + "/sub");
    testsupport::WriteFileBytes(server->Root() + "/sub/c.txt", "c");
    testsupport::WriteFileBytes(server->Root() + "/top.txt", "t");
    Connect();
    ASSERT_EQ(form->Edit4->text(), "/");

    form->Edit3->setText(QStringLiteral("sub"));
    form->Button6->click();
    EXPECT_EQ(form->Edit4->text(), "/sub");
    const QStringList subLog = LogLines(*form);
    EXPECT_EQ(subLog.size(), 1);
    EXPECT_TRUE(EndsWithName(subLog, "c.txt"));
    EXPECT_TRUE(boxes.seen.empty());

    form->Edit3->setText(QStringLiteral("nada"));
    form->Button6->click();
    ASSERT_EQ(boxes.Errors().size(), 1u);
    EXPECT_TRUE(boxes.Errors()[0].text.startsWith("550 ")) << boxes.Errors()[0].text.toStdString();
    EXPECT_EQ(form->Edit4->text(), "/sub");
    EXPECT_EQ(LogLines(*form), subLog);

    // Up one level asks for ".." whatever the directory field holds.
    form->Edit3->setText(QStringLiteral("sub"));
    form->BitBtn1->click();
    EXPECT_EQ(form->Edit4->text(), "/");
    EXPECT_TRUE(EndsWithName(LogLines(*form), "top.txt"));
    EXPECT_EQ(boxes.seen.size(), 1u);

    // Enter in the directory field changes to it.
    QTest::keyClick(form->Edit3, Qt::Key_Return);
    EXPECT_EQ(form->Edit4->text(), "/sub");
    EXPECT_EQ(boxes.seen.size(), 1u);
}

TEST_F(PyftpdlibFormTest, DeleteAndMakeDirectoryUseTheRememberedNameAndCancelSendsNothing)
{
    EnteredName.clear();
    testsupport::WriteFileBytes(server->Root() + "/velho.txt", "v");
    Connect();
    const QStringList log = LogLines(*form);

    boxes.names.push_back({QStringLiteral("velho.txt"), true});
    form->Button7->click();
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[0].title, "Deletar Arquivo.");
    EXPECT_EQ(boxes.seen[0].text, "Nome do arquivo remoto");
    EXPECT_EQ(boxes.seen[0].entry, "");
    EXPECT_EQ(boxes.seen[0].maxLength, 255);
    EXPECT_EQ(boxes.seen[0].buttons, (QStringList{"OK", "Cancel"}));
    EXPECT_EQ(boxes.seen[1].title, "Tavolen");
    EXPECT_EQ(boxes.seen[1].text, "Arquivo excluido com secesso!");
    EXPECT_EQ(boxes.seen[1].icon, QMessageBox::NoIcon);
    EXPECT_EQ(boxes.seen[1].buttons, QStringList{"OK"});
    EXPECT_FALSE(std::filesystem::exists(server->Root() + "/velho.txt"));
    EXPECT_EQ(LogLines(*form), log) << "the log is not refreshed";

    // A refused MKD leaves its reply in the status line; the next one that succeeds says so
    // there and lists the directory with the new folder in it.
    boxes.seen.clear();
    std::filesystem::create_directory(server->Root() + "/existe");
    boxes.names.push_back({QStringLiteral("existe"), true});
    form->Button8->click();
    ASSERT_EQ(boxes.Errors().size(), 1u);
    EXPECT_TRUE(Status(*form).startsWith("550 ")) << Status(*form).toStdString();

    boxes.seen.clear();
    boxes.names.push_back({QStringLiteral("novo"), true});
    form->Button8->click();
    ASSERT_EQ(boxes.seen.size(), 1u) << "creating shows nothing but the prompt";
    EXPECT_EQ(boxes.seen[0].title, "Criar Diretório");
    EXPECT_EQ(boxes.seen[0].text, "Nome do diretório");
    EXPECT_EQ(boxes.seen[0].entry, "existe");
    EXPECT_EQ(boxes.seen[0].selected, "existe");
    EXPECT_TRUE(std::filesystem::is_directory(server->Root() + "/novo"));
    EXPECT_EQ(Status(*form), QStringLiteral("Diretório \"novo\" criado"));
    EXPECT_TRUE(EndsWithName(LogLines(*form), "novo")) << LogLines(*form).join('|').toStdString();

    boxes.seen.clear();
    boxes.names.push_back({QStringLiteral("outro"), false});
    form->Button8->click();
    EXPECT_EQ(boxes.seen.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(server->Root() + "/outro"));
    EXPECT_EQ(EnteredName, "novo");
}

TEST_F(VsftpdFormTest, AnonymousLoginThenTransfersAreByteExactWithProgress)
{
    std::string payload;
    while (payload.size() < 300000) payload += testsupport::AllByteValuesWithCrLf();
    testsupport::WriteFileBytes(server->Root() + "/grande.bin", payload);
    testsupport::TempDir local;
    const QString size = QString::number(payload.size());
    const QString progress = QStringLiteral("Recebidos %1 de %1 Bytes").arg(size);

    form->Edit5->setText(QStringLiteral("alguem"));
    form->Edit6->setText(QStringLiteral("segredo"));
    form->servidor->setText(QStringLiteral("127.0.0.1"));
    form->portas->setText(QString::number(server->Port()));
    form->Button9->click();
    EXPECT_EQ(Status(*form), QStringLiteral("Conectado à 127.0.0.1"));
    EXPECT_EQ(form->VaskFTP1->UserID, "anonymous");
    EXPECT_EQ(form->Edit5->text(), "alguem");
    EXPECT_EQ(form->Edit6->text(), "segredo");

    StatusHistory history(form->StatusBar1);
    form->Edit1->setText(QStringLiteral("grande.bin"));
    form->Edit2->setText(QString::fromStdString(local.File("copia.bin")));
    form->Button2->click();
    ASSERT_FALSE(history.texts.isEmpty());
    EXPECT_EQ(history.texts.first(), "Efetuando o download do arquivo grande.bin");
    EXPECT_TRUE(history.texts.contains(progress)) << history.texts.join('|').toStdString();
    EXPECT_EQ(history.texts.last(), "Donload do arquivo Concluido");
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.bin")), payload);

    // The upload's count of sent bytes is shown with the same words.
    history.texts.clear();
    form->Edit1->setText(QStringLiteral("/upload/enviado.bin"));
    form->Button4->click();
    EXPECT_TRUE(history.texts.contains(progress)) << history.texts.join('|').toStdString();
    EXPECT_EQ(testsupport::ReadFileBytes(server->WritableDir() + "/enviado.bin"), payload);
    EXPECT_TRUE(boxes.seen.empty());

    // A folder that is not there: the error names the file asked for, not the partial one.
    const std::string nowhere = local.File("nada/copia.bin");
    form->Edit1->setText(QStringLiteral("grande.bin"));
    form->Edit2->setText(QString::fromStdString(nowhere));
    form->Button2->click();
    ASSERT_EQ(boxes.Errors().size(), 1u);
    EXPECT_EQ(boxes.Errors()[0].text,
              QString::fromStdString("Cannot create file " + nowhere + "."));
}

// pyftpdlib lists UTF8 among its features: accented names are shown, fetched and stored as the
// server spells them, and the log and the directory line read them right.
TEST_F(PyftpdlibFormTest, AccentedNamesRoundTripInAUtf8Session)
{
    const std::string accented = "relat\xc3\xb3rio.txt"; // UTF-8 on the server's disk
    std::filesystem::create_directory(server->Root() + "/pa\xc3\xa7o");
    testsupport::WriteFileBytes(server->Root() + "/pa\xc3\xa7o/" + accented, "conteudo");
    testsupport::TempDir local;
    Connect();
    ASSERT_TRUE(form->VaskFTP1->Utf8());

    form->Edit3->setText(QStringLiteral("paço"));
    form->Button6->click();
    EXPECT_EQ(form->Edit4->text(), QStringLiteral("/paço"));
    EXPECT_TRUE(EndsWithName(LogLines(*form), QStringLiteral("relatório.txt")))
        << LogLines(*form).join('|').toStdString();

    form->Edit1->setText(QStringLiteral("relatório.txt"));
    form->Edit2->setText(QString::fromStdString(local.File("copia.txt")));
    form->Button2->click();
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("copia.txt")), "conteudo");

    form->Edit1->setText(QStringLiteral("ação.txt"));
    form->Button4->click();
    EXPECT_EQ(testsupport::ReadFileBytes(server->Root() + "/pa\xc3\xa7o/a\xc3\xa7\xc3\xa3o.txt"),
              "conteudo");
    EXPECT_TRUE(boxes.seen.empty()) << boxes.seen.front().text.toStdString();
}

// vsftpd does not list UTF8 in FEAT, yet names its files as they lie on its disk, in UTF-8 here:
// the listing shows it, and from then on names are shown, fetched and stored as UTF-8.
TEST_F(VsftpdFormTest, AccentedNamesOfAServerThatDoesNotSayUtf8)
{
    testsupport::WriteFileBytes(server->Root() + "/relat\xc3\xb3rio anual.pdf", "relatorio");
    testsupport::TempDir local;
    testsupport::WriteFileBytes(local.File("orçamento 2026.txt"), "orcamento");
    LoginAnonymously();
    ASSERT_FALSE(form->VaskFTP1->HasFeature("UTF8"));
    EXPECT_TRUE(form->VaskFTP1->Utf8());
    EXPECT_TRUE(EndsWithName(LogLines(*form), QStringLiteral("relatório anual.pdf")))
        << LogLines(*form).join('|').toStdString();

    form->Edit1->setText(QStringLiteral("relatório anual.pdf"));
    form->Edit2->setText(QString::fromStdString(local.File("relatório anual.pdf")));
    form->Button2->click();
    EXPECT_EQ(testsupport::ReadFileBytes(local.File("relatório anual.pdf")), "relatorio");

    form->Edit1->setText(QStringLiteral("/upload/orçamento 2026.txt"));
    form->Edit2->setText(QString::fromStdString(local.File("orçamento 2026.txt")));
    form->Button4->click();
    EXPECT_EQ(testsupport::ReadFileBytes(server->WritableDir() + "/or\xc3\xa7"
                                                                 "amento 2026.txt"),
              "orcamento");
    EXPECT_TRUE(boxes.seen.empty()) << boxes.seen.front().text.toStdString();
}

// Without UTF8 in FEAT the listings decide; a listing in plain ASCII decides nothing, and then a
// name goes out in UTF-8, as servers and clients expect today.
TEST_F(VsftpdFormTest, NamesGoOutInUtf8UnlessTheListingsShowWindows1252)
{
    struct Row {
        const char* why;
        std::string listed; // the one name in the root, as it lies on the server's disk
        std::string stored; // "açaí.txt" as the upload stores it
    };
    const Row rows[] = {
        {"no evidence either way", "plain.txt",
         "a\xc3\xa7"
         "a\xc3\xad.txt"},
        {"a listing in UTF-8", "caf\xc3\xa9.txt",
         "a\xc3\xa7"
         "a\xc3\xad.txt"},
        {"a listing in windows-1252", "caf\xe9.txt",
         "a\xe7"
         "a\xed.txt"},
    };
    testsupport::TempDir local;
    testsupport::WriteFileBytes(local.File("envio.txt"), "envio");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        testsupport::WriteFileBytes(server->Root() + "/" + row.listed, "x");
        LoginAnonymously();
        form->Edit1->setText(QStringLiteral("/upload/açaí.txt"));
        form->Edit2->setText(QString::fromStdString(local.File("envio.txt")));
        form->Button4->click();
        EXPECT_EQ(testsupport::ReadFileBytes(server->WritableDir() + "/" + row.stored), "envio");
        form->Button1->click();
        std::filesystem::remove(server->Root() + "/" + row.listed);
        std::filesystem::remove(server->WritableDir() + "/" + row.stored);
    }
    EXPECT_TRUE(boxes.seen.empty()) << boxes.seen.front().text.toStdString();
}
