// The main window for screen readers and the keyboard: every control's accessible name and
// description, a tooltip on every button, the tab order, and shortcuts for the main actions.
// Captions stay as they are (the window shows exactly the words it always has); the shortcuts
// are the window's own and say themselves in the tooltips.
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>

#include "app/form1.h"

namespace quorell {

namespace {

// The shortcuts of the main actions, shown in the buttons' tooltips.
const QKeySequence kConnectKeys{Qt::ALT | Qt::Key_C};
const QKeySequence kSendFileKeys{Qt::ALT | Qt::Key_F};
const QKeySequence kReceiveFileKeys{Qt::ALT | Qt::Key_R};
const QKeySequence kVoiceKeys{Qt::ALT | Qt::Key_V};
const QKeySequence kHearVoiceKeys{Qt::ALT | Qt::Key_H};
const QKeySequence kVideoKeys{Qt::ALT | Qt::Key_E};
const QKeySequence kStopVideoKeys{Qt::ALT | Qt::Key_T};
const QKeySequence kWatchVideoKeys{Qt::ALT | Qt::Key_W};
const QKeySequence kClearKeys{Qt::ALT | Qt::Key_L};
const QKeySequence kVerifyKeys{Qt::ALT | Qt::Key_Y};
const QKeySequence kMuteKeys{Qt::ALT | Qt::Key_M};
const QKeySequence kAboutKeys{Qt::Key_F1};
const QKeySequence kAddressKeys{Qt::ALT | Qt::Key_D};
const QKeySequence kInputKeys{Qt::ALT | Qt::Key_I};
const QKeySequence kHistoryKeys{Qt::ALT | Qt::Key_J};

void Describe(QWidget* widget, const QString& name, const QString& description) {
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}

// A label whose words change: they are its name, read again as they change, so only what it
// is for is given.
void DescribeStatus(QLabel* label, const QString& description) {
    label->setAccessibleDescription(description);
}

// A button's name, what it does (its description and its tooltip), and its shortcut.
void DescribeButton(QPushButton* button, const QString& name, const QString& does,
                    const QKeySequence& keys = {}) {
    Describe(button, name, does);
    const QString shortcut = keys.toString(QKeySequence::NativeText);
    button->setToolTip(shortcut.isEmpty() ? does : QStringLiteral("%1（%2）").arg(does, shortcut));
    if (keys.isEmpty()) return;
    // Pressed as a click would press it, only while it can be.
    auto* pressed = new QShortcut(keys, button->window());
    QObject::connect(pressed, &QShortcut::activated, button, [button] {
        if (button->isEnabled() && button->isVisible()) button->click();
    });
}

// A shortcut that moves the focus to a box.
void FocusKey(QWidget* box, const QKeySequence& keys) {
    auto* focus = new QShortcut(keys, box->window());
    QObject::connect(focus, &QShortcut::activated, box,
                     [box] { box->setFocus(Qt::ShortcutFocusReason); });
}

}  // namespace

void TForm1::SetUpAccessibility() {
    setAccessibleName(QStringLiteral("Quorell 主窗口"));
    setAccessibleDescription(QStringLiteral("与局域网内另一台电脑聊天、传送文件、视频和语音"));

    Describe(GroupBox2, QStringLiteral("聊天设置"),
             QStringLiteral("对方的地址、连接和文件、语音按钮"));
    Describe(GroupBox1, QStringLiteral("视频区"), QStringLiteral("对方的视频和本地视频"));
    Describe(GroupBox3, QStringLiteral("聊天记录"), QStringLiteral("双方的消息和系统消息"));
    Describe(GroupBox4, QStringLiteral("内容输入"), QStringLiteral("输入要发送的消息"));
    Describe(GroupBox5, QStringLiteral("操作"), QStringLiteral("发送、清屏和关于"));

    DescribeStatus(Label1, QStringLiteral("对方地址输入框的标签"));
    Label1->setBuddy(Edit1);
    Describe(Edit1, QStringLiteral("对方的 IP 地址"),
             QStringLiteral("输入对方电脑的 IP 地址或名称（Alt+D 转到这里）"));
    Edit1->setToolTip(QStringLiteral("对方电脑的 IP 地址"));
    Describe(Edit2, QStringLiteral("本机视频端口"),
             QStringLiteral("本次运行接收视频的端口（隐藏）"));
    Describe(Edit3, QStringLiteral("对方视频端口"), QStringLiteral("对方告知的视频端口（隐藏）"));
    Describe(Edit4, QStringLiteral("本机语音端口"),
             QStringLiteral("本次运行接收语音的端口（隐藏）"));
    Describe(Edit5, QStringLiteral("对方语音端口"), QStringLiteral("对方告知的语音端口（隐藏）"));

    DescribeButton(Button6, QStringLiteral("连接对方"), QStringLiteral("连接到地址框中的电脑"),
                   kConnectKeys);
    DescribeButton(BitBtn5, QStringLiteral("发送语音"), QStringLiteral("开始或停止向对方发送语音"),
                   kVoiceKeys);
    DescribeButton(BitBtn6, QStringLiteral("接收语音"), QStringLiteral("开始或停止播放对方的语音"),
                   kHearVoiceKeys);
    DescribeButton(BitBtn4, QStringLiteral("传送文件"), QStringLiteral("选择文件发送给对方"),
                   kSendFileKeys);
    DescribeButton(BitBtn7, QStringLiteral("接收文件"),
                   QStringLiteral("接收对方发来的文件，或取消正在接收的文件"), kReceiveFileKeys);
    DescribeButton(Button3, QStringLiteral("发送视频"),
                   QStringLiteral("打开摄像头，向对方发送视频"), kVideoKeys);
    DescribeButton(Button4, QStringLiteral("停止视频"), QStringLiteral("停止发送视频"),
                   kStopVideoKeys);
    DescribeButton(BitBtn1, QStringLiteral("接收视频"), QStringLiteral("开始或停止显示对方的视频"),
                   kWatchVideoKeys);
    DescribeButton(Button1, QStringLiteral("发送"), QStringLiteral("发送输入框中的消息"),
                   QKeySequence());
    Button1->setToolTip(QStringLiteral("发送输入框中的消息（Alt+S 或回车）"));
    DescribeButton(Button2, QStringLiteral("清屏"), QStringLiteral("清空聊天记录和输入框"),
                   kClearKeys);
    DescribeButton(BitBtn2, QStringLiteral("关于"), QStringLiteral("显示关于本程序的窗口"),
                   kAboutKeys);
    DescribeButton(Button7, QStringLiteral("验证对方"),
                   QStringLiteral("与对方核对验证码，确认对方的身份"), kVerifyKeys);
    DescribeButton(Button8, QStringLiteral("静音"),
                   QStringLiteral("通话中关闭或打开本机的麦克风，关闭时对方听到的是静音"),
                   kMuteKeys);

    Describe(Image1, QStringLiteral("对方的视频"), QStringLiteral("对方发来的视频画面；双击放大"));
    DescribeStatus(Panel1, QStringLiteral("本机摄像头的画面"));
    Describe(Image2, QStringLiteral("视频占位图片"), QStringLiteral("未显示的备用图片"));
    Describe(Memo1, QStringLiteral("聊天记录"),
             QStringLiteral("双方的消息和系统消息（Alt+J 转到这里，右键菜单可打开收到的文件）"));
    Describe(Memo2, QStringLiteral("消息输入框"),
             QStringLiteral("输入要发送的消息，回车发送（Alt+I 转到这里）"));
    DescribeStatus(Label4, QStringLiteral("文件传输进度条的标签"));
    Describe(Gauge1, QStringLiteral("文件传输进度"), QStringLiteral("正在传送的文件已完成的比例"));
    DescribeStatus(Label5, QStringLiteral("与对方的连接是否加密、是否已验证"));
    DescribeStatus(Label6, QStringLiteral("与对方核对的验证码"));
    DescribeStatus(Label7, QStringLiteral("本机发送的文件的进度"));
    Describe(Gauge2, QStringLiteral("发送文件进度"), QStringLiteral("本机发送的文件已完成的比例"));
    DescribeStatus(Label8, QStringLiteral("对方发来的文件的进度"));
    Describe(Gauge3, QStringLiteral("接收文件进度"), QStringLiteral("对方发来的文件已完成的比例"));

    FocusKey(Edit1, kAddressKeys);
    FocusKey(Memo2, kInputKeys);
    FocusKey(Memo1, kHistoryKeys);
    // Tab leaves the history too, as it leaves the input box, and the history shows a caret
    // while it has the focus, so the focus is seen and its text can be selected with keys.
    Memo1->setTabChangesFocus(true);
    Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    // Address and connect, then what is used most: the message and its send, the files, voice
    // and video, the history, and the rest.
    const QWidget* order[] = {Edit1,   Button6, Memo2,   Button1, BitBtn4, BitBtn7,
                              BitBtn5, BitBtn6, Button8, Button3, Button4, BitBtn1,
                              Memo1,   Button7, Button2, BitBtn2};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));
}

void TForm1::DescribeCaptureSurface(QLabel* surface) {
    Describe(surface, QStringLiteral("我的窗口"), QStringLiteral("本机摄像头正在发送的画面"));
}

}  // namespace quorell
