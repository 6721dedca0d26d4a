// The main window: its controls, start-up, close, clear and About.
#include "app/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include "app/devices.h"
#include "app/dialogs.h"
#include "app/form1_calls_view.h"
#include "app/form1_files_view.h"
#include "app/form3.h"
#include "app/notifier.h"
#include "app/theme.h"
#include "discovery/peer_completer.h"
#include "discovery/peer_discovery.h"
#include "links/control_dispatcher.h"
#include "links/line_source.h"
#include "net/socket_error.h"

namespace quorell {

namespace {

template <class W>
W* Place(W* widget, int left, int top, int width, int height) {
    widget->setGeometry(left, top, width, height);
    return widget;
}

QPushButton* MakeButton(QWidget* parent, const char* caption, int l, int t, int w, int h,
                        bool enabled) {
    auto* button = Place(new QPushButton(QString::fromUtf8(caption), parent), l, t, w, h);
    button->setEnabled(enabled);
    button->setAutoDefault(true);  // a focused button presses itself on Enter
    return button;
}

QGroupBox* MakeGroup(QWidget* parent, const char* caption, int l, int t, int w, int h) {
    return Place(new QGroupBox(QString::fromUtf8(caption), parent), l, t, w, h);
}

QLineEdit* MakePortBox(QWidget* parent, const char* text, int l, int t, int w, int h) {
    auto* box = Place(new QLineEdit(QString::fromUtf8(text), parent), l, t, w, h);
    box->hide();
    return box;
}

QLabel* MakePicture(QWidget* parent, int l, int t, int w, int h) {
    auto* picture = Place(new QLabel(parent), l, t, w, h);
    picture->setScaledContents(true);
    picture->setPixmap(PlaceholderPicture());
    return picture;
}

}  // namespace

QFont WindowFont() {
    QFont font;
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setPixelSize(12);
    return font;
}

QPixmap PlaceholderPicture() {
    QPixmap picture(QStringLiteral(":/assets/placeholder.png"));
    if (!picture.isNull()) return picture;
    picture = QPixmap(200, 165);
    picture.fill(QColor(0x2f, 0x4f, 0x6f));
    return picture;
}

TForm1::TForm1(const StartupConfig& config, DeviceContext& devices, IDialogs& dialogs,
               std::shared_ptr<UiBridge> bridge, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      ACMWaveIn1(
          devices.wave_in.get(),
          [this](const std::string& text) { dialogs_.PlainBox(QString::fromStdString(text)); }),
      ACMWaveOut1(
          devices.wave_out.get(),
          [this](const std::string& text) { dialogs_.PlainBox(QString::fromStdString(text)); }),
      ACMOut1(devices.sink_out.get()),
      ServerSocket1(ACMOut1, ACMConvertor1,
                    [this](const QString& message) { dialogs_.StandardErrorBox(message); }),
      config_(config),
      devices_(devices),
      dialogs_(dialogs),
      bridge_(std::move(bridge)),
      control_link_ref_(
          std::make_shared<WindowRef<IControlLinkWindow>>(static_cast<IControlLinkWindow*>(this))),
      plain_link_(std::make_shared<PlainControlLink>(bridge_, control_link_ref_,
                                                     config.control_port, config.bind_address)),
      control_link_(std::make_shared<SwitchingControlLink>(plain_link_)),
      dispatch_ref_(
          std::make_shared<WindowRef<IControlEvents>>(static_cast<IControlEvents*>(this))),
      chat_ref_(std::make_shared<WindowRef<IChatWindow>>(static_cast<IChatWindow*>(this))),
      chat_(*static_cast<IChatView*>(this)),
      file_sender_ref_(
          std::make_shared<WindowRef<IFileSenderWindow>>(static_cast<IFileSenderWindow*>(this))),
      file_link_(std::make_shared<PlainFileLink>(config.file_port)),
      file_send_(bridge_, file_sender_ref_, file_link_, control_link_),
      file_receiver_(*static_cast<IFileReceiverWindow*>(this), *control_link_),
      video_(*static_cast<IVideoWindow*>(this), video_link_, *control_link_, devices.camera),
      // Until the peer tells its voice port, its box shows its own name.
      voice_(*static_cast<IVoiceWindow*>(this), voice_link_, *control_link_, ACMWaveIn1,
             ACMWaveOut1, ACMDialog1, "Edit5") {
    BuildControls();
    files_view_ = std::make_shared<FilesView>(*this);
    calls_view_ = std::make_shared<CallsView>(*this);
    StartKeeping();
    ConnectHandlers();
    SetUpAccessibility();
    SetUpVideoComponents();
    SetUpVoiceComponents();
    SetUpSpeedDisplay();
    // The stream audio sink starts with the window, before its creation handler runs.
    try {
        StartAudioSink();
    } catch (const std::exception& e) {
        dialogs_.StandardErrorBox(QString::fromUtf8(e.what()));
    }
    try {
        FormCreate();
    } catch (const std::exception& e) {
        dialogs_.StandardErrorBox(QString::fromUtf8(e.what()));
    }
    // Without the session the program runs on the plain protocol alone.
    StartSessions();
    form3_ = std::make_unique<TForm3>();
    SetUpDesktop();
    // Peers announced on the local network are offered in the address box. A window bound to
    // one local address (two peers in one test) is not reachable by its host name: it neither
    // announces itself nor looks.
    if (config_.bind_address.empty()) {
        auto* discovery = new PeerDiscovery(PeerDiscovery::DefaultName(), config_.control_port,
                                            this, sessions_ ? sessions_->Port() : 0);
        AttachPeerCompleter(Edit1, discovery->Peers());
    }
}

TForm1::~TForm1() {
    // The notifier outlives the window; a click on it no longer reaches this one.
    if (devices_.notifier) devices_.notifier->SetOnActivated(nullptr);
    // The session's peer is told goodbye while the window still takes the session's hand-offs.
    CloseSessions();
    // What is kept is written before the window goes.
    kept_.reset();
    // Workers that still hold a hand-off for this window find it gone from now on.
    control_link_ref_->Reset();
    dispatch_ref_->Reset();
    chat_ref_->Reset();
    file_sender_ref_->Reset();
    // Both stops serve the bridge while they wait, so a connection thread or the datagram
    // listener waiting for this thread can finish instead of holding up the stop.
    StopCapture();
    for (net::UdpServer* server : {&IdUDPServer1, &IdUDPServer2, &IdUDPServer3}) {
        try {
            server->SetActive(false);
        } catch (...) {
        }
    }
    try {
        Server1.SetActive(false);
    } catch (...) {
    }
}

void TForm1::BuildControls() {
    setWindowTitle(QStringLiteral("QuorellVoxVer1.0 正式版"));
    setFixedSize(690, 493);
    setFont(WindowFont());
    setWindowIcon(QIcon(QStringLiteral(":/assets/quorell.png")));

    GroupBox2 = MakeGroup(this, "聊天设置", 8, 8, 673, 49);
    Label1 = Place(new QLabel(QStringLiteral("主机IP"), GroupBox2), 96, 22, 36, 12);
    Edit1 = Place(new QLineEdit(GroupBox2), 136, 18, 97, 20);
    Edit1->installEventFilter(this);  // file drops
    Button6 = MakeButton(GroupBox2, "连接对方", 8, 16, 75, 25, false);
    BitBtn5 = MakeButton(GroupBox2, "发送语音", 344, 16, 75, 25, false);
    BitBtn6 = MakeButton(GroupBox2, "接收语音", 424, 16, 75, 25, false);
    BitBtn4 = MakeButton(GroupBox2, "传送文件", 512, 16, 75, 25, false);
    BitBtn7 = MakeButton(GroupBox2, "接收", 592, 16, 75, 25, false);
    Edit2 = MakePortBox(GroupBox2, "10086", 248, 8, 49, 20);
    Edit2->setEnabled(false);
    Edit3 = MakePortBox(GroupBox2, "", 280, 8, 49, 20);
    Edit3->setEnabled(false);

    GroupBox1 = MakeGroup(this, "视频区", 464, 64, 217, 289);
    Image1 = MakePicture(GroupBox1, 8, 16, 201, 161);
    Image1->installEventFilter(this);  // a double-click opens the bigger picture
    Panel1 = Place(new QLabel(QStringLiteral("本地视频"), GroupBox1), 96, 184, 113, 97);
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Button3 = MakeButton(GroupBox1, "发送视频", 8, 184, 81, 25, false);
    Button4 = MakeButton(GroupBox1, "停止", 9, 216, 80, 25, false);
    BitBtn1 = MakeButton(GroupBox1, "接收视频", 8, 256, 81, 25, false);

    GroupBox3 = MakeGroup(this, "聊天记录", 8, 64, 449, 289);
    // The store of the idle picture lies under the history and is never seen.
    Image2 = MakePicture(GroupBox3, 168, 24, 201, 161);
    Memo1 = Place(new QPlainTextEdit(GroupBox3), 8, 16, 433, 265);
    Memo1->setReadOnly(true);
    Memo1->installEventFilter(this);  // takes Enter for itself
    // Files dropped anywhere on the window are offered, even over the boxes that take text.
    setAcceptDrops(true);
    Memo1->viewport()->installEventFilter(this);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);  // adds the received files' entries

    GroupBox4 = MakeGroup(this, "内容输入 [发送快捷键:Alt+S]", 8, 360, 449, 113);
    Memo2 = Place(new QPlainTextEdit(GroupBox4), 8, 16, 433, 89);
    Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo2->setTabChangesFocus(true);
    Memo2->viewport()->installEventFilter(this);

    GroupBox5 = MakeGroup(this, "操作", 464, 360, 217, 113);
    Button1 = MakeButton(GroupBox5, "发送(&S)", 8, 16, 201, 25, false);
    Button2 = MakeButton(GroupBox5, "清屏", 8, 48, 201, 25, false);
    BitBtn2 = MakeButton(GroupBox5, "关于", 8, 80, 201, 25, true);

    Label4 = Place(new QLabel(QStringLiteral("文件传输进度"), this), 8, 480, 72, 12);
    Label4->hide();
    Gauge1 = Place(new QProgressBar(this), 88, 481, 593, 10);
    Gauge1->setRange(0, 100);
    Gauge1->setValue(0);
    Gauge1->setTextVisible(false);
    Gauge1->hide();
    Edit4 = MakePortBox(this, "Edit4", 144, 0, 41, 20);
    Edit5 = MakePortBox(this, "Edit5", 200, 0, 41, 20);
    BuildSessionControls();
}

void TForm1::ConnectHandlers() {
    connect(Edit1, &QLineEdit::textChanged, this, [this] { Edit1Change(); });
    connect(Edit3, &QLineEdit::textChanged, this, [this] { Edit3Change(); });
    connect(Memo1, &QPlainTextEdit::textChanged, this, [this] { Memo1Change(); });
    connect(Memo1, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        std::unique_ptr<QMenu> menu(MakeHistoryMenu());
        menu->exec(Memo1->viewport()->mapToGlobal(at));
    });
    connect(Button6, &QPushButton::clicked, this, [this] { Guarded([this] { Button6Click(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { Guarded([this] { Button2Click(); }); });
    connect(Button7, &QPushButton::clicked, this, [this] { Guarded([this] { Button7Click(); }); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtn2Click(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { Guarded([this] { Button3Click(); }); });
    connect(Button4, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(); }); });
    connect(BitBtn1, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtn1Click(); }); });
    connect(BitBtn5, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtn5Click(); }); });
    connect(BitBtn6, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtn6Click(); }); });
    connect(Button8, &QPushButton::clicked, this, [this] { Guarded([this] { Button8Click(); }); });
    connect(BitBtn4, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtn4Click(); }); });
    connect(BitBtn7, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtn7Click(); }); });
}

template <class Handler>
void TForm1::Guarded(Handler handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        dialogs_.StandardErrorBox(QString::fromUtf8(e.what()));
    }
}

void TForm1::FormCreate() {
    Server1.DefaultPort = config_.control_port;
    Server1.BindAddress = config_.bind_address;
    Server1.Bridge = bridge_;
    Server1.OnConnect = [bridge = bridge_, target = dispatch_ref_](net::ServerConnection& conn) {
        Server1Connect(conn, *bridge, *target);
    };
    try {
        Server1.SetActive(true);
    } catch (const net::SocketError& e) {
        if (e.code() != 10013) throw;
        throw Error(std::string(e.what()) + "\r\n\r\nTCP port " +
                    std::to_string(config_.control_port) +
                    " is a privileged port, and this program is not allowed to use it. "
                    "Grant the permission once with:\r\n    sudo setcap "
                    "cap_net_bind_service=+ep " +
                    QCoreApplication::applicationFilePath().toStdString() +
                    "\r\nor install the program with its install step, which does this.");
    }
    IdUDPServer2.DefaultPort = config_.file_port;
    IdUDPServer2.BindAddress = config_.bind_address;
    IdUDPServer2.Bridge = bridge_;
    IdUDPServer2.OnUDPRead = [this](net::UdpServer& sender, std::string_view data,
                                    net::UdpBinding& binding) {
        IdUDPServer2UDPRead(sender, data, binding);
    };
    IdUDPServer2.SetActive(true);
    // The file sender's datagrams leave from the local address too, as every other endpoint's.
    IdUDPClient2().BindAddress = config_.bind_address;
    file_receiver_.Reset();
    Edit2->setText(QString::number(10000 + config_.draw()));
    Edit4->setText(QString::number(500 + config_.draw()));
}

void TForm1::Server1Connect(net::ServerConnection& AThread, UiBridge& bridge,
                            const WindowRef<IControlEvents>& window) {
    ConnectionLineSource lines(AThread);
    DispatchLines(lines, bridge, window);
}

bool TForm1::FormCloseQuery() {
    if (!AskBeforeClose()) return false;
    StopCapture();
    return true;
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (HidesOnClose()) {
        event->ignore();
        HideWindow();
        return;
    }
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    form3_->hide();
    CloseBigPicture();
    QCoreApplication::quit();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched != this && FileDragEvent(event)) return true;
    if (watched == Image1 && event->type() == QEvent::MouseButtonDblClick) {
        OpenBigPicture();
        return true;
    }
    if (watched == Memo1 && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Buttons press themselves on Enter and the history keeps it (see BuildControls), so
        // only the other controls' Enter arrives here.
        if (Button6->isEnabled()) {
            Button6->click();
        } else if (Button1->isEnabled()) {
            Button1->click();
        }
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TForm1::Button2Click() {
    Memo2->clear();
    Memo1->clear();
    HistoryCleared();
}

void TForm1::BitBtn2Click() {
    form3_->ShowAbout();
}

}  // namespace quorell
