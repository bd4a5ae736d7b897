#include "app/Unit1.h"

#include "app/Dialogs.h"
#include "app/LockGlyph.h"
#include "app/LogView.h"
#include "app/RememberedLogins.h"
#include "app/UpFolderGlyph.h"
#include "app/WireText.h"
#include "platform/ApplicationErrors.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTextDocument>

QString EnteredName;

namespace {

constexpr int kClientWidth = 664;
constexpr int kClientHeight = 475;
constexpr int kStatusBarHeight = 19;
// A server that can reach us connects back within moments.
constexpr int32_t kActiveAcceptTimeOutMs = 20000;
// Any wait on the server -- the connect, the greeting, a reply, the data -- ends after this long
// without a sign of it: long enough for a slow server, short enough that a silent one does not
// hold the window for minutes.
constexpr int32_t kTimeOutMs = 30000;

// The password field masks with the character of code 7 rather than the style's usual one. As a
// control character it has no glyph in any font here and would show nothing at all, so it is
// drawn the way the PC character set draws code 7: as a bullet.
constexpr char16_t kPasswordMask = 0x2022;

class PasswordMaskStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter) return kPasswordMask;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

template <typename Widget>
Widget* Place(QWidget* parent, const char* name, int left, int top, int width, int height)
{
    auto* widget = new Widget(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

QLineEdit* Edit(QWidget* parent, const char* name, int left, int top, int width, int height)
{
    return Place<QLineEdit>(parent, name, left, top, width, height);
}

QPushButton* Button(QWidget* parent, const char* name, int left, int top, int width, int height,
                    const QString& caption)
{
    auto* button = Place<QPushButton>(parent, name, left, top, width, height);
    button->setText(caption);
    button->setAutoDefault(false);
    return button;
}

// Labels are painted on the window itself in the original layout, below every field; lowering
// them keeps the empty Label9 from covering part of Edit4.
QLabel* Label(QWidget* parent, const char* name, int left, int top, int width, int height,
              const QString& caption)
{
    auto* label = Place<QLabel>(parent, name, left, top, width, height);
    label->setText(caption);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    label->lower();
    return label;
}

} // namespace

QFont FormFont()
{
    QFont font;
    // Narrow enough that every caption fits the widths of the layout at the design's 11-pixel em.
    font.setFamilies({QStringLiteral("Liberation Sans Narrow"),
                      QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    font.setWeight(QFont::Normal);
    font.setStyle(QFont::StyleNormal);
    return font;
}

TForm1::TForm1(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(app::kApplicationTitle));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setFont(FormFont());
    // The size is not fixed, or window managers would refuse to maximise the window; instead a
    // window in its normal state keeps the size of its layout (see resizeEvent).
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
    move(88, 71);
    layoutPlace_ = geometry().topLeft();

    BuildControls();
    logins_ =
        new app::RememberedLogins(this, {servidor, portas, Edit5, Edit6}, [this] { return busy_; });
    SetUpComponent();
    // A local file may be dropped anywhere on the window, the fields included; the log's
    // double-click arrives at its viewport.
    setAcceptDrops(true);
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);

    logFlush_.setSingleShot(true);
    connect(&logFlush_, &QTimer::timeout, this, [this] { FlushLogBatch(); });
    quitGrace_.setSingleShot(true);
    quitGrace_.setInterval(1500);
    connect(&quitGrace_, &QTimer::timeout, this, [this] { RequestCancel(); });
    titleTick_.setInterval(1000);
    connect(&titleTick_, &QTimer::timeout, this, [this] {
        if (TransferRunning()) ShowTransferTitle();
    });
    progressLater_.setSingleShot(true);
    connect(&progressLater_, &QTimer::timeout, this, [this] { ShowHeldProgress(); });
    // Esc stops what runs; it reaches the window from every control, the log's too.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, [this] { EscapePressed(); });

    // Errors that reach the message loop from a timer are shown like those of the commands.
    platform::SetApplicationExceptionHandler(
        [this](const std::exception& error) { ShowError(error); });
}

TForm1::~TForm1()
{
    platform::SetApplicationExceptionHandler(nullptr);
    // The controls outlive this part of the window by a moment and must not call back into it.
    for (QWidget* child : findChildren<QWidget*>()) child->removeEventFilter(this);
    session_.reset();
    // The component goes first: its destruction may still report the closed connection to the
    // status line.
    VaskFTP1.reset();
}

void TForm1::BuildControls()
{
    servidor = Edit(this, "servidor", 72, 16, 201, 21);
    portas = Edit(this, "portas", 328, 16, 49, 21);
    portas->setText(QStringLiteral("21"));
    Edit5 = Edit(this, "Edit5", 72, 64, 225, 21);
    Edit6 = Edit(this, "Edit6", 72, 96, 225, 21);
    auto* maskStyle = new PasswordMaskStyle;
    maskStyle->setParent(Edit6);
    Edit6->setStyle(maskStyle);
    Edit6->setEchoMode(QLineEdit::Password);
    Button1 = Button(this, "Button1", 128, 128, 75, 25, QStringLiteral("Desconectar"));
    Button2 = Button(this, "Button2", 464, 96, 75, 25, QStringLiteral("Dowload"));
    Button3 = Button(this, "Button3", 48, 128, 75, 25, QStringLiteral("Conectar"));
    Label1 = Label(this, "Label1", 295, 24, 28, 13, QStringLiteral("Porta:"));
    Label3 = Label(this, "Label3", 27, 23, 42, 13, QStringLiteral("Servidor:"));
    Label5 = Label(this, "Label5", 31, 72, 39, 13, QStringLiteral("Usuário:"));
    Label6 = Label(this, "Label6", 32, 104, 34, 13, QStringLiteral("Senha:"));

    StatusBar1 = Place<QStatusBar>(this, "StatusBar1", 0, kClientHeight - kStatusBarHeight,
                                   kClientWidth, kStatusBarHeight);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFocusPolicy(Qt::NoFocus);

    Edit1 = Edit(this, "Edit1", 474, 16, 183, 21);
    Label7 = Label(this, "Label7", 390, 24, 76, 13, QStringLiteral("Arquivo Remoto"));
    Edit2 = Edit(this, "Edit2", 474, 45, 185, 21);
    Label8 = Label(this, "Label8", 401, 52, 65, 13, QStringLiteral("Arquivo Local"));
    Button4 = Button(this, "Button4", 568, 96, 75, 25, QStringLiteral("Upload"));

    // Read-only, selectable, with both scroll bars; its own class, because a listing may hold a
    // hundred thousand lines (see LogView.h).
    Memo1 = Place<TLogView>(this, "Memo1", 8, 256, 641, 193);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    Button5 = Button(this, "Button5", 432, 191, 81, 25, QStringLiteral("Listar Arquivos"));
    Button6 = Button(this, "Button6", 48, 192, 81, 25, QStringLiteral("Mudar Diretório"));
    Edit3 = Edit(this, "Edit3", 184, 192, 193, 21);
    Label2 = Label(this, "Label2", 134, 198, 42, 13, QStringLiteral("Diretório:"));
    BitBtn1 = Button(this, "BitBtn1", 400, 191, 25, 25, QString());
    BitBtn1->setIcon(QIcon(app::UpFolderGlyph()));
    BitBtn1->setIconSize(QSize(app::kUpFolderGlyphWidth, app::kUpFolderGlyphHeight));
    Label4 = Label(this, "Label4", 10, 236, 68, 13, QStringLiteral("Diretório atual:"));
    Label9 = Label(this, "Label9", 96, 240, 3, 13, QString());

    Edit4 = Edit(this, "Edit4", 80, 232, 569, 21);
    Edit4->setReadOnly(true);
    QPalette menuBackground = Edit4->palette();
    const QColor menuColour = QApplication::palette("QMenu").color(QPalette::Window);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        menuBackground.setColor(group, QPalette::Base, menuColour);
    Edit4->setPalette(menuBackground);

    Button7 = Button(this, "Button7", 464, 128, 75, 25, QStringLiteral("Deletar"));
    Button8 = Button(this, "Button8", 568, 128, 75, 25, QStringLiteral("Criar Diretório"));
    Button9 = Button(this, "Button9", 216, 128, 89, 25, QStringLiteral("Login Anônimo"));

    // Shown inside servidor only while the session is encrypted (ShowEncryption).
    encrypted_ = new QAction(QIcon(app::LockGlyph()), QString(), this);
    encrypted_->setObjectName(QStringLiteral("conexaoCriptografada"));

    servidor->setToolTip(QStringLiteral("Endereço do servidor remoto exemplo: ftp.exemplo.com.br"));
    portas->setToolTip(
        QStringLiteral("Porta que o servido remoto disponibiliza o serviço FTP o padrão e 21."));
    Button2->setToolTip(QStringLiteral("Preencha os campos acima e clique aqui para fazer download "
                                       "de um arquivo do servidor."));
    Edit1->setToolTip(QStringLiteral("Coloque aqui o nome do arquivo remoto."));
    Button4->setToolTip(QStringLiteral(
        "Preencha os campo acima e clique a qui para enviar arquivos para o servidor, Atenção você "
        "só conseguira enviar se a o servidor autorizar."));
    BitBtn1->setToolTip(QStringLiteral("Voltar ao  diretório anterior."));
    Button7->setToolTip(QStringLiteral("Deletar um Arquivo."));
    Button8->setToolTip(QStringLiteral("Criar um Diretório."));

    QWidget* tabOrder[] = {servidor, portas, Edit5,   Edit6,   Button1, Button2, Button3,
                           Edit1,    Edit2,  Button4, Memo1,   Button5, Button6, Edit3,
                           BitBtn1,  Edit4,  Button7, Button8, Button9};
    for (size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(Button2); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(Button3); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(Button4); });
    connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(Button5); });
    connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(Button6); });
    connect(Button7, &QPushButton::clicked, this, [this] { Button7Click(Button7); });
    connect(Button8, &QPushButton::clicked, this, [this] { Button8Click(Button8); });
    connect(Button9, &QPushButton::clicked, this, [this] { Button9Click(Button9); });
    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(BitBtn1); });
    // Enter in the directory field changes to it, as a click on Mudar Diretório would.
    connect(Edit3, &QLineEdit::returnPressed, this, [this] {
        if (Button6->isEnabled()) Button6Click(Button6);
    });
    // Enter in a connection field connects, as a click on Conectar would.
    for (QLineEdit* field : {servidor, portas, Edit5, Edit6})
        connect(field, &QLineEdit::returnPressed, this, [this] {
            if (Button3->isEnabled()) Button3Click(Button3);
        });
}

void TForm1::SetUpComponent()
{
    VaskFTP1 = std::make_unique<TVaskFTP>(nullptr);
    TVaskFTP& ftp = *VaskFTP1;
    ftp.Port = 21;
    ftp.ReportLevel = 0;
    ftp.Vendor = vendorAutoDetect;
    ftp.ParseList = false;
    ftp.ProxyPort = 3128;
    ftp.Passive = false;
    ftp.FirewallType = FTUser;
    ftp.FWAuthenticate = false;
    // With no TimeOut, active mode would wait for a server that cannot reach us until it says so
    // itself, which may take it a minute; the window gives up sooner and turns to passive mode.
    ftp.AcceptTimeOut = kActiveAcceptTimeOutMs;
    ftp.TimeOut = kTimeOutMs;
    // The status line shows how much of the file has come: the size must be known even from a
    // server whose reply to RETR does not announce it.
    ftp.SizeBeforeDownload = true;
    // Files keep their times both ways, and are checked against the server's checksum whenever
    // it offers one.
    ftp.KeepTimes = true;
    ftp.Verify = TVerifyMode::Auto;
    // A window left open keeps its session for half an hour of idleness; after that the server
    // may close it as it always could.
    ftp.KeepAliveSeconds = 60;
    ftp.KeepAliveLimitSeconds = 30 * 60;

    ftp.OnDisconnect = [this](TComponent* s) { VaskFTP1Disconnect(s); };
    ftp.OnConnect = [this](TComponent* s) { VaskFTP1Connect(s); };
    ftp.OnInvalidHost = [this](bool& handled) { VaskFTP1InvalidHost(handled); };
    ftp.OnHostResolved = [this](TComponent* s) { VaskFTP1HostResolved(s); };
    ftp.OnConnectionFailed = [this](TComponent* s) { VaskFTP1ConnectionFailed(s); };
    ftp.OnPacketRecvd = [this](TComponent* s) {
        NotePacket(VaskFTP1->ReceivedBytes());
        VaskFTP1PacketRecvd(s);
    };
    ftp.OnPacketSent = [this](TComponent* s) {
        NotePacket(VaskFTP1->SentBytes());
        VaskFTP1PacketSent(s);
    };
    ftp.OnError = [this](TComponent* s, uint16_t no, const std::string& msg) {
        VaskFTP1Error(s, no, msg);
    };
    ftp.OnFailure = [this](bool& handled, TCmdType kind) { VaskFTP1Failure(handled, kind); };
    ftp.OnSuccess = [this](TCmdType kind) { VaskFTP1Success(kind); };
    ftp.OnListItem = [this](const std::string& line) { VaskFTP1ListItem(line); };
    ftp.OnCertificate = [this](const TCertificateInfo& certificate, TCertificateAnswer& answer) {
        VaskFTP1Certificate(certificate, answer);
    };
    ftp.OnTlsRefused = [this](const std::string& reply, bool& goOn) {
        VaskFTP1TlsRefused(reply, goOn);
    };
    ftp.OnTlsWarning = [this](TTlsWarning warning) { VaskFTP1TlsWarning(warning); };
    // Only for the window's own bookkeeping of retries; nothing is shown for it.
    ftp.OnTransactionStart = [this](TComponent*) { NoteTransactionStart(); };
    // The last count of a transfer is shown, not held back behind what follows it.
    ftp.OnTransactionStop = [this](TComponent*) {
        if (progressLater_.isActive()) ShowHeldProgress();
    };
}

void TForm1::SetStatus(const QString& text)
{
    // A transfer's count held back must not come after what has happened since.
    progressLater_.stop();
    progressShown_.invalidate();
    // Many texts here carry the server's words (a reply, a name): none may hide or fake a line.
    StatusBar1->showMessage(app::Printable(text, platform::LineBreaks::Escape));
}

void TForm1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // The controls keep their places; only the status line follows the bottom edge.
    StatusBar1->setGeometry(0, height() - kStatusBarHeight, width(), kStatusBarHeight);
    // Dragging the border is not a way to resize this window; maximising is. The check waits
    // for the event loop's next pass because a window manager may report the new size before
    // the maximised state that explains it.
    if (!Maximised() && size() != QSize(kClientWidth, kClientHeight))
        QTimer::singleShot(0, this, [this] { KeepLayoutSize(); });
}

void TForm1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) KeepLayoutSize();
}

bool TForm1::Maximised() const
{
    return windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen);
}

void TForm1::KeepLayoutSize()
{
    if (Maximised() || size() == QSize(kClientWidth, kClientHeight)) return;
    // Back to where it stood too: a drag of the top or left edge moves the window as well, and
    // the position the window system reports in the middle of a drag cannot be trusted.
    setGeometry(QRect(layoutPlace_, QSize(kClientWidth, kClientHeight)));
}

void TForm1::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    if (!Maximised() && size() == QSize(kClientWidth, kClientHeight))
        layoutPlace_ = geometry().topLeft();
}
