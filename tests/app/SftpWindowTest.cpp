// The window over SFTP against a real sshd: the host key asked about, trusted or refused, and
// the commands run through the protocol-neutral session.
#include "FormTestSupport.h"

#include "app/HostKeyBox.h"
#include "app/ServerAddress.h"
#include "app/SessionDriver.h"
#include "sftp/TestSshd.h"
#include "support/TestUtil.h"

#include <QAction>
#include <QPointer>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

using namespace apptest;
using sftptest::TestSshd;

namespace {

TEST(ServerAddress, SftpPortIsSshsUnlessTheFieldNamesAnother)
{
    const struct PortRow {
        const char* typed;
        const char* portField;
        const char* port;
    } rows[] = {
        {"sftp://servidor", "21", "22"},
        {"sftp://servidor", "", "22"},
        {"sftp://servidor", "2222", "2222"},
        {"SFTP://ana@servidor:2200/home", "21", "2200"},
        {"servidor", "21", "21"},
        {"ftp://servidor", "", ""},
    };
    for (const PortRow& row : rows) {
        SCOPED_TRACE(std::string(row.typed) + " / " + row.portField);
        const app::ServerAddress address = app::ParseServerAddress(QString::fromUtf8(row.typed));
        EXPECT_EQ(address.sftp,
                  QString::fromUtf8(row.typed).startsWith(u"sftp", Qt::CaseInsensitive));
        EXPECT_EQ(app::PortText(address, QString::fromUtf8(row.portField)),
                  QString::fromUtf8(row.port));
        if (address.sftp) {
            EXPECT_EQ(address.host, QStringLiteral("servidor"));
        }
    }
}

// The log's lines are read back as a double-click reads them: the name and the kind.
TEST(SessionListing, LinesReadBackAsTheEntries)
{
    using Kind = transfer::RemoteEntry::Kind;
    const int64_t recent = static_cast<int64_t>(std::time(nullptr)) - 3600;
    const transfer::RemoteEntry entries[] = {
        {"dados.bin", Kind::File, 1234, recent, {}},
        {"pasta com  espaços", Kind::Directory, 4096, 86400, {}},
        {"sem hora", Kind::File, std::nullopt, std::nullopt, {}},
        {"atalho", Kind::Link, 7, recent, {}},
        {" a b ", Kind::Other, 1ULL << 62, 0, {}},
    };
    for (const transfer::RemoteEntry& entry : entries) {
        const std::string line = app::ListingLine(entry);
        SCOPED_TRACE(line);
        const std::optional<app::ListedEntry> read = app::ReadListingLine(line);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->name, entry.name);
        EXPECT_EQ(read->kind, entry.kind);
        if (entry.size) {
            EXPECT_NE(line.find(" " + std::to_string(*entry.size) + " "), std::string::npos);
        }
    }
}

QAbstractButton* ButtonOf(QMessageBox* box, const char* text)
{
    for (QAbstractButton* button : box->buttons())
        if (button->text() == QString::fromUtf8(text)) return button;
    ADD_FAILURE() << "no button " << text;
    return box->buttons().front();
}

// The question's answers as the user can give them: its buttons, Esc and closing the box.
TEST(HostKeyBox, EveryWayOutAnswersOnceAndCancelarIsTheDefault)
{
    const struct Row {
        const char* name;
        std::function<void(QMessageBox*)> act;
        sftp::HostKeyDecision expected;
    } rows[] = {
        {"Confiar sempre", [](QMessageBox* box) { ButtonOf(box, "Confiar sempre")->click(); },
         sftp::HostKeyDecision::TrustAlways},
        {"Confiar uma vez", [](QMessageBox* box) { ButtonOf(box, "Confiar uma vez")->click(); },
         sftp::HostKeyDecision::TrustOnce},
        {"Enter", [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); },
         sftp::HostKeyDecision::Cancel},
        {"Esc", [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); },
         sftp::HostKeyDecision::Cancel},
        {"closed", [](QMessageBox* box) { box->close(); }, sftp::HostKeyDecision::Cancel},
    };
    const QString fingerprint =
        QStringLiteral("SHA256:q6Ae1Zw5Pl9nCU0Kz3aWZxPwqsJTV1oU0Zr5Z1dX9tE");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QWidget parent;
        parent.show();
        std::vector<sftp::HostKeyDecision> answers;
        const QPointer<QMessageBox> box = app::AskAboutHostKey(
            &parent, QStringLiteral("servidor:22"), {"ssh-ed25519", fingerprint.toStdString(), ""},
            [&answers](sftp::HostKeyDecision decision) { answers.push_back(decision); });
        ASSERT_TRUE(box);
        EXPECT_EQ(box->buttons().size(), 3);
        EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Cancelar"));
        for (const QString& part : {fingerprint, QStringLiteral("ssh-ed25519")})
            EXPECT_TRUE(box->text().contains(part)) << part.toStdString();
        row.act(box);
        QTest::qWait(0);
        EXPECT_EQ(answers, std::vector<sftp::HostKeyDecision>{row.expected});
    }
}

// The window with an sshd of its own, and a home of its own: the login's key is ~/.ssh/id_ed25519,
// known hosts ~/.ssh/known_hosts, the trust file under XDG_CONFIG_HOME. No agent is asked.
class SftpWindow : public FormTest {
protected:
    void SetUp() override
    {
        TAVOLEN_REQUIRE(TestSshd::Available(), "sshd and ssh-keygen (openssh-server)");
        sshd_.StartSftpInRoot();
        ASSERT_TRUE(sshd_.Start());
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "SSH_AUTH_SOCK"})
            saved_.emplace_back(name, qEnvironmentVariableIsSet(name)
                                          ? std::optional<QByteArray>(qgetenv(name))
                                          : std::nullopt);
        qputenv("HOME", QByteArray::fromStdString(home_.Path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(home_.File("config")));
        qunsetenv("SSH_AUTH_SOCK");
        std::filesystem::create_directories(home_.File(".ssh"));
        std::filesystem::copy_file(sshd_.ClientKey(), home_.File(".ssh/id_ed25519"));
        FormTest::SetUp();
    }
    void TearDown() override
    {
        form.reset();
        for (const auto& [name, value] : saved_)
            if (value)
                qputenv(name, *value);
            else
                qunsetenv(name);
    }

    void KnowHost(const std::string& line)
    {
        testsupport::WriteFileBytes(home_.File(".ssh/known_hosts"), line);
    }
    std::string TrustFile() const { return home_.File("config/tavolen/known_hosts"); }

    void Connect()
    {
        form->servidor->setText(QStringLiteral("sftp://127.0.0.1"));
        form->portas->setText(QString::number(sshd_.Port()));
        form->Edit5->setText(QString::fromStdString(sshd_.User()));
        form->Edit6->clear();
        form->Button3->click();
    }
    // Connected to a host ~/.ssh/known_hosts already knows.
    bool ConnectKnown()
    {
        KnowHost(sshd_.KnownHostsLine());
        Connect();
        return Padlocked();
    }
    // The remote name and the local path the next transfer takes.
    void Names(const char* remote, const std::string& local)
    {
        form->Edit1->setText(QString::fromUtf8(remote));
        form->Edit2->setText(QString::fromStdString(local));
    }
    QString LogText() const { return LogLines(*form).join(u'\n'); }
    bool Padlocked() const { return form->servidor->actions().size() == 1; }
    QString PadlockTip() const
    {
        return Padlocked() ? form->servidor->actions().front()->toolTip() : QString();
    }
    std::string Remote(const std::string& name) const { return sshd_.Root() + "/" + name; }

    TestSshd sshd_;
    testsupport::TempDir home_{"tavolen-sftp-home"};
    testsupport::TempDir local_{"tavolen-sftp-local"};
    std::vector<std::pair<const char*, std::optional<QByteArray>>> saved_;
};

TEST_F(SftpWindow, HostKeysKnownAskedAboutOrChanged)
{
    enum class Known { UsersFile, Nowhere, Changed };
    const struct Row {
        const char* name;
        Known known;
        const char* answer; // the question's button; none: no question expected
        bool connects;
        bool kept; // the key is in the trust file afterwards
        const char* status;
    } rows[] = {
        {"known from ~/.ssh/known_hosts", Known::UsersFile, nullptr, true, false, "Conectado à "},
        {"unknown, Cancelar", Known::Nowhere, "Cancelar", false, false,
         "Conexão cancelada: a chave do servidor não foi aceita; nada foi enviado"},
        {"unknown, Confiar uma vez", Known::Nowhere, "Confiar uma vez", true, false,
         "Conectado à "},
        {"unknown, Confiar sempre", Known::Nowhere, "Confiar sempre", true, true, "Conectado à "},
        {"changed", Known::Changed, nullptr, false, false,
         "Conexão recusada: a chave do servidor mudou"},
    };
    testsupport::WriteFileBytes(Remote("a.txt"), "a");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove(TrustFile());
        KnowHost(row.known == Known::UsersFile ? sshd_.KnownHostsLine()
                 : row.known == Known::Changed ? sshd_.OtherKeyKnownHostsLine()
                                               : std::string());
        boxes.seen.clear();
        if (row.answer) boxes.choices = {QString::fromUtf8(row.answer)};
        Connect();
        EXPECT_TRUE(Status(*form).startsWith(QString::fromUtf8(row.status)))
            << Status(*form).toStdString();
        EXPECT_EQ(Padlocked(), row.connects);
        if (row.connects) {
            EXPECT_TRUE(PadlockTip().startsWith(QStringLiteral("Conexão criptografada (SSH, ")))
                << PadlockTip().toStdString();
            EXPECT_TRUE(LogText().endsWith(QStringLiteral(" a.txt"))) << LogText().toStdString();
        } else {
            EXPECT_TRUE(LogLines(*form).isEmpty());
        }
        const QString fingerprint = QString::fromStdString(sshd_.HostKeyFingerprint());
        if (row.answer) {
            ASSERT_EQ(boxes.seen.size(), 1u);
            for (const QString& part : {fingerprint, QStringLiteral("ssh-ed25519")})
                EXPECT_TRUE(boxes.seen[0].text.contains(part)) << part.toStdString();
            EXPECT_EQ(boxes.seen[0].buttons,
                      (QStringList{"Confiar sempre", "Confiar uma vez", "Cancelar"}));
        } else if (row.known == Known::Changed) {
            // The warning, with nothing to click but its OK.
            ASSERT_EQ(boxes.Errors().size(), 1u);
            const SeenBox warning = boxes.Errors()[0];
            const QString other = QString::fromStdString(sshd_.OtherKeyFingerprint());
            for (const QString& part : {QStringLiteral("Chave conhecida: ") + other,
                                        QStringLiteral("Chave apresentada agora: ") + fingerprint})
                EXPECT_TRUE(warning.text.contains(part)) << warning.text.toStdString();
            EXPECT_EQ(warning.buttons.size(), 1);
        } else {
            EXPECT_TRUE(boxes.seen.empty());
        }
        EXPECT_EQ(std::filesystem::exists(TrustFile()) &&
                      testsupport::ReadFileBytes(TrustFile()).find(sshd_.HostKeyLine()) !=
                          std::string::npos,
                  row.kept);
        form->Button1->click();
        EXPECT_FALSE(Padlocked());
    }
}

TEST_F(SftpWindow, ListsDownloadsUploadsAndMakesDirectoriesByteExact)
{
    const std::string bytes = testsupport::AllByteValuesWithCrLf() + std::string(300000, 'x');
    testsupport::WriteFileBytes(Remote("baixar.bin"), bytes);
    ASSERT_TRUE(ConnectKnown()) << Status(*form).toStdString();
    const QStringList listed = LogLines(*form);
    ASSERT_EQ(listed.size(), 1);
    EXPECT_TRUE(listed[0].startsWith(u'-'));
    EXPECT_TRUE(listed[0].contains(QString::number(bytes.size()) + u' '));
    EXPECT_TRUE(listed[0].endsWith(QStringLiteral(" baixar.bin")));

    Names("baixar.bin", local_.File("baixado.bin"));
    StatusHistory history(form->StatusBar1);
    form->Button2->click();
    EXPECT_EQ(Status(*form), QStringLiteral("Donload do arquivo Concluido"));
    EXPECT_EQ(testsupport::ReadFileBytes(local_.File("baixado.bin")), bytes);
    EXPECT_TRUE(
        history.texts.contains(QStringLiteral("Recebidos %1 de %1 Bytes").arg(bytes.size())));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tavolen"));

    const std::string sent = bytes + "fim";
    testsupport::WriteFileBytes(local_.File("enviar.bin"), sent);
    Names("enviado.bin", local_.File("enviar.bin"));
    form->Button4->click();
    EXPECT_EQ(Status(*form), QStringLiteral("Upload do arquivo Concluido"));
    EXPECT_EQ(testsupport::ReadFileBytes(Remote("enviado.bin")), sent);

    boxes.names.push_back({QStringLiteral("nova pasta"), true});
    form->Button8->click();
    EXPECT_EQ(Status(*form), QStringLiteral("Diretório \"nova pasta\" criado"));
    EXPECT_TRUE(std::filesystem::is_directory(Remote("nova pasta")));
    const QStringList after = LogLines(*form);
    ASSERT_EQ(after.size(), 3);
    EXPECT_TRUE(after[2].startsWith(u'd'));
    EXPECT_TRUE(after[2].endsWith(QStringLiteral(" nova pasta")));

    form->Button5->click();
    EXPECT_EQ(LogLines(*form), after);

    // Into the new directory and back up, the directory line and the log following.
    const QString root = QString::fromStdString(std::filesystem::canonical(sshd_.Root()).string());
    EXPECT_EQ(form->Edit4->text(), root);
    form->Edit3->setText(QStringLiteral("nova pasta"));
    form->Button6->click();
    EXPECT_EQ(form->Edit4->text(), root + QStringLiteral("/nova pasta"));
    EXPECT_TRUE(LogLines(*form).isEmpty());
    form->Edit1->setText(QStringLiteral("dentro.bin"));
    form->Button4->click();
    EXPECT_EQ(testsupport::ReadFileBytes(Remote("nova pasta/dentro.bin")), sent);
    form->BitBtn1->click();
    EXPECT_EQ(form->Edit4->text(), root);
    EXPECT_EQ(LogLines(*form), after);

    boxes.names.push_back({QStringLiteral("enviado.bin"), true});
    form->Button7->click();
    EXPECT_FALSE(std::filesystem::exists(Remote("enviado.bin")));
    EXPECT_EQ(boxes.seen.back().text, QStringLiteral("Arquivo excluido com secesso!"));
    EXPECT_TRUE(boxes.Errors().empty());
}

TEST_F(SftpWindow, EscapeDuringADownloadCancelsItAndTheSessionStays)
{
    testsupport::WriteFileBytes(Remote("grande.bin"), std::string(64 * 1024 * 1024, 'z'));
    ASSERT_TRUE(ConnectKnown());
    Names("grande.bin", local_.File("grande.bin"));
    WhenThen escape([&] { return form->StatusBar1->currentMessage().startsWith("Recebidos"); },
                    [&] { QTest::keyClick(form.get(), Qt::Key_Escape); });
    form->Button2->click();
    ASSERT_TRUE(escape.Done());
    EXPECT_EQ(Status(*form), QStringLiteral("Operação cancelada"));
    EXPECT_FALSE(std::filesystem::exists(local_.File("grande.bin")));
    EXPECT_TRUE(boxes.Errors().empty());
    // The session goes on.
    form->Button5->click();
    EXPECT_TRUE(LogText().endsWith(QStringLiteral(" grande.bin")));
}

// Whole folders both ways, over extra sessions bound to the key the window's session accepted
// (asked about once, trusted for this time only: the extra sessions ask nobody).
TEST_F(SftpWindow, FoldersGoBothWaysByteExact)
{
    const std::map<std::string, std::string> tree = {
        {"um.txt", "primeiro"},
        {"sub/dois.bin", testsupport::AllByteValuesWithCrLf()},
        {"sub/fundo/três com espaço", std::string(100000, 'q')},
    };
    for (const auto& [name, bytes] : tree) {
        std::filesystem::create_directories(
            std::filesystem::path(Remote("arvore/" + name)).parent_path());
        testsupport::WriteFileBytes(Remote("arvore/" + name), bytes);
    }
    boxes.choices = {QStringLiteral("Confiar uma vez")};
    Connect();
    ASSERT_TRUE(Padlocked()) << Status(*form).toStdString();

    Names("arvore", local_.File("baixada"));
    form->Button2->click();
    for (const auto& [name, bytes] : tree)
        EXPECT_EQ(testsupport::ReadFileBytes(local_.File("baixada/" + name)), bytes) << name;

    Names("subida", local_.File("baixada"));
    form->Button4->click();
    for (const auto& [name, bytes] : tree)
        EXPECT_EQ(testsupport::ReadFileBytes(Remote("subida/" + name)), bytes) << name;
    // Conectar again lists again on the same session: the key is not asked about again.
    Connect();
    EXPECT_TRUE(LogText().endsWith(QStringLiteral(" subida")));
    EXPECT_EQ(boxes.seen.size(), 1u); // the window's own question, and no other
    EXPECT_TRUE(boxes.Errors().empty());
    EXPECT_FALSE(std::filesystem::exists(TrustFile()));
}

TEST_F(SftpWindow, EscapeStopsAFolderTransferAndTheSessionStays)
{
    const char* const names[] = {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin", "f.bin"};
    std::filesystem::create_directories(Remote("grande"));
    for (const char* name : names)
        testsupport::WriteFileBytes(Remote(std::string("grande/") + name),
                                    std::string(32 * 1024 * 1024, 'g'));
    ASSERT_TRUE(ConnectKnown());
    Names("grande", local_.File("grande"));
    WhenThen escape([&] { return form->windowTitle() != QStringLiteral("Tavolen"); },
                    [&] { QTest::keyClick(form.get(), Qt::Key_Escape); });
    form->Button2->click();
    ASSERT_TRUE(escape.Done());
    EXPECT_FALSE(form->OperationRunning());
    // The run stopped: not every file came.
    int whole = 0;
    for (const char* name : names)
        whole += std::filesystem::exists(local_.File(std::string("grande/") + name)) &&
                 std::filesystem::file_size(local_.File(std::string("grande/") + name)) ==
                     32u * 1024 * 1024;
    EXPECT_LT(whole, 6);
    form->Button5->click();
    EXPECT_TRUE(LogText().endsWith(QStringLiteral(" grande")));
}

} // namespace
