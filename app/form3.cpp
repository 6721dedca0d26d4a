#include "app/form3.h"

#include "app/form1.h"

#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace quorell {

TForm3::TForm3(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("关于 Quorell"));
    setFixedSize(426, 279);
    const QFont base = WindowFont();
    setFont(base);

    auto* icon = new QLabel(this);
    icon->setGeometry(16, 16, 64, 64);
    icon->setScaledContents(true);
    icon->setPixmap(QPixmap(QStringLiteral(":/assets/quorell.png")));
    icon->setAccessibleName(QStringLiteral("Quorell 图标"));
    icon->setAccessibleDescription(QStringLiteral("本程序的图标"));

    auto* product = new QLabel(QStringLiteral("QuorellVoxVer1.0 正式版"), this);
    QFont bold = base;
    bold.setBold(true);
    bold.setPixelSize(16);
    product->setFont(bold);
    product->setGeometry(96, 24, 314, 24);
    product->setAccessibleName(product->text());
    product->setAccessibleDescription(QStringLiteral("程序的名称和版本"));

    auto* notice =
        new QLabel(QStringLiteral("Quorell 是局域网内两人之间的聊天工具：文字、文件、视频和语音"
                                  "都在两台电脑之间直接传送，不经过任何服务器，也不需要账号。\n\n"
                                  "输入对方的 IP 地址，按“连接对方”即可开始。"),
                   this);
    notice->setWordWrap(true);
    notice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    notice->setGeometry(96, 64, 314, 150);
    notice->setAccessibleName(QStringLiteral("说明"));
    notice->setAccessibleDescription(notice->text());

    OKButton = new QPushButton(QStringLiteral("确定"), this);
    OKButton->setGeometry(176, 234, 75, 25);
    OKButton->setDefault(true);
    OKButton->setAccessibleName(QStringLiteral("确定"));
    OKButton->setAccessibleDescription(QStringLiteral("关闭关于窗口"));
    OKButton->setToolTip(QStringLiteral("关闭关于窗口（回车或 Esc）"));
    setAccessibleName(windowTitle());
    setAccessibleDescription(QStringLiteral("本程序的名称、版本和用法"));
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
}

void TForm3::ShowAbout() {
    if (!isVisible()) {
        if (QScreen* screen = this->screen()) {
            move(screen->availableGeometry().center() - rect().center());
        }
    }
    show();
    raise();
    activateWindow();
}

void TForm3::OKButtonClick() {
    hide();
}

void TForm3::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OKButtonClick();
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace quorell
