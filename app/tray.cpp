#include "app/tray.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace quorell {

QString TrayToolTip(int unread) {
    if (unread <= 0) return QStringLiteral("Quorell");
    return QStringLiteral("Quorell：%1 条未读消息").arg(unread);
}

QIcon IconWithCount(const QIcon& icon, int unread) {
    if (unread <= 0) return icon;
    constexpr int kSide = 64;
    QPixmap picture = icon.pixmap(kSide, kSide);
    if (picture.isNull()) {
        picture = QPixmap(kSide, kSide);
        picture.fill(Qt::transparent);
    }
    picture = picture.scaled(kSide, kSide);
    const QString text = unread > 99 ? QStringLiteral("99+") : QString::number(unread);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(text.size() > 2 ? 20 : 26);
    painter.setFont(font);
    const int width = std::max(kSide / 2, painter.fontMetrics().horizontalAdvance(text) + 10);
    const QRect badge(kSide - width, kSide / 2, width, kSide / 2);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xd3, 0x2f, 0x2f));
    painter.drawRoundedRect(badge, kSide / 4, kSide / 4);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, text);
    painter.end();
    return QIcon(picture);
}

Tray::Tray(ITrayWindow& window, QIcon icon, QObject* parent)
    : QObject(parent), window_(window), base_(std::move(icon)), menu_(std::make_unique<QMenu>()) {
    toggle_ = menu_->addAction(QString());
    connect(toggle_, &QAction::triggered, this, [this] { ToggleWindow(); });
    menu_->addSeparator();
    connect(menu_->addAction(QStringLiteral("退出")), &QAction::triggered, this,
            [this] { Quit(); });
    // The window may have been shown or hidden another way since the menu was last open.
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] { Refresh(); });
    Refresh();
}

Tray::~Tray() = default;

bool Tray::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void Tray::Show() {
    if (icon_ != nullptr) return;
    icon_ = new QSystemTrayIcon(this);
    icon_->setContextMenu(menu_.get());
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    Clicked();
            });
    Refresh();
    icon_->show();
}

void Tray::MessageArrived(bool window_seen) {
    const int before = unread_.Count();
    unread_.Arrived(window_seen);
    if (unread_.Count() != before) Refresh();
}

void Tray::WindowSeen() {
    if (unread_.Count() == 0) return;
    unread_.Seen();
    Refresh();
}

void Tray::Clicked() {
    window_.ShowWindow();
    WindowSeen();
}

void Tray::ToggleWindow() {
    if (window_.WindowShown()) {
        window_.HideWindow();
    } else {
        window_.ShowWindow();
        WindowSeen();
    }
    Refresh();
}

void Tray::Quit() {
    window_.QuitProgram();
}

void Tray::Refresh() {
    toggle_->setText(window_.WindowShown() ? QStringLiteral("隐藏窗口")
                                           : QStringLiteral("显示窗口"));
    if (icon_ == nullptr) return;
    icon_->setToolTip(ToolTip());
    icon_->setIcon(IconWithCount(base_, unread_.Count()));
}

}  // namespace quorell
