// Whole folders through the window against pyftpdlib: down and up with awkward names, the title
// while bytes move and back at the end, the count and the summary in the status line, and the
// one question about files already at the target.
#include "FormTestSupport.h"

#include "app/OverwriteBox.h"
#include "support/RealServers.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace apptest;
using testsupport::PyftpdlibServer;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

namespace fs = std::filesystem;

// Below the root of either side: name and bytes.
const std::vector<std::pair<std::string, std::string>> kFiles = {
    {"a b.txt", "com espaço"},
    {"a\xc3\xa7\xc3\xa3o.txt", "acentos"},
    {"sub dir/vazio.bin", ""},
    {"sub dir/grande.bin", std::string(3 << 20, 'x')},
};

void MakeTree(const std::string& root)
{
    fs::create_directories(root + "/sub dir");
    fs::create_directories(root + "/vazia");
    for (const auto& [name, bytes] : kFiles) WriteFileBytes(root + "/" + name, bytes);
}

void ExpectTree(const std::string& root)
{
    for (const auto& [name, bytes] : kFiles)
        EXPECT_EQ(ReadFileBytes(root + "/" + name), bytes) << root << "/" << name;
    EXPECT_TRUE(fs::is_directory(root + "/vazia")) << root;
}

class FolderTransferTest : public PyftpdlibFormTest {
protected:
    void SetUp() override
    {
        PyftpdlibFormTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        MakeTree(server->Root() + "/pasta dados");
        Connect();
        QObject::connect(form.get(), &QWidget::windowTitleChanged,
                         [this](const QString& title) { titles << title; });
    }
    void TearDown() override { app::SetOverwriteAnswer(nullptr); }

    void Download(const QString& remote, const std::string& local)
    {
        form->Edit1->setText(remote);
        form->Edit2->setText(QString::fromStdString(local));
        form->Button2->click();
    }

    testsupport::TempDir local;
    QStringList titles;
};

TEST_F(FolderTransferTest, DownloadsAndUploadsATreeWithTheTitleAndStatusFollowing)
{
    StatusHistory history(form->StatusBar1);
    Download(QStringLiteral("pasta dados"), local.File("baixada"));
    ExpectTree(local.File("baixada"));
    // A name with spaces reads as one name.
    EXPECT_TRUE(
        history.texts.contains(QStringLiteral("Efetuando o download da pasta \"pasta dados\"")))
        << history.texts.join('|').toStdString();
    EXPECT_TRUE(history.texts.contains(QStringLiteral("0 de 4 arquivos concluídos")))
        << history.texts.join('|').toStdString();
    EXPECT_TRUE(
        Status(*form).startsWith(QStringLiteral("Pasta transferida: 4 arquivos, 3,1 MB em ")))
        << Status(*form).toStdString();
    ASSERT_FALSE(titles.isEmpty());
    EXPECT_TRUE(titles.first().startsWith(QStringLiteral("Tavolen — ")) &&
                titles.first().contains(u'%'))
        << titles.join('|').toStdString();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tavolen"));

    // Up again under another name, from the folder just fetched.
    titles.clear();
    form->Edit1->setText(QStringLiteral("enviada"));
    form->Edit2->setText(QString::fromStdString(local.File("baixada")));
    form->Button4->click();
    ExpectTree(server->Root() + "/enviada");
    EXPECT_TRUE(Status(*form).startsWith(QStringLiteral("Pasta transferida: 4 arquivos")))
        << Status(*form).toStdString();
    EXPECT_TRUE(titles.size() >= 2 && titles.first().contains(u'%'))
        << titles.join('|').toStdString();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tavolen"));

    // A single file shows its progress in the title too, and its status texts are those of before.
    titles.clear();
    Download(QStringLiteral("pasta dados/sub dir/grande.bin"), local.File("um.bin"));
    EXPECT_EQ(ReadFileBytes(local.File("um.bin")).size(), 3U << 20);
    EXPECT_EQ(Status(*form), QStringLiteral("Donload do arquivo Concluido"));
    EXPECT_TRUE(titles.size() >= 2 && titles.first().startsWith(QStringLiteral("Tavolen — ")))
        << titles.join('|').toStdString();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tavolen"));
    EXPECT_TRUE(boxes.seen.empty()) << boxes.seen.front().text.toStdString();
}

// Files already at the target: one question for the run, whose answer holds for all of them.
TEST_F(FolderTransferTest, FilesAlreadyThereAreAskedAboutOnce)
{
    const std::string target = local.File("baixada");
    MakeTree(target);
    WriteFileBytes(target + "/a b.txt", "antigo");
    std::vector<size_t> asked;
    struct Row {
        std::optional<transfer::OverwritePolicy> answer;
        std::string aBTxt; // what the changed file holds afterwards
        QString summary;   // how the status line begins
        const char* before =
            nullptr; // what the file holds first, when not what the row before left
    };
    const Row rows[] = {
        {transfer::OverwritePolicy::Skip, "antigo",
         QStringLiteral("Pasta transferida: 0 arquivos, 0 B em 0:0")},
        {std::nullopt, "antigo", QStringLiteral("Transferência da pasta cancelada")},
        {transfer::OverwritePolicy::IfDifferent, "com espaço",
         QStringLiteral("Pasta transferida: 1 arquivo, ")},
        // "Retomar" goes on from the three bytes there, and counts only the eight that moved.
        {transfer::OverwritePolicy::Resume, "com espaço",
         QStringLiteral("Pasta transferida: 1 arquivo, 8 B em "), "com"},
    };
    for (const Row& row : rows) {
        if (row.before) WriteFileBytes(target + "/a b.txt", row.before);
        asked.clear();
        app::SetOverwriteAnswer([&asked, &row](size_t existing) {
            asked.push_back(existing);
            return row.answer;
        });
        Download(QStringLiteral("/pasta dados"), target);
        EXPECT_EQ(asked, std::vector<size_t>{4});
        EXPECT_EQ(ReadFileBytes(target + "/a b.txt"), row.aBTxt);
        EXPECT_TRUE(Status(*form).startsWith(row.summary)) << Status(*form).toStdString();
    }
    EXPECT_TRUE(boxes.seen.empty()) << boxes.seen.front().text.toStdString();

    // The box itself, answered by its button.
    app::SetOverwriteAnswer(nullptr);
    WriteFileBytes(target + "/a b.txt", "antigo");
    boxes.choices.push_back(QStringLiteral("Sobrescrever"));
    Download(QStringLiteral("pasta dados"), target);
    ASSERT_EQ(boxes.seen.size(), 1U);
    EXPECT_EQ(boxes.seen[0].text, app::OverwriteBoxText(4));
    EXPECT_EQ(boxes.seen[0].buttons, (QStringList{"Sobrescrever", "Retomar", "Pular",
                                                  "Somente se diferente", "Cancelar"}));
    ExpectTree(target);
}

// Closing the window during a folder asks first, as for a file; "Não" lets the run finish.
TEST_F(FolderTransferTest, ClosingDuringARunAsksFirst)
{
    for (int i = 0; i < 4; ++i)
        WriteFileBytes(server->Root() + "/pasta dados/grande" + std::to_string(i) + ".bin",
                       std::string(16 << 20, 'y'));
    boxes.choices.push_back(QStringLiteral("Não"));
    const WhenThen close([this] { return form->windowTitle().contains(u'%'); },
                         [this] { form->close(); });
    Download(QStringLiteral("pasta dados"), local.File("baixada"));
    EXPECT_TRUE(close.Done());
    ASSERT_EQ(boxes.seen.size(), 1U);
    EXPECT_EQ(boxes.seen[0].text,
              QStringLiteral("Uma transferência está em andamento. Cancelar a transferência e "
                             "fechar?"));
    EXPECT_TRUE(form->isVisible());
    ExpectTree(local.File("baixada"));
    EXPECT_EQ(ReadFileBytes(local.File("baixada/grande3.bin")).size(), 16U << 20);
}

// Desconectar during a folder stops every session of it and ends the window's session.
TEST_F(FolderTransferTest, DesconectarStopsTheWholeRun)
{
    for (int i = 0; i < 8; ++i)
        WriteFileBytes(server->Root() + "/pasta dados/grande" + std::to_string(i) + ".bin",
                       std::string(16 << 20, 'y'));
    const WhenThen stop([this] { return form->windowTitle().contains(u'%'); },
                        [this] { form->Button1->click(); });
    Download(QStringLiteral("pasta dados"), local.File("baixada"));
    EXPECT_TRUE(stop.Done());
    int whole = 0;
    for (int i = 0; i < 8; ++i) {
        const std::string path = local.File("baixada/grande" + std::to_string(i) + ".bin");
        std::error_code ignored;
        if (fs::file_size(path, ignored) == 16U << 20) ++whole;
    }
    EXPECT_LT(whole, 8);
    EXPECT_FALSE(form->VaskFTP1->Connected);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tavolen"));
    EXPECT_TRUE(form->Button2->isEnabled());
    EXPECT_TRUE(boxes.Errors().empty()) << boxes.Errors().front().text.toStdString();
}

} // namespace

// "Somente se diferente" on a server that lists with LIST only (vsftpd, whose times lack
// seconds): the second download of a folder moves no file.
TEST_F(FormTest, OnlyIfDifferentMovesNothingTheSecondTimeOnAListOnlyServer)
{
    TAVOLEN_REQUIRE(testsupport::VsftpdServer::Available(), "vsftpd");
    testsupport::VsftpdServer server;
    ASSERT_TRUE(server.Start());
    MakeTree(server.Root() + "/pasta dados");
    ConnectTo(server.Port(), QString::fromStdString(server.User()),
              QString::fromStdString(server.Password()));
    testsupport::TempDir local;
    app::SetOverwriteAnswer([](size_t) { return transfer::OverwritePolicy::IfDifferent; });
    for (const char* summary :
         {"Pasta transferida: 4 arquivos, ", "Pasta transferida: 0 arquivos, 0 B em 0:0"}) {
        // No MLST to tell: the slash says that it is a folder.
        form->Edit1->setText(QStringLiteral("pasta dados/"));
        form->Edit2->setText(QString::fromStdString(local.File("baixada")));
        form->Button2->click();
        EXPECT_TRUE(Status(*form).startsWith(QString::fromUtf8(summary)))
            << Status(*form).toStdString();
    }
    EXPECT_TRUE(Status(*form).endsWith(QStringLiteral(", 4 pulados")))
        << Status(*form).toStdString();
    ExpectTree(local.File("baixada"));
    app::SetOverwriteAnswer(nullptr);
    EXPECT_TRUE(boxes.seen.empty()) << boxes.seen.front().text.toStdString();
}
