// The window as built: the layout table, start-up state, focus order and where the focus goes
// after a command, the window maximised and dragged, read-only and masked fields, captions that
// fit, the up-one-level picture, the error box and the text conversion.
#include "FormTestSupport.h"

#include "app/Dialogs.h"
#include "app/WireText.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFontMetrics>

using namespace apptest;

namespace {

struct ControlRow {
    const char* name;
    QRect geometry;
    const char* text;    // caption or initial text
    const char* tooltip; // nullptr: no tooltip
};

const ControlRow kControls[] = {
    {"servidor", {72, 16, 201, 21}, "", "Endereço do servidor remoto exemplo: ftp.exemplo.com.br"},
    {"portas",
     {328, 16, 49, 21},
     "21",
     "Porta que o servido remoto disponibiliza o serviço FTP o padrão e 21."},
    {"Edit5", {72, 64, 225, 21}, "", nullptr},
    {"Edit6", {72, 96, 225, 21}, "", nullptr},
    {"Button1", {128, 128, 75, 25}, "Desconectar", nullptr},
    {"Button2",
     {464, 96, 75, 25},
     "Dowload",
     "Preencha os campos acima e clique aqui para fazer download de um arquivo do servidor."},
    {"Button3", {48, 128, 75, 25}, "Conectar", nullptr},
    {"StatusBar1", {0, 456, 664, 19}, "", nullptr},
    {"Edit1", {474, 16, 183, 21}, "", "Coloque aqui o nome do arquivo remoto."},
    {"Edit2", {474, 45, 185, 21}, "", nullptr},
    {"Button4",
     {568, 96, 75, 25},
     "Upload",
     "Preencha os campo acima e clique a qui para enviar arquivos para o servidor, Atenção você "
     "só conseguira enviar se a o servidor autorizar."},
    {"Memo1", {8, 256, 641, 193}, "", nullptr},
    {"Button5", {432, 191, 81, 25}, "Listar Arquivos", nullptr},
    {"Button6", {48, 192, 81, 25}, "Mudar Diretório", nullptr},
    {"Edit3", {184, 192, 193, 21}, "", nullptr},
    {"BitBtn1", {400, 191, 25, 25}, "", "Voltar ao  diretório anterior."},
    {"Edit4", {80, 232, 569, 21}, "", nullptr},
    {"Button7", {464, 128, 75, 25}, "Deletar", "Deletar um Arquivo."},
    {"Button8", {568, 128, 75, 25}, "Criar Diretório", "Criar um Diretório."},
    {"Button9", {216, 128, 89, 25}, "Login Anônimo", nullptr},
    {"Label3", {27, 23, 42, 13}, "Servidor:", nullptr},
    {"Label1", {295, 24, 28, 13}, "Porta:", nullptr},
    {"Label5", {31, 72, 39, 13}, "Usuário:", nullptr},
    {"Label6", {32, 104, 34, 13}, "Senha:", nullptr},
    {"Label7", {390, 24, 76, 13}, "Arquivo Remoto", nullptr},
    {"Label8", {401, 52, 65, 13}, "Arquivo Local", nullptr},
    {"Label2", {134, 198, 42, 13}, "Diretório:", nullptr},
    {"Label4", {10, 236, 68, 13}, "Diretório atual:", nullptr},
    {"Label9", {96, 240, 3, 13}, "", nullptr},
};

QString TextOf(QWidget* widget)
{
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* memo = qobject_cast<TLogView*>(widget)) return memo->toPlainText();
    if (auto* bar = qobject_cast<QStatusBar*>(widget)) return bar->currentMessage();
    return QStringLiteral("<unknown kind>");
}

} // namespace

TEST_F(FormTest, LayoutMatchesTheDesignAndStartsEmpty)
{
    EXPECT_EQ(form->objectName(), "Form1");
    EXPECT_EQ(form->windowTitle(), "Tavolen");
    EXPECT_EQ(form->size(), QSize(664, 475));
    EXPECT_EQ(form->minimumSize(), QSize(664, 475));
    EXPECT_EQ(form->pos(), QPoint(88, 71));
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(row.name);
        auto* widget = form->findChild<QWidget*>(QLatin1String(row.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), row.geometry);
        EXPECT_EQ(TextOf(widget), QString::fromUtf8(row.text));
        EXPECT_EQ(widget->toolTip(), row.tooltip ? QString::fromUtf8(row.tooltip) : QString());
    }
    EXPECT_FALSE(form->BitBtn1->icon().isNull());
    EXPECT_EQ(form->BitBtn1->iconSize(), QSize(18, 17));
}

TEST_F(FormTest, TabVisitsTheControlsInDesignOrder)
{
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->servidor->setFocus();
    QStringList visited{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 19; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(visited.join(u' '),
              "servidor portas Edit5 Edit6 Button1 Button2 Button3 Edit1 Edit2 Button4 Memo1 "
              "Button5 Button6 Edit3 BitBtn1 Edit4 Button7 Button8 Button9 servidor");
}

// Disabling the buttons during a command moves the focus on; when the command ends it is back on
// the control that had it, so the next keystroke goes where the user expects. Without a
// connection every command here ends in an error box (or a cancelled prompt).
TEST_F(FormTest, AfterACommandTheFocusIsWhereItWasWhenTheCommandBegan)
{
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    struct Row {
        QPushButton* button;
        bool byKeyboard;
    };
    const Row rows[] = {{form->Button5, false}, {form->Button2, false}, {form->Button4, false},
                        {form->BitBtn1, false}, {form->Button7, false}, {form->Button6, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.button->objectName().toStdString());
        form->Edit1->setFocus();
        if (row.byKeyboard) {
            row.button->setFocus();
            QTest::keyClick(row.button, Qt::Key_Space);
        } else {
            QTest::mouseClick(row.button, Qt::LeftButton);
        }
        EXPECT_FALSE(form->OperationRunning());
        EXPECT_EQ(form->focusWidget(), row.button);
    }
    EXPECT_EQ(boxes.seen.size(), std::size(rows));
}

// Maximised, the controls keep their places and sizes and only the status bar follows the bottom
// edge at full width; in the normal state the window keeps the size of its layout, whatever a
// drag of the border asks for.
TEST_F(FormTest, OnlyMaximisingChangesTheWindowsSize)
{
    form->showMaximized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->width() > 664 && form->height() > 475; }));
    for (const ControlRow& row : kControls) {
        auto* widget = form->findChild<QWidget*>(QLatin1String(row.name));
        const QRect expected = widget == form->StatusBar1
                                   ? QRect(0, form->height() - 19, form->width(), 19)
                                   : row.geometry;
        EXPECT_EQ(widget->geometry(), expected) << row.name;
    }

    form->showNormal();
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->size() == QSize(664, 475); }));
    EXPECT_EQ(form->StatusBar1->geometry(), QRect(0, 456, 664, 19));

    const QPoint place = form->geometry().topLeft();
    form->setGeometry(QRect(place - QPoint(30, 20), QSize(900, 650)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->size() == QSize(664, 475); }));
    EXPECT_EQ(form->geometry().topLeft(), place) << "a drag of the top left corner moves it too";
}

TEST_F(FormTest, LogAndDirectoryLineAreReadOnlyAndPasswordIsMasked)
{
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));

    form->Edit6->setFocus();
    QTest::keyClicks(form->Edit6, QStringLiteral("segredo"));
    EXPECT_EQ(form->Edit6->text(), "segredo");
    EXPECT_EQ(form->Edit6->displayText(), QString(7, QChar(0x2022)));

    form->Memo1->appendPlainText(QStringLiteral("linha"));
    form->Memo1->setFocus();
    QTest::keyClicks(form->Memo1, QStringLiteral("xyz"));
    EXPECT_EQ(form->Memo1->toPlainText(), "linha");
    EXPECT_EQ(form->Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(form->Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    form->Edit4->setText(QStringLiteral("/pub"));
    form->Edit4->setFocus();
    QTest::keyClicks(form->Edit4, QStringLiteral("xyz"));
    EXPECT_EQ(form->Edit4->text(), "/pub");
    EXPECT_TRUE(form->Edit4->hasFocus()) << "the directory line can be selected and copied";

    for (QLabel* label : form->findChildren<QLabel*>())
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(form->StatusBar1->focusPolicy(), Qt::NoFocus);
}

// The stand-in font is narrower or wider than the design font; whichever is installed, no
// caption may be cut off.
TEST_F(FormTest, EveryCaptionFitsItsControl)
{
    for (QLabel* label : form->findChildren<QLabel*>()) {
        const QFontMetrics metrics(label->font());
        EXPECT_LE(metrics.horizontalAdvance(label->text()), label->width())
            << label->objectName().toStdString();
        EXPECT_LE(metrics.height(), label->height()) << label->objectName().toStdString();
    }
    for (QPushButton* button : form->findChildren<QPushButton*>()) {
        const QFontMetrics metrics(button->font());
        // The button's frame takes two pixels on each side.
        EXPECT_LE(metrics.horizontalAdvance(button->text()), button->width() - 4)
            << button->objectName().toStdString();
    }
}

TEST(ErrorBox, AddsAFullStopOnlyAfterCharactersThatSortAfterIt)
{
    EXPECT_EQ(app::ErrorBoxText("Connection Failed"), "Connection Failed.");
    EXPECT_EQ(app::ErrorBoxText("550 No such file"), "550 No such file.");
    EXPECT_EQ(app::ErrorBoxText("Erro 42"), "Erro 42.");
    EXPECT_EQ(app::ErrorBoxText("Pronto."), "Pronto.");
    EXPECT_EQ(app::ErrorBoxText("Erro!"), "Erro!");
    EXPECT_EQ(app::ErrorBoxText("(x)"), "(x)");
    EXPECT_EQ(app::ErrorBoxText("a-"), "a-");
    EXPECT_EQ(app::ErrorBoxText("a/"), "a/.");
    EXPECT_EQ(app::ErrorBoxText(""), "");
    // Server replies end in CR LF: no full stop after that, and the line end is not shown.
    EXPECT_EQ(app::ErrorBoxText("550 No such file\r\n"), "550 No such file");
}

// A local path is typed as at a prompt: "~" is the home folder, elsewhere it is a character.
TEST(WireText, LocalPathsReadTheHomeFolderAsAShellDoes)
{
    const std::string home = QDir::homePath().toStdString();
    const std::pair<const char*, std::string> rows[] = {
        {"~", home},
        {"~/baixados/a.txt", home + "/baixados/a.txt"},
        {"/tmp/~/a", "/tmp/~/a"},
        {"~outro/a", "~outro/a"},
        {"a~", "a~"},
    };
    for (const auto& [typed, path] : rows)
        EXPECT_EQ(app::ToLocalPath(QString::fromUtf8(typed)), path) << typed;
}

TEST(WireText, EveryByteSurvivesTheRoundTripAndUnicodeMapsToWindows1252)
{
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(app::ToWire(app::FromWire(all)), all);
    EXPECT_EQ(app::ToWire(QStringLiteral("Diretório €“x”")), "Diret\xF3rio \x80\x93x\x94");
    EXPECT_EQ(app::FromWire("\x80\x9F\xE7"), QStringLiteral("€Ÿç"));
    EXPECT_EQ(app::ToWire(QStringLiteral("漢😀")), "??");
}
